#pragma once
// The item IDs of a subscription's monitored items, by slot. A subscription
// may watch every item of a channel, and siblings share all but their last
// segment, so each branch is stored once and each last segment in one
// shared buffer: a dozen bytes or so per item instead of a string each.
// Not synchronised: the subscription locks.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ua {

class CUaItemNames {
   public:
    void Set(uint32_t slot, std::string_view itemId);
    // The ID of a slot; empty when none was set.
    std::string Get(uint32_t slot) const;
    void Clear(uint32_t slot);

   private:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    struct Entry {
        uint32_t branch = kNone;  // kNone with length 0: no ID
        uint32_t offset = 0;
        uint16_t length = 0;
        bool topLevel = false;  // an ID without a dot
    };
    struct Branch {
        const std::string* text = nullptr;  // key inside m_branchIds; null when free
        uint32_t uses = 0;
    };
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };

    uint32_t TakeBranch(std::string_view text);
    void DropBranch(uint32_t branch);
    void Compact();

    std::vector<Entry> m_entries;
    std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> m_branchIds;
    std::vector<Branch> m_branches;
    std::vector<uint32_t> m_freeBranches;
    std::string m_leaves;
    size_t m_deadBytes = 0;  // leaves of cleared slots, until the buffer is compacted
};

}  // namespace ua
