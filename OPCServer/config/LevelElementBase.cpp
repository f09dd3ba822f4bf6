#include "config/LevelElementBase.h"

#include "ZellDAServer.h"
#include "config/LevelGroup.h"
#include "config/LevelTag.h"

#include <algorithm>
#include <cstring>

namespace {

// UTF-16 code units of a UTF-8 text: one per sequence, two for those
// outside the basic plane (four-byte sequences).
uint16_t Utf16Units(std::string_view text)
{
    size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80) {
            units += byte >= 0xF0 ? 2 : 1;
        }
    }
    return static_cast<uint16_t>(units > UINT16_MAX ? UINT16_MAX : units);
}

// text begins with name followed by then.
bool StartsWith(std::string_view text, std::string_view name, char then)
{
    return text.size() > name.size() && text.compare(0, name.size(), name) == 0 && text[name.size()] == then;
}

// Lists shorter than this are scanned: cheaper than hashing, and no memory.
constexpr size_t kIndexFrom = 8;

// FNV-1a, fed byte by byte so that FindTag hashes every prefix of an item ID
// in one pass; NameHash finishes it with a mix, because the index keeps only
// the low bits.
constexpr uint32_t kHashStart = 2166136261u;

uint32_t HashStep(uint32_t state, char c)
{
    return (state ^ static_cast<unsigned char>(c)) * 16777619u;
}

uint32_t HashFinish(uint32_t state)
{
    state ^= state >> 16;
    state *= 0x85ebca6bu;
    state ^= state >> 13;
    state *= 0xc2b2ae35u;
    state ^= state >> 16;
    return state;
}

uint32_t NameHash(std::string_view name)
{
    uint32_t state = kHashStart;
    for (const char c : name) {
        state = HashStep(state, c);
    }
    return HashFinish(state);
}

}  // namespace

template <class List>
void CLevelElementBase::NameIndex::Appended(const List& list)
{
    const size_t count = list.size();
    if (count < kIndexFrom) {
        return;
    }
    // Grow beyond three quarters full: probe chains stay short.
    if (!m_slots || count * 4 > (static_cast<size_t>(m_mask) + 1) * 3) {
        Rebuild(list);
    } else {
        Insert(list, count - 1);
    }
}

template <class List>
void CLevelElementBase::NameIndex::Rebuild(const List& list)
{
    const size_t count = list.size();
    if (count < kIndexFrom) {
        Clear();
        return;
    }
    size_t slots = 16;
    while (count * 4 > slots * 3) {
        slots *= 2;
    }
    m_slots = std::make_unique<uint32_t[]>(slots);  // zeroed: all free
    m_mask = static_cast<uint32_t>(slots - 1);
    // In list order, so that of equal names the first listed comes first in its chain.
    for (size_t position = 0; position < count; ++position) {
        Insert(list, position);
    }
}

template <class List>
void CLevelElementBase::NameIndex::Insert(const List& list, size_t position)
{
    uint32_t slot = NameHash(list[position]->Name()) & m_mask;
    while (m_slots[slot] != 0) {
        slot = (slot + 1) & m_mask;
    }
    m_slots[slot] = static_cast<uint32_t>(position + 1);
}

template <class List>
size_t CLevelElementBase::NameIndex::Find(const List& list, std::string_view name, uint32_t hash) const
{
    if (!m_slots) {
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i]->Name() == name) {
                return i;
            }
        }
        return std::string_view::npos;
    }
    for (uint32_t slot = hash & m_mask; m_slots[slot] != 0; slot = (slot + 1) & m_mask) {
        const size_t position = m_slots[slot] - 1;
        if (list[position]->Name() == name) {
            return position;
        }
    }
    return std::string_view::npos;
}

void CLevelElementBase::NameIndex::Clear()
{
    m_slots.reset();
    m_mask = 0;
}

CLevelElementBase::Lists::~Lists()
{
    m_tags.clear();
    m_levels.clear();
}

CLevelElementBase::~CLevelElementBase()
{
    // Children first: a channel's shutdown withdraws its items from the DA
    // toolkit by its full path, which needs this element's name.
    m_lists.reset();
    delete[] m_name;
    m_name = nullptr;
}

CLevelElementBase::Lists& CLevelElementBase::EnsureLists()
{
    if (!m_lists) {
        m_lists = std::make_unique<Lists>();
    }
    return *m_lists;
}

void CLevelElementBase::SetName(const char* text)
{
    if (text != nullptr) {
        SetName(std::string_view(text));
    }
}

