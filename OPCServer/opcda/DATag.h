#pragma once
#include <string>

class CLevelTag;

// The item object of one tag: what the DA toolkit serves and the polling
// engine fills. Only the link to its tag node so far; the register and
// value members come with the item space.
class CDATag {
public:
    CDATag() = default;
    virtual ~CDATag() = default;

    CDATag(const CDATag&) = delete;
    CDATag& operator=(const CDATag&) = delete;

    CLevelTag* Owner() const { return m_owner; }
    void SetOwner(CLevelTag* owner) { m_owner = owner; }

    // The owner's full path (the item ID), empty without an owner.
    std::string FullName() const;

private:
    CLevelTag* m_owner = nullptr;
};
