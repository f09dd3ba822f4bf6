#pragma once
#include "config/LevelElementBase.h"

#include <memory>

class CDATag;

// A leaf of the item space: one OPC item, whose item ID is the tag's full
// path. Owns its item object from Initialise to Shutdown.
class CLevelTag : public CLevelElementBase {
   public:
    CLevelTag();
    ~CLevelTag() override;

    // Creates the item object if there is none and points it back here.
    void Initialise() override;
    // Deletes the item object.
    void Shutdown() override;

    CDATag* Item() const { return m_item.get(); }
    // The nearest group above the tag, or null. Items that share a register
    // (its bits and fields) are tags of one group.
    CLevelElementBase* Group() const;

   private:
    std::unique_ptr<CDATag> m_item;
};
