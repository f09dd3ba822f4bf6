#include "opcua/UaItemNames.h"

#include <algorithm>

namespace ua {

void CUaItemNames::Set(uint32_t slot, std::string_view itemId)
{
    if (slot >= m_entries.size()) m_entries.resize(slot + 1);
    Clear(slot);
    const size_t dot = itemId.rfind('.');
    const std::string_view leaf = dot == std::string_view::npos ? itemId : itemId.substr(dot + 1);
    Entry& e = m_entries[slot];
    e.topLevel = dot == std::string_view::npos;
    e.branch = e.topLevel ? kNone : TakeBranch(itemId.substr(0, dot));
    e.offset = static_cast<uint32_t>(m_leaves.size());
    e.length = static_cast<uint16_t>(std::min<size_t>(leaf.size(), 0xFFFF));
    m_leaves.append(leaf.substr(0, e.length));
}

std::string CUaItemNames::Get(uint32_t slot) const
{
    if (slot >= m_entries.size()) return {};
    const Entry& e = m_entries[slot];
    const std::string_view leaf(m_leaves.data() + e.offset, e.length);
    if (e.topLevel || e.branch == kNone) return std::string(leaf);
    std::string id = *m_branches[e.branch].text;
    id += '.';
    id += leaf;
    return id;
}

void CUaItemNames::Clear(uint32_t slot)
{
    if (slot >= m_entries.size()) return;
    Entry& e = m_entries[slot];
    if (e.branch != kNone) DropBranch(e.branch);
    m_deadBytes += e.length;
    e = Entry{};
    // Leaves of cleared slots are dropped once they make up half the buffer.
    if (m_deadBytes > 4096 && m_deadBytes * 2 > m_leaves.size()) Compact();
}

uint32_t CUaItemNames::TakeBranch(std::string_view text)
{
    auto it = m_branchIds.find(text);
    if (it != m_branchIds.end()) {
        ++m_branches[it->second].uses;
        return it->second;
    }
    uint32_t id;
    if (!m_freeBranches.empty()) {
        id = m_freeBranches.back();
        m_freeBranches.pop_back();
    } else {
        id = static_cast<uint32_t>(m_branches.size());
        m_branches.emplace_back();
    }
    it = m_branchIds.emplace(std::string(text), id).first;
    m_branches[id] = Branch{&it->first, 1};
    return id;
}

void CUaItemNames::DropBranch(uint32_t branch)
{
    Branch& b = m_branches[branch];
    if (--b.uses != 0) return;
    m_branchIds.erase(*b.text);
    b = Branch{};
    m_freeBranches.push_back(branch);
}

void CUaItemNames::Compact()
{
    std::string leaves;
    leaves.reserve(m_leaves.size() - m_deadBytes);
    for (Entry& e : m_entries) {
        const uint32_t offset = static_cast<uint32_t>(leaves.size());
        leaves.append(m_leaves, e.offset, e.length);
        e.offset = offset;
    }
    m_leaves.swap(leaves);
    m_deadBytes = 0;
}

}  // namespace ua