void CLevelElementBase::SetName(std::string_view text)
{
    delete[] m_name;
    m_name = nullptr;
    m_nameLength = 0;
    if (!text.empty()) {
        m_name = new char[text.size() + 1];
        std::memcpy(m_name, text.data(), text.size());
        m_name[text.size()] = '\0';
        m_nameLength = Utf16Units(text);
    }
    if (m_parent != nullptr) {
        m_parent->ChildRenamed();
    }
}

void CLevelElementBase::ChildRenamed()
{
    // Renames are rare (a channel edited in the dialog): index both lists afresh.
    if (m_lists) {
        m_lists->m_levelIndex.Rebuild(m_lists->m_levels);
        m_lists->m_tagIndex.Rebuild(m_lists->m_tags);
    }
}

std::string CLevelElementBase::FullPath() const
{
    // Same result as parent's path + separator (when not empty) + own name,
    // built top-down in one string.
    std::vector<const CLevelElementBase*> chain;
    for (const CLevelElementBase* e = this; e != nullptr; e = e->m_parent) {
        chain.push_back(e);
    }
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.empty()) {
            path += kPathSeparator;
        }
        path += (*it)->Name();
    }
    return path;
}

CLevelTag* CLevelElementBase::CreatePath(const char* path)
{
    return path != nullptr ? CreatePath(std::string_view(path)) : nullptr;
}

CLevelTag* CLevelElementBase::CreatePath(std::string_view path)
{
    // Split off the first non-empty component; leading separators are skipped.
    std::string_view head = path;
    std::string_view rest;
    for (;;) {
        const size_t pos = head.find(kPathSeparator);
        if (pos == std::string_view::npos) {
            break;
        }
        rest = head.substr(pos + 1);
        head = head.substr(0, pos);
        if (!head.empty()) {
            break;
        }
        head = rest;
        // The remainder is now the head: it must not count as a rest too.
        rest = {};
        if (head.empty()) {
            break;
        }
    }
    if (head.empty()) {
        return nullptr;
    }

    if (!rest.empty()) {
        if (CLevelElementBase* existing = FindLevel(head)) {
            return existing->CreatePath(rest);
        }
        auto group = std::make_unique<CLevelGroup>();
        group->Initialise();
        group->SetName(head);
        CLevelTag* tag = group->CreatePath(rest);
        if (tag == nullptr) {
            return nullptr;  // the new group dies here, nothing stays behind
        }
        AddLevel(std::move(group));
        return tag;
    }

    auto tag = std::make_unique<CLevelTag>();
    tag->Initialise();
    tag->SetName(head);
    CLevelTag* answer = tag.get();
    AddTag(std::move(tag));
    return answer;
}

CLevelElementBase* CLevelElementBase::FindTag(const char* itemId)
{
    return itemId != nullptr ? FindTag(std::string_view(itemId)) : nullptr;
}

CLevelElementBase* CLevelElementBase::FindTag(std::string_view itemId)
{
    std::string_view s = itemId;
    while (!s.empty() && s.front() == kPathSeparator) {
        s.remove_prefix(1);
    }
    const std::string_view name = Name();
    if (s == name) {
        return this;
    }
    if (!StartsWith(s, name, kPathSeparator)) {
        return nullptr;
    }
    s.remove_prefix(name.size() + 1);
    if (!m_lists) {
        return nullptr;
    }
    if (m_lists->m_tagIndex.m_slots || m_lists->m_levelIndex.m_slots) {
        return FindIndexed(s);
    }

    for (size_t i = 0; i < TagCount(); ++i) {
        CLevelTag* tag = TagAt(i);
        const std::string_view tagName = tag->Name();
        // A trailing separator after the tag's name still names the tag.
        if (s == tagName || (s.size() == tagName.size() + 1 && StartsWith(s, tagName, kPathSeparator))) {
            return tag;
        }
    }
    for (size_t i = 0; i < LevelCount(); ++i) {
        CLevelElementBase* level = LevelAt(i);
        if (StartsWith(s, level->Name(), kPathSeparator)) {
            return level->FindTag(s);
        }
    }
    return nullptr;
}

