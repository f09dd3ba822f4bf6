#include "ItemSpace.h"

#include <algorithm>

namespace {

constexpr CItemSpace::NodeId kFreeMark = 0xFFFFFFFEu;
constexpr uint32_t kMinTableBits = 10;

// Calls f for each segment of a valid dotted path.
template <typename F>
bool ForEachSegment(std::string_view path, F&& f)
{
    size_t start = 0;
    while (true) {
        size_t dot = path.find('.', start);
        std::string_view segment = path.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (!f(segment)) return false;
        if (dot == std::string_view::npos) return true;
        start = dot + 1;
    }
}

}  // namespace

CItemSpace::CItemSpace()
{
    m_tableBits = kMinTableBits;
    m_table.assign(size_t{1} << m_tableBits, kNoNode);
    NodeId root = NewNode(kNoNode, 0);
    (void)root;  // always kRootNode: the first record of the first block
}

CItemSpace::~CItemSpace() = default;

bool CItemSpace::IsValidPath(std::string_view path)
{
    if (path.empty()) return false;
    return ForEachSegment(path, [](std::string_view s) { return !s.empty(); });
}

CItemSpace::NodeId CItemSpace::NewNode(NodeId parent, uint32_t name)
{
    NodeId id;
    if (m_freeNodes != kNoNode) {
        id = m_freeNodes;
        m_freeNodes = At(id).nextSibling;
    } else {
        size_t total = m_blocks.size() * size_t{kBlockSize};
        if (m_nodeCount == total) m_blocks.push_back(std::make_unique<Node[]>(kBlockSize));
        id = static_cast<NodeId>(m_nodeCount);
    }
    Node& n = At(id);
    n.parent = parent;
    n.name = name;
    n.firstChild = kNoNode;
    n.nextSibling = kNoNode;
    ++m_nodeCount;
    if (parent != kNoNode) {
        Node& p = At(parent);
        n.nextSibling = p.firstChild;
        p.firstChild = id;
        TableInsert(id);
    }
    return id;
}

void CItemSpace::FreeNode(NodeId id)
{
    Node& n = At(id);
    TableErase(id);
    if (n.name & kItemBit) --m_itemCount;
    ReleaseName(n.name & kNameMask);
    n.parent = kFreeMark;
    n.firstChild = kNoNode;
    n.nextSibling = m_freeNodes;
    m_freeNodes = id;
    --m_nodeCount;
}

uint32_t CItemSpace::LookupName(std::string_view name) const
{
    auto it = m_nameIds.find(name);
    return it == m_nameIds.end() ? kNameMask : it->second;
}

uint32_t CItemSpace::Intern(std::string_view name)
{
    auto it = m_nameIds.find(name);
    if (it == m_nameIds.end()) {
        uint32_t id;
        if (!m_freeNames.empty()) {
            id = m_freeNames.back();
            m_freeNames.pop_back();
        } else {
            id = static_cast<uint32_t>(m_names.size());
            m_names.push_back({nullptr, 0});
        }
        it = m_nameIds.emplace(std::string(name), id).first;
        m_names[id].text = &it->first;
    }
    ++m_names[it->second].uses;
    return it->second;
}

void CItemSpace::ReleaseName(uint32_t name)
{
    NameEntry& e = m_names[name];
    if (--e.uses != 0) return;
    m_nameIds.erase(*e.text);
    e.text = nullptr;
    m_freeNames.push_back(name);
}

size_t CItemSpace::Slot(NodeId parent, uint32_t name) const
{
    uint64_t key = (static_cast<uint64_t>(parent) << 32) | name;
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - m_tableBits));
}

void CItemSpace::TableInsert(NodeId id)
{
    // Grow at 70 % load: linear probing stays short there.
    if ((m_nodeCount + 1) * 10 > m_table.size() * 7) TableGrow();
    const Node& n = At(id);
    size_t mask = m_table.size() - 1;
    size_t i = Slot(n.parent, n.name & kNameMask);
    while (m_table[i] != kNoNode) i = (i + 1) & mask;
    m_table[i] = id;
}

void CItemSpace::TableErase(NodeId id)
{
    const Node& n = At(id);
    size_t mask = m_table.size() - 1;
    size_t i = Slot(n.parent, n.name & kNameMask);
    while (m_table[i] != id) {
        if (m_table[i] == kNoNode) return;
        i = (i + 1) & mask;
    }
    // Backward-shift deletion: move later entries of the probe run into the hole
    // when their home slot allows it, so lookups never need tombstones.
    size_t j = i;
    while (true) {
        j = (j + 1) & mask;
        NodeId other = m_table[j];
        if (other == kNoNode) break;
        const Node& o = At(other);
        size_t home = Slot(o.parent, o.name & kNameMask);
        bool movable = (i <= j) ? (home <= i || home > j) : (home <= i && home > j);
        if (movable) {
            m_table[i] = other;
            i = j;
        }
    }
    m_table[i] = kNoNode;
}

void CItemSpace::TableGrow()
{
    std::vector<NodeId> old;
    old.swap(m_table);
    ++m_tableBits;
    m_table.assign(size_t{1} << m_tableBits, kNoNode);
    size_t mask = m_table.size() - 1;
    for (NodeId id : old) {
        if (id == kNoNode) continue;
        const Node& n = At(id);
        size_t i = Slot(n.parent, n.name & kNameMask);
        while (m_table[i] != kNoNode) i = (i + 1) & mask;
        m_table[i] = id;
    }
}

