#pragma once
// A group's items by server handle. A group may hold every item of a channel
// (an OPC UA subscription to all of them), so the records lie in one block,
// found through an index of positions, rather than a node each.
// Not synchronised: the core locks.

#include "ItemSpace.h"
#include "ZellDAClient.h"

#include <cstdint>
#include <vector>

class COPCTag;

struct GroupItem {
    uint32_t handle = 0;  // the server handle
    uint32_t clientHandle = 0;
    COPCTag* tag = nullptr;
    CItemSpace::NodeId node = CItemSpace::kNoNode;
    VARTYPE requestedType = VT_EMPTY;
    uint16_t lastQuality = 0;  // last* hold what the client was told
    bool active = true;
    bool sent = false;
    FILETIME lastTime{};
    CDAVariant lastValue;
};

class CGroupItems {
   public:
    GroupItem* Find(uint32_t handle);
    // A new record for a handle the group does not hold.
    GroupItem& Add(uint32_t handle);
    bool Erase(uint32_t handle);
    // Erases the items drop(item) picks; the order of the others may change.
    template <typename Drop>
    void EraseIf(Drop drop)
    {
        for (size_t i = 0; i < m_items.size();) {
            if (drop(m_items[i]))
                Erase(m_items[i].handle);  // the last item takes its place
            else
                ++i;
        }
    }

    size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    auto begin() { return m_items.begin(); }
    auto end() { return m_items.end(); }
    auto begin() const { return m_items.begin(); }
    auto end() const { return m_items.end(); }

   private:
    static constexpr uint32_t kEmpty = UINT32_MAX;

    size_t Home(uint32_t handle) const;
    // The index slot holding a handle's position, or kEmpty's slot where it would go.
    size_t SlotOf(uint32_t handle) const;
    void Reindex(size_t slots);

    std::vector<GroupItem> m_items;
    std::vector<uint32_t> m_index;  // positions in m_items, open addressing; size a power of two
    unsigned m_shift = 32;
};
