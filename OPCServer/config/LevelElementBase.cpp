#include "config/LevelElementBase.h"

#include "config/LevelGroup.h"
#include "config/LevelTag.h"

#include "ZellDAServer.h"

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

}  // namespace

CLevelElementBase::Lists::~Lists()
{
    m_tags.clear();
    m_levels.clear();
}

CLevelElementBase::~CLevelElementBase()
{
    delete[] m_name;
    m_name = nullptr;
    m_lists.reset();
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
    if (text.empty()) {
        return;
    }
    m_name = new char[text.size() + 1];
    std::memcpy(m_name, text.data(), text.size());
    m_name[text.size()] = '\0';
    m_nameLength = Utf16Units(text);
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

void CLevelElementBase::AddLevel(std::unique_ptr<CLevelElementBase> element)
{
    if (element) {
        element->m_parent = this;
        EnsureLists().m_levels.push_back(std::move(element));
    }
}

void CLevelElementBase::AddTag(std::unique_ptr<CLevelTag> tag)
{
    if (tag) {
        tag->m_parent = this;
        EnsureLists().m_tags.push_back(std::move(tag));
    }
}

CLevelElementBase* CLevelElementBase::FindLevel(std::string_view name) const
{
    for (size_t i = 0; i < LevelCount(); ++i) {
        if (LevelAt(i)->Name() == name) {
            return LevelAt(i);
        }
    }
    return nullptr;
}

void CLevelElementBase::RemoveLevel(std::string_view fullPath)
{
    if (!m_lists) {
        return;
    }
    auto& levels = m_lists->m_levels;
    for (auto it = levels.begin(); it != levels.end(); ++it) {
        if ((*it)->FullPath() == fullPath) {
            // Take it out of the list before it dies, so its destruction
            // never sees itself still listed.
            std::unique_ptr<CLevelElementBase> doomed = std::move(*it);
            levels.erase(it);
            return;
        }
    }
}

void CLevelElementBase::DeleteLevels()
{
    if (m_lists) {
        auto doomed = std::move(m_lists->m_levels);
        m_lists->m_levels.clear();
    }
}

void CLevelElementBase::DeleteTags()
{
    if (m_lists) {
        auto doomed = std::move(m_lists->m_tags);
        m_lists->m_tags.clear();
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
