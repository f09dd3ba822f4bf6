#pragma once
// A small registry on files, in place of the Windows one: a key is a folder, a
// value a file holding its text. Key paths use backslashes
// ("CLSID\\{...}\\LocalServer32"); "" is the hive itself. Key and value names
// compare without regard to ASCII case, as Windows names do. The empty value
// name is the key's default value. Names that could reach outside the store
// (".", "..", names with '/' or NUL, empty path parts) are refused, and so are
// symbolic links inside it. Every operation answers false on failure.

#include <string>
#include <string_view>
#include <vector>

enum class RegistryHive {
    ClassesRoot,
    LocalMachine,
    CurrentUser,
};

class CRegistry {
   public:
    // A store in the given folder (created on the first write).
    explicit CRegistry(std::string rootFolder);
    // A hive of the machine's store, below DefaultRootFolder().
    static CRegistry Open(RegistryHive hive = RegistryHive::ClassesRoot);
    // CommonConfigFolder() + "/OpcVireo2/registry", resolved at each call.
    static std::string DefaultRootFolder();

    const std::string& RootFolder() const { return m_root; }

    // Creates the key and its missing parents; true when it exists already.
    bool CreateKey(std::string_view key) const;
    bool KeyExists(std::string_view key) const;
    // Creates the key when missing; replaces the value atomically.
    bool SetValue(std::string_view key, std::string_view name, std::string_view data) const;
    bool GetValue(std::string_view key, std::string_view name, std::string* data) const;
    // False when the value is not there.
    bool DeleteValue(std::string_view key, std::string_view name) const;
    // The key with everything below it; false when missing. The hive itself cannot be deleted.
    bool DeleteKeyTree(std::string_view key) const;
    // The names of the subkeys and of the values of a key, sorted; the default value is "".
    bool SubKeys(std::string_view key, std::vector<std::string>* names) const;
    bool ValueNames(std::string_view key, std::vector<std::string>* names) const;

   private:
    bool OpenKey(std::string_view key, bool create, std::string* folder) const;

    std::string m_root;
};
