#pragma once
// Run-time loading of a shared library (the cipher library, for one). A library
// or an entry that is absent is a null answer, never an exception or a message.

#include <string>
#include <string_view>

class CDynamicLibrary {
   public:
    CDynamicLibrary() = default;
    ~CDynamicLibrary() { Unload(); }
    CDynamicLibrary(const CDynamicLibrary&) = delete;
    CDynamicLibrary& operator=(const CDynamicLibrary&) = delete;
    CDynamicLibrary(CDynamicLibrary&& other) noexcept;
    CDynamicLibrary& operator=(CDynamicLibrary&& other) noexcept;

    // Unloads what was loaded first. False when the file is missing or not a
    // loadable library; LastError then says why.
    bool Load(const std::string& path);
    void Unload();
    bool IsLoaded() const { return m_handle != nullptr; }

    // The address of an exported symbol; null when absent or nothing is loaded.
    void* Symbol(const char* name) const;
    template <class Function>
    Function Entry(const char* name) const
    {
        return reinterpret_cast<Function>(Symbol(name));
    }

    const std::string& LastError() const { return m_lastError; }

   private:
    void* m_handle = nullptr;
    std::string m_lastError;
};

// The file name of a Windows library name on this system: "mardelCrypto.dll"
// is "libmardelCrypto.so". Names without ".dll" only get the prefix and ".so".
std::string SharedLibraryFileName(std::string_view windowsName);
