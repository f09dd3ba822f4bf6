#include "platform/DynamicLibrary.h"

#include <dlfcn.h>
#include <utility>

CDynamicLibrary::CDynamicLibrary(CDynamicLibrary&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_lastError(std::move(other.m_lastError))
{
}

CDynamicLibrary& CDynamicLibrary::operator=(CDynamicLibrary&& other) noexcept
{
    if (this != &other) {
        Unload();
        m_handle = std::exchange(other.m_handle, nullptr);
        m_lastError = std::move(other.m_lastError);
    }
    return *this;
}

bool CDynamicLibrary::Load(const std::string& path)
{
    Unload();
    m_lastError.clear();
    if (path.empty()) {
        m_lastError = "empty library path";
        return false;
    }
    // Bound now, so a library with an unresolved entry fails here and not later in a call.
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* reason = dlerror();
        m_lastError = reason != nullptr ? reason : "dlopen failed";
        return false;
    }
    return true;
}

void CDynamicLibrary::Unload()
{
    if (m_handle != nullptr) {
        dlclose(m_handle);
        m_handle = nullptr;
    }
}

void* CDynamicLibrary::Symbol(const char* name) const
{
    if (m_handle == nullptr || name == nullptr || *name == '\0') {
        return nullptr;
    }
    dlerror();  // clear a stale error
    return dlsym(m_handle, name);
}

std::string SharedLibraryFileName(std::string_view windowsName)
{
    std::string_view base = windowsName;
    if (base.size() >= 4) {
        std::string_view ext = base.substr(base.size() - 4);
        if ((ext[0] == '.') && (ext[1] == 'd' || ext[1] == 'D') && (ext[2] == 'l' || ext[2] == 'L') &&
            (ext[3] == 'l' || ext[3] == 'L')) {
            base.remove_suffix(4);
        }
    }
    return "lib" + std::string(base) + ".so";
}