CLevelElementBase* CLevelElementBase::FindIndexed(std::string_view s) const
{
    // The same answers as the scans in FindTag: the first tag named s, or s
    // less one trailing separator; else the first level whose name followed
    // by a separator begins s. Every prefix of s that ends before a separator
    // is a candidate level name, since a name may hold a separator itself.
    const auto& tags = m_lists->m_tags;
    const auto& levels = m_lists->m_levels;
    size_t firstLevel = std::string_view::npos;
    uint32_t state = kHashStart;
    uint32_t beforeLast = kHashStart;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == kPathSeparator) {
            firstLevel =
                std::min(firstLevel, m_lists->m_levelIndex.Find(levels, s.substr(0, i), HashFinish(state)));
        }
        beforeLast = state;
        state = HashStep(state, s[i]);
    }
    size_t tag = m_lists->m_tagIndex.Find(tags, s, HashFinish(state));
    if (!s.empty() && s.back() == kPathSeparator) {
        tag =
            std::min(tag, m_lists->m_tagIndex.Find(tags, s.substr(0, s.size() - 1), HashFinish(beforeLast)));
    }
    if (tag != std::string_view::npos) {
        return tags[tag].get();
    }
    if (firstLevel != std::string_view::npos) {
        return levels[firstLevel]->FindTag(s);
    }
    return nullptr;
}

void CLevelElementBase::AddLevel(std::unique_ptr<CLevelElementBase> element)
{
    if (element) {
        element->m_parent = this;
        CLevelElementBase& level = *element;
        Lists& lists = EnsureLists();
        lists.m_levels.push_back(std::move(element));
        lists.m_levelIndex.Appended(lists.m_levels);
        LevelAdded(level);
    }
}

void CLevelElementBase::AddTag(std::unique_ptr<CLevelTag> tag)
{
    if (tag) {
        tag->m_parent = this;
        Lists& lists = EnsureLists();
        lists.m_tags.push_back(std::move(tag));
        lists.m_tagIndex.Appended(lists.m_tags);
    }
}

CLevelElementBase* CLevelElementBase::FindLevel(std::string_view name) const
{
    if (!m_lists) {
        return nullptr;
    }
    const size_t position = m_lists->m_levelIndex.Find(m_lists->m_levels, name, NameHash(name));
    return position != std::string_view::npos ? m_lists->m_levels[position].get() : nullptr;
}

void CLevelElementBase::RemoveLevel(std::string_view fullPath)
{
    // Out of the list before it dies, so its destruction never sees itself
    // still listed.
    std::unique_ptr<CLevelElementBase> doomed = TakeLevel(fullPath);
}

std::unique_ptr<CLevelElementBase> CLevelElementBase::TakeLevel(std::string_view fullPath)
{
    if (!m_lists) {
        return nullptr;
    }
    auto& levels = m_lists->m_levels;
    for (auto it = levels.begin(); it != levels.end(); ++it) {
        if ((*it)->FullPath() == fullPath) {
            std::unique_ptr<CLevelElementBase> taken = std::move(*it);
            levels.erase(it);
            m_lists->m_levelIndex.Rebuild(levels);
            return taken;
        }
    }
    return nullptr;
}

void CLevelElementBase::DeleteLevels()
{
    if (m_lists) {
        auto doomed = std::move(m_lists->m_levels);
        m_lists->m_levels.clear();
        m_lists->m_levelIndex.Clear();
    }
}

void CLevelElementBase::DeleteTags()
{
    if (m_lists) {
        auto doomed = std::move(m_lists->m_tags);
        m_lists->m_tags.clear();
        m_lists->m_tagIndex.Clear();
    }
}

uint32_t CLevelElementBase::CountKind(uint8_t kind) const
{
    uint32_t count = m_kind == kind ? 1 : 0;
    for (size_t i = 0; i < LevelCount(); ++i) {
        count += LevelAt(i)->CountKind(kind);
    }
    return count;
}

size_t CLevelElementBase::CountTags() const
{
    size_t count = TagCount();
    for (size_t i = 0; i < LevelCount(); ++i) {
        count += LevelAt(i)->CountTags();
    }
    return count;
}

int CLevelElementBase::DefineItems()
{
    // One path for this element, extended per tag, instead of a walk up to
    // the root for each of tens of thousands of tags.
    std::string path = FullPath();
    if (!path.empty()) {
        path += kPathSeparator;
    }
    const size_t prefix = path.size();
    for (size_t i = 0; i < TagCount(); ++i) {
        path.resize(prefix);
        path += TagAt(i)->Name();
        DefineDAItem(path.c_str());
    }
    for (size_t i = 0; i < LevelCount(); ++i) {
        if (LevelAt(i)->DefineItems() == 0) {
            return 0;
        }
    }
    return 1;
}

int CLevelElementBase::DeleteItem()
{
    DeleteDAItem(FullPath().c_str());
    return 1;
}
