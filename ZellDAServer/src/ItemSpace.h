#pragma once
// The defined item IDs as a tree of path segments. Segment names are interned
// (each distinct name is stored once), nodes are 16-byte records in fixed-size
// blocks, and children are found through one open-addressing table keyed by
// (parent, name), so a million IDs that share their channel and device prefixes
// cost a few tens of bytes each. Not synchronised: the owner locks.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CItemSpace {
   public:
    using NodeId = uint32_t;
    static constexpr NodeId kNoNode = 0xFFFFFFFFu;
    static constexpr NodeId kRootNode = 0;  // unnamed; its children are the first segments

    struct Child {
        std::string name;
        bool isItem;       // a defined item ID
        bool hasChildren;  // a branch with IDs below it
    };

    CItemSpace();
    ~CItemSpace();
    CItemSpace(const CItemSpace&) = delete;
    CItemSpace& operator=(const CItemSpace&) = delete;

    // A dotted path is valid when it is not empty and has no empty segment.
    static bool IsValidPath(std::string_view path);

    // Defines an ID; false for an invalid path. Defining an ID twice is harmless.
    bool Define(std::string_view itemId);
    // The node of a path (branch or item), or kNoNode.
    NodeId Find(std::string_view path) const;
    // The node of a defined item ID, or kNoNode.
    NodeId FindItem(std::string_view itemId) const;
    bool IsItem(NodeId node) const;
    bool HasChildren(NodeId node) const { return At(node).firstChild != kNoNode; }
    // True when `node` is `ancestor` or lies below it.
    bool IsAtOrBelow(NodeId node, NodeId ancestor) const;
    // Removes a node with everything below it, then any ancestors left empty.
    // Answers the number of item IDs withdrawn.
    size_t Remove(NodeId node);
    // Children of a node in the order they were first defined.
    std::vector<Child> Children(NodeId node) const;
    // The same without copies: visit(name, isItem, hasChildren) from child
    // `skip` on, until it answers false.
    template <typename F>
    void VisitChildren(NodeId node, size_t skip, F&& visit) const
    {
        std::vector<NodeId> ids;
        for (NodeId c = At(node).firstChild; c != kNoNode; c = At(c).nextSibling) ids.push_back(c);
        for (size_t i = skip; i < ids.size(); ++i) {
            const Node& n = At(ids[ids.size() - 1 - i]);
            if (!visit(std::string_view(*m_names[n.name & kNameMask].text), (n.name & kItemBit) != 0,
                       n.firstChild != kNoNode))
                return;
        }
    }
    std::string FullPath(NodeId node) const;

    size_t ItemCount() const { return m_itemCount; }
    size_t NodeCount() const { return m_nodeCount; }
    size_t NameCount() const { return m_names.size() - m_freeNames.size(); }
    // Bytes held by the structure (nodes, table, names), for measurements.
    size_t MemoryBytes() const;

   private:
    struct Node {
        NodeId parent;       // kNoNode marks a free record
        uint32_t name;       // interned name; high bit: defined item
        NodeId firstChild;   // newest child first; Children() reverses
        NodeId nextSibling;  // in the free list: the next free record
    };
    static constexpr uint32_t kItemBit = 0x80000000u;
    static constexpr uint32_t kNameMask = 0x7FFFFFFFu;
    static constexpr uint32_t kBlockBits = 13;
    static constexpr uint32_t kBlockSize = 1u << kBlockBits;

    Node& At(NodeId id) { return m_blocks[id >> kBlockBits][id & (kBlockSize - 1)]; }
    const Node& At(NodeId id) const { return m_blocks[id >> kBlockBits][id & (kBlockSize - 1)]; }
    NodeId NewNode(NodeId parent, uint32_t name);
    void FreeNode(NodeId id);
    NodeId FindChild(NodeId parent, uint32_t name) const;
    void Unlink(NodeId id);

    // Names.
    uint32_t Intern(std::string_view name);
    uint32_t LookupName(std::string_view name) const;  // kNameMask when unknown
    void ReleaseName(uint32_t name);

    // (parent, name) -> child table; slots hold node IDs, kNoNode is empty.
    size_t Slot(NodeId parent, uint32_t name) const;
    void TableInsert(NodeId id);
    void TableErase(NodeId id);
    void TableGrow();

    std::vector<std::unique_ptr<Node[]>> m_blocks;
    NodeId m_freeNodes = kNoNode;
    size_t m_nodeCount = 0;  // in use, root included
    size_t m_itemCount = 0;
    std::vector<NodeId> m_table;
    uint32_t m_tableBits = 0;

    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, uint32_t, NameHash, std::equal_to<>> m_nameIds;
    struct NameEntry {
        const std::string* text;  // key inside m_nameIds; null when free
        uint32_t uses;
    };
    std::vector<NameEntry> m_names;
    std::vector<uint32_t> m_freeNames;
};
