#include "platform/Registry.h"

#include "platform/File.h"
#include "platform/Paths.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Value files start with '@'; key folders never do (a leading '@' of a key
// name is escaped), so a key and a value of the same name do not collide.
constexpr char kValuePrefix = '@';
constexpr std::size_t kMaxNameBytes = 255;
constexpr std::size_t kMaxValueBytes = 1u << 20;

bool IsValidName(std::string_view name)
{
    return name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos && name.size() <= kMaxNameBytes;
}

bool SplitKey(std::string_view key, std::vector<std::string>* parts)
{
    parts->clear();
    if (key.empty()) {
        return true;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = key.find('\\', start);
        const std::string_view part =
            key.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (part.empty() || !IsValidName(part)) {
            return false;
        }
        parts->emplace_back(part);
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

std::string Escape(std::string_view name, bool isKey)
{
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '%') {
            out += "%25";
        } else if (isKey && i == 0 && c == kValuePrefix) {
            out += "%40";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool Unescape(std::string_view text, std::string* name)
{
    name->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            name->push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {
            return false;
        }
        const int hi = HexDigit(text[i + 1]);
        const int lo = HexDigit(text[i + 2]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        name->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) {
                   return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
               };
               return lower(x) == lower(y);
           });
}

enum class Kind { Missing, Folder, File, Other };

Kind KindOf(const std::string& path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return Kind::Missing;
    if (S_ISDIR(st.st_mode)) return Kind::Folder;
    if (S_ISREG(st.st_mode)) return Kind::File;
    return Kind::Other;  // symbolic links among them: never followed
}

template <class Visit>
bool ForEachEntry(const std::string& folder, Visit visit)
{
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return false;
    while (dirent* entry = readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        if (!visit(name)) break;
    }
    closedir(dir);
    return true;
}

// The existing entry for a name: the exact escaped name first, else any
// entry whose name matches ignoring case. Empty when there is none.
std::string FindEntry(const std::string& folder, std::string_view name, bool isKey)
{
    const std::string exact =
        JoinPath(folder, isKey ? Escape(name, true) : kValuePrefix + Escape(name, false));
    const Kind wanted = isKey ? Kind::Folder : Kind::File;
    const Kind kind = KindOf(exact);
    if (kind == wanted) return exact;
    std::string found;
    ForEachEntry(folder, [&](std::string_view entry) {
        const bool isValue = !entry.empty() && entry.front() == kValuePrefix;
        if (isValue == isKey) return true;
        std::string decoded;
        if (!Unescape(isKey ? entry : entry.substr(1), &decoded) || !EqualsIgnoreAsciiCase(decoded, name))
            return true;
        const std::string path = JoinPath(folder, entry);
        if (KindOf(path) != wanted) return true;
        found = path;
        return false;
    });
    return found;
}

std::string NewValuePath(const std::string& folder, std::string_view name)
{
    return JoinPath(folder, kValuePrefix + Escape(name, false));
}

bool ValidValueName(std::string_view name)
{
    return name.empty() || IsValidName(name);
}

const char* HiveFolderName(RegistryHive hive)
{
    switch (hive) {
        case RegistryHive::LocalMachine:
            return "HKEY_LOCAL_MACHINE";
        case RegistryHive::CurrentUser:
            return "HKEY_CURRENT_USER";
        default:
            return "HKEY_CLASSES_ROOT";
    }
}

}  // namespace

CRegistry::CRegistry(std::string rootFolder) : m_root(std::move(rootFolder)) {}

CRegistry CRegistry::Open(RegistryHive hive)
{
    return CRegistry(JoinPath(DefaultRootFolder(), HiveFolderName(hive)));
}

std::string CRegistry::DefaultRootFolder()
{
    return JoinPath(CommonConfigFolder(), "OpcVireo2/registry");
}