CItemSpace::NodeId CItemSpace::FindChild(NodeId parent, uint32_t name) const
{
    size_t mask = m_table.size() - 1;
    for (size_t i = Slot(parent, name);; i = (i + 1) & mask) {
        NodeId id = m_table[i];
        if (id == kNoNode) return kNoNode;
        const Node& n = At(id);
        if (n.parent == parent && (n.name & kNameMask) == name) return id;
    }
}

bool CItemSpace::Define(std::string_view itemId)
{
    if (!IsValidPath(itemId)) return false;
    NodeId node = kRootNode;
    ForEachSegment(itemId, [&](std::string_view segment) {
        uint32_t name = LookupName(segment);
        NodeId child = name == kNameMask ? kNoNode : FindChild(node, name);
        if (child == kNoNode) child = NewNode(node, Intern(segment));
        node = child;
        return true;
    });
    Node& n = At(node);
    if (!(n.name & kItemBit)) {
        n.name |= kItemBit;
        ++m_itemCount;
    }
    return true;
}

CItemSpace::NodeId CItemSpace::Find(std::string_view path) const
{
    if (!IsValidPath(path)) return kNoNode;
    NodeId node = kRootNode;
    ForEachSegment(path, [&](std::string_view segment) {
        uint32_t name = LookupName(segment);
        node = name == kNameMask ? kNoNode : FindChild(node, name);
        return node != kNoNode;
    });
    return node;
}

CItemSpace::NodeId CItemSpace::FindItem(std::string_view itemId) const
{
    NodeId node = Find(itemId);
    return node != kNoNode && IsItem(node) ? node : kNoNode;
}

bool CItemSpace::IsItem(NodeId node) const
{
    return node != kRootNode && (At(node).name & kItemBit) != 0;
}

bool CItemSpace::IsAtOrBelow(NodeId node, NodeId ancestor) const
{
    for (NodeId n = node; n != kNoNode; n = At(n).parent)
        if (n == ancestor) return true;
    return false;
}

void CItemSpace::Unlink(NodeId id)
{
    Node& n = At(id);
    Node& p = At(n.parent);
    if (p.firstChild == id) {
        p.firstChild = n.nextSibling;
    } else {
        NodeId prev = p.firstChild;
        while (At(prev).nextSibling != id) prev = At(prev).nextSibling;
        At(prev).nextSibling = n.nextSibling;
    }
    n.nextSibling = kNoNode;
}

size_t CItemSpace::Remove(NodeId node)
{
    if (node == kNoNode) return 0;
    size_t itemsBefore = m_itemCount;
    std::vector<NodeId> pending;
    NodeId parent = kNoNode;
    if (node == kRootNode) {
        for (NodeId c = At(kRootNode).firstChild; c != kNoNode; c = At(c).nextSibling) pending.push_back(c);
        At(kRootNode).firstChild = kNoNode;
    } else {
        parent = At(node).parent;
        Unlink(node);
        pending.push_back(node);
    }
    while (!pending.empty()) {
        NodeId id = pending.back();
        pending.pop_back();
        for (NodeId c = At(id).firstChild; c != kNoNode; c = At(c).nextSibling) pending.push_back(c);
        FreeNode(id);
    }
    // Branches that held nothing but the removed subtree go too.
    while (parent != kNoNode && parent != kRootNode && !IsItem(parent) && At(parent).firstChild == kNoNode) {
        NodeId up = At(parent).parent;
        Unlink(parent);
        FreeNode(parent);
        parent = up;
    }
    return itemsBefore - m_itemCount;
}

std::vector<CItemSpace::Child> CItemSpace::Children(NodeId node) const
{
    std::vector<Child> out;
    if (node == kNoNode) return out;
    for (NodeId c = At(node).firstChild; c != kNoNode; c = At(c).nextSibling) {
        const Node& n = At(c);
        out.push_back({*m_names[n.name & kNameMask].text, (n.name & kItemBit) != 0, n.firstChild != kNoNode});
    }
    std::reverse(out.begin(), out.end());
    return out;
}

std::string CItemSpace::FullPath(NodeId node) const
{
    std::vector<const std::string*> parts;
    for (NodeId n = node; n != kNoNode && n != kRootNode; n = At(n).parent)
        parts.push_back(m_names[At(n).name & kNameMask].text);
    std::string out;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        if (!out.empty()) out += '.';
        out += **it;
    }
    return out;
}

size_t CItemSpace::MemoryBytes() const
{
    size_t bytes = m_blocks.size() * size_t{kBlockSize} * sizeof(Node) + m_blocks.capacity() * sizeof(void*);
    bytes += m_table.capacity() * sizeof(NodeId);
    bytes += m_names.capacity() * sizeof(NameEntry) + m_freeNames.capacity() * sizeof(uint32_t);
    // A hash node per name: the key string, the ID, the link and the cached hash.
    bytes += m_nameIds.bucket_count() * sizeof(void*);
    for (const auto& [text, id] : m_nameIds) {
        (void)id;
        bytes += sizeof(std::string) + sizeof(uint32_t) + 2 * sizeof(void*);
        if (text.capacity() > 15) bytes += text.capacity() + 1;
    }
    return bytes;
}
