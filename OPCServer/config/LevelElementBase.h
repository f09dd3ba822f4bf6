#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CConfigReader;
class CConfigWriter;
class CLevelTag;

// Element kinds. Bit 7 marks run-time elements, which are never stored.
inline constexpr uint8_t kKindRoot = 1;
inline constexpr uint8_t kKindChannelCOM = 2;
inline constexpr uint8_t kKindChannelTCP = 3;
inline constexpr uint8_t kKindChannelUDP = 4;
inline constexpr uint8_t kKindGroup = 0x85;
inline constexpr uint8_t kKindTag = 0x86;
inline constexpr uint8_t kKindRunTimeBit = 0x80;

// The header that begins every stored element's record in the configuration
// file: 4 + 1 + 1 + 2 bytes.
struct CRecordHeader {
    static constexpr size_t kSize = 8;

    uint32_t m_savedChildren = 0;  // records of this element's children that follow
    uint8_t m_kind = 0;
    uint8_t m_reserved = 0;
    uint16_t m_nameLength = 0;  // UTF-16 units of the name
};

// Separator of the dotted paths (item IDs).
inline constexpr char kPathSeparator = '.';

// One element of the configuration tree. Every element owns its children:
// the level list (channels under the root, groups under channels and
// groups) and the tag list, both in insertion order. Names are UTF-8; the
// name length field counts UTF-16 code units, as the configuration file does.
//
// The tree is changed on the GUI thread only; other threads reach it under
// the configuration lock of CSingleVectors.
class CLevelElementBase {
   public:
    virtual ~CLevelElementBase();

    CLevelElementBase(const CLevelElementBase&) = delete;
    CLevelElementBase& operator=(const CLevelElementBase&) = delete;

    // Acquires run-time resources after construction or loading.
    virtual void Initialise() {}
    // Releases them again; derived destructors call it first.
    virtual void Shutdown() {}

    // Writes the element's record to the configuration image: the header
    // (stored children and name length counted now), the name, the kind's
    // fields. Answers the bytes written.
    virtual size_t Save(CConfigWriter& out) const;
    // Reads the name and the kind's fields, the header being copied in
    // already (CopyHeader). Answers the bytes read. Fields that the image
    // cuts short keep their values (the defaults of a new element).
    virtual size_t Load(CConfigReader& in);
    // The loader's copy of the header it read; the kind is the class's own.
    void CopyHeader(const CRecordHeader& header);

    uint8_t Kind() const { return m_kind; }
    CLevelElementBase* Parent() const { return m_parent; }

    uint32_t SavedChildren() const { return m_savedChildren; }
    void SetSavedChildren(uint32_t count) { m_savedChildren = count; }
    uint16_t NameLength() const { return m_nameLength; }

    // Null changes nothing; an empty text leaves the element without a name.
    void SetName(const char* text);
    void SetName(std::string_view text);
    // The name, empty when there is none.
    std::string GetName() const { return std::string(Name()); }
    std::string_view Name() const { return m_name ? std::string_view(m_name) : std::string_view(); }
    bool HasName() const { return m_name != nullptr; }

    // The parent's full path, a separator when that is not empty, the own name.
    std::string FullPath() const;

    // Finds or creates the element at a dotted path below this one; answers
    // the new leaf tag, or null (empty path, separators only, or a deeper
    // component that could not be made; nothing is left behind then).
    CLevelTag* CreatePath(std::string_view path);
    CLevelTag* CreatePath(const char* path);

    // Resolves a full path beginning with this element's name. Answers this
    // element for its own name, a tag, or null; callers keep only tags.
    CLevelElementBase* FindTag(std::string_view itemId);
    CLevelElementBase* FindTag(const char* itemId);

    // Take ownership; null is ignored. The child's parent becomes this element.
    void AddLevel(std::unique_ptr<CLevelElementBase> element);
    void AddTag(std::unique_ptr<CLevelTag> tag);

    // The first element of the level list with this exact name, or null.
    CLevelElementBase* FindLevel(std::string_view name) const;
    // Destroys the first element of the level list with this full path;
    // nothing when none has it.
    void RemoveLevel(std::string_view fullPath);
    // Takes that element out of the level list and hands it over, so that it
    // can die where no lock is held; it keeps its parent, so its full path
    // stays what it was. Null when none has the path.
    std::unique_ptr<CLevelElementBase> TakeLevel(std::string_view fullPath);
    void DeleteLevels();
    void DeleteTags();

    // Elements of this kind in the subtree through the level lists, this one included.
    uint32_t CountKind(uint8_t kind) const;
    // The tags of this element and of every level below it.
    size_t CountTags() const;

    // Makes every tag below known to the DA toolkit by its full path: this
    // element's tags in order, then each level's subtree in order. Answers 1,
    // or 0 when a child answered 0 (the walk ends there).
    int DefineItems();
    // Withdraws this element's full path, and every item ID below it, from
    // the DA toolkit. Answers 1.
    int DeleteItem();

    size_t LevelCount() const { return m_lists ? m_lists->m_levels.size() : 0; }
    CLevelElementBase* LevelAt(size_t index) const { return m_lists->m_levels[index].get(); }
    size_t TagCount() const { return m_lists ? m_lists->m_tags.size() : 0; }
    CLevelTag* TagAt(size_t index) const { return m_lists->m_tags[index].get(); }

   protected:
    explicit CLevelElementBase(uint8_t kind) : m_kind(kind) {}
    // A level has just joined the level list (AddLevel).
    virtual void LevelAdded(CLevelElementBase& /*level*/) {}

   private:
    // Hash of one list's names beside the list, so that a lookup does not
    // scan a thousand siblings. Open addressing with linear probing; a slot
    // holds a list position + 1, 0 is free. Equal names share one probe
    // chain in list order, so the first one met is the first one listed.
    // Short lists have no index and are scanned. Changed only together with
    // its list; lookups only read it.
    struct NameIndex {
        std::unique_ptr<uint32_t[]> m_slots;
        uint32_t m_mask = 0;  // slot count - 1

        // The list's last element has just been appended.
        template <class List>
        void Appended(const List& list);
        // Positions changed or names changed: index the list afresh.
        template <class List>
        void Rebuild(const List& list);
        // Position of the first element named name (hash from NameHash), or npos.
        template <class List>
        size_t Find(const List& list, std::string_view name, uint32_t hash) const;
        void Clear();

       private:
        template <class List>
        void Insert(const List& list, size_t position);
    };
    struct Lists {
        std::vector<std::unique_ptr<CLevelElementBase>> m_levels;
        std::vector<std::unique_ptr<CLevelTag>> m_tags;
        NameIndex m_levelIndex;
        NameIndex m_tagIndex;
        ~Lists();
    };
    Lists& EnsureLists();
    // A child's name changed under this element.
    void ChildRenamed();
    // FindTag's search of the lists, s relative to this element, through the indexes.
    CLevelElementBase* FindIndexed(std::string_view s) const;

    // Kept small: a channel holds tens of thousands of tags, and a tag has
    // no children, so the two lists live behind one pointer made on demand.
    uint32_t m_savedChildren = 0;
    uint8_t m_kind;
    uint8_t m_reserved = 0;
    uint16_t m_nameLength = 0;
    char* m_name = nullptr;
    CLevelElementBase* m_parent = nullptr;
    std::unique_ptr<Lists> m_lists;
};