bool CRegistry::OpenKey(std::string_view key, bool create, std::string* folder) const
{
    std::vector<std::string> parts;
    if (m_root.empty() || !SplitKey(key, &parts)) return false;
    if (create && !CreateFolders(m_root)) return false;
    std::string current = m_root;
    struct stat st {};
    if (stat(current.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    for (const std::string& part : parts) {
        std::string next = FindEntry(current, part, true);
        if (next.empty()) {
            if (!create) return false;
            next = JoinPath(current, Escape(part, true));
            if (mkdir(next.c_str(), 0755) != 0 && errno != EEXIST) return false;
            if (KindOf(next) != Kind::Folder) return false;
        }
        current = std::move(next);
    }
    *folder = std::move(current);
    return true;
}

bool CRegistry::CreateKey(std::string_view key) const
{
    std::string folder;
    return OpenKey(key, true, &folder);
}

bool CRegistry::KeyExists(std::string_view key) const
{
    std::string folder;
    return OpenKey(key, false, &folder);
}

bool CRegistry::SetValue(std::string_view key, std::string_view name, std::string_view data) const
{
    std::string folder;
    if (!ValidValueName(name) || !OpenKey(key, true, &folder)) return false;
    std::string path = FindEntry(folder, name, false);
    if (path.empty()) {
        path = NewValuePath(folder, name);
        if (KindOf(path) != Kind::Missing) return false;  // something else of that name is in the way
    }
    // Written aside and renamed over, so a reader sees the old or the new text, never half.
    static std::atomic<unsigned> counter{0};
    const std::string temp =
        JoinPath(folder, std::string(1, kValuePrefix) + "%tmp." + std::to_string(getpid()) + "." +
                             std::to_string(counter.fetch_add(1)));
    {
        CFile file;
        if (!file.Open(temp, FileAccess::ReadWrite, FileMode::CreateNew) ||
            !file.Write(data.data(), data.size())) {
            file.Close();
            unlink(temp.c_str());
            return false;
        }
    }
    if (!RenameFile(temp, path)) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

bool CRegistry::GetValue(std::string_view key, std::string_view name, std::string* data) const
{
    std::string folder;
    if (data == nullptr || !ValidValueName(name) || !OpenKey(key, false, &folder)) return false;
    const std::string path = FindEntry(folder, name, false);
    return !path.empty() && ReadFileText(path, data, kMaxValueBytes);
}

bool CRegistry::DeleteValue(std::string_view key, std::string_view name) const
{
    std::string folder;
    if (!ValidValueName(name) || !OpenKey(key, false, &folder)) return false;
    const std::string path = FindEntry(folder, name, false);
    return !path.empty() && unlink(path.c_str()) == 0;
}

bool CRegistry::DeleteKeyTree(std::string_view key) const
{
    std::string folder;
    if (key.empty() || !OpenKey(key, false, &folder)) return false;
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);  // removes links, never what they point at
    return !ec;
}

bool CRegistry::SubKeys(std::string_view key, std::vector<std::string>* names) const
{
    std::string folder;
    if (names == nullptr || !OpenKey(key, false, &folder)) return false;
    names->clear();
    ForEachEntry(folder, [&](std::string_view entry) {
        std::string decoded;
        if (!entry.empty() && entry.front() != kValuePrefix && Unescape(entry, &decoded) &&
            KindOf(JoinPath(folder, entry)) == Kind::Folder) {
            names->push_back(std::move(decoded));
        }
        return true;
    });
    std::sort(names->begin(), names->end());
    return true;
}

bool CRegistry::ValueNames(std::string_view key, std::vector<std::string>* names) const
{
    std::string folder;
    if (names == nullptr || !OpenKey(key, false, &folder)) return false;
    names->clear();
    ForEachEntry(folder, [&](std::string_view entry) {
        std::string decoded;
        if (!entry.empty() && entry.front() == kValuePrefix && Unescape(entry.substr(1), &decoded) &&
            KindOf(JoinPath(folder, entry)) == Kind::File) {
            names->push_back(std::move(decoded));
        }
        return true;
    });
    std::sort(names->begin(), names->end());
    return true;
}
