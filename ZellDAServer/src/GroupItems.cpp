#include "GroupItems.h"

size_t CGroupItems::Home(uint32_t handle) const
{
    // Handles are consecutive numbers: the multiplication spreads them.
    return m_shift >= 32 ? 0 : static_cast<uint32_t>(handle * 2654435769u) >> m_shift;
}

size_t CGroupItems::SlotOf(uint32_t handle) const
{
    const size_t mask = m_index.size() - 1;
    size_t s = Home(handle);
    while (m_index[s] != kEmpty && m_items[m_index[s]].handle != handle) s = (s + 1) & mask;
    return s;
}

void CGroupItems::Reindex(size_t slots)
{
    m_index.assign(slots, kEmpty);
    m_shift = 32;
    for (size_t n = slots; n > 1; n >>= 1) --m_shift;
    for (size_t i = 0; i < m_items.size(); ++i) m_index[SlotOf(m_items[i].handle)] = static_cast<uint32_t>(i);
}

GroupItem* CGroupItems::Find(uint32_t handle)
{
    if (m_items.empty()) return nullptr;
    const uint32_t at = m_index[SlotOf(handle)];
    return at == kEmpty ? nullptr : &m_items[at];
}

GroupItem& CGroupItems::Add(uint32_t handle)
{
    // At most three quarters of the index in use keeps the runs short.
    if ((m_items.size() + 1) * 4 > m_index.size() * 3) Reindex(m_index.empty() ? 8 : m_index.size() * 2);
    m_items.emplace_back().handle = handle;
    m_index[SlotOf(handle)] = static_cast<uint32_t>(m_items.size() - 1);
    return m_items.back();
}

bool CGroupItems::Erase(uint32_t handle)
{
    if (m_items.empty()) return false;
    const size_t mask = m_index.size() - 1;
    size_t hole = SlotOf(handle);
    const uint32_t at = m_index[hole];
    if (at == kEmpty) return false;
    // Close the hole: a later entry of the run moves back unless its home
    // lies after the hole (cyclically), where it would no longer be found.
    for (size_t next = (hole + 1) & mask; m_index[next] != kEmpty; next = (next + 1) & mask) {
        const size_t home = Home(m_items[m_index[next]].handle);
        const bool between = hole <= next ? hole < home && home <= next : hole < home || home <= next;
        if (between) continue;
        m_index[hole] = m_index[next];
        hole = next;
    }
    m_index[hole] = kEmpty;
    // The last record fills the gap.
    const uint32_t last = static_cast<uint32_t>(m_items.size() - 1);
    if (at != last) {
        m_index[SlotOf(m_items[last].handle)] = at;
        m_items[at] = std::move(m_items[last]);
    }
    m_items.pop_back();
    if (m_items.empty()) {
        // An emptied group gives its room back.
        std::vector<GroupItem>().swap(m_items);
        std::vector<uint32_t>().swap(m_index);
        m_shift = 32;
    }
    return true;
}
