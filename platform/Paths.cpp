#include "platform/Paths.h"

#include "platform/File.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

const char kDataFolderName[] = "OPC-сервер комлекта Вирео-2 версии 300";

namespace {

bool IsRoot()
{
    return geteuid() == 0;
}

std::string HomeFolder()
{
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return std::string();  // no home at all: the working folder
}

}  // namespace

std::string JoinPath(std::string_view folder, std::string_view name)
{
    std::string path(folder);
    if (!path.empty() && path.back() != '/' && !name.empty() && name.front() != '/') {
        path.push_back('/');
    }
    path.append(name);
    return path;
}

std::string ParentFolder(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return std::string();
    }
    return slash == 0 ? std::string("/") : std::string(path.substr(0, slash));
}

std::string ProgramPath()
{
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return std::string();
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(n));
        }
        if (buffer.size() >= (1u << 20)) {
            return std::string();
        }
        buffer.resize(buffer.size() * 2);  // the link may have been cut short
    }
}

std::string ProgramFolder()
{
    return ParentFolder(ProgramPath());
}

std::string ResolveXdgFolder(const char* variable, bool isRoot, const std::string& home,
                             std::string_view systemFolder, std::string_view homeSuffix)
{
    if (variable != nullptr && variable[0] == '/') {
        std::string value(variable);
        while (value.size() > 1 && value.back() == '/') {
            value.pop_back();
        }
        return value;
    }
    if (isRoot) {
        return std::string(systemFolder);
    }
    return JoinPath(home, homeSuffix);
}

std::string CommonAppDataFolder()
{
    return ResolveXdgFolder(std::getenv("XDG_DATA_HOME"), IsRoot(), HomeFolder(), "/var/lib", ".local/share");
}

std::string CommonConfigFolder()
{
    return ResolveXdgFolder(std::getenv("XDG_CONFIG_HOME"), IsRoot(), HomeFolder(), "/etc", ".config");
}

std::string DataFolderPath()
{
    return JoinPath(CommonAppDataFolder(), kDataFolderName);
}

bool CreateDataFolder(std::string* folder)
{
    const std::string common = CommonAppDataFolder();
    const std::string data = JoinPath(common, kDataFolderName);
    if (folder != nullptr) {
        *folder = data;
    }
    return CreateFolders(common) && CreateFolders(data);
}

bool CanWriteInFolder(const std::string& folder)
{
    const std::string probe = JoinPath(folder, ".write-test-" + std::to_string(getpid()));
    CFile file;
    if (!file.Open(probe, FileAccess::ReadWrite, FileMode::CreateAlways)) {
        return false;
    }
    const int error = file.Close() ? 0 : errno;
    (void)DeleteFile(probe);
    errno = error;
    return error == 0;
}
