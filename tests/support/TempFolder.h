#pragma once
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

// A fresh folder below $TMPDIR (or the system's temporary folder), removed
// with everything in it when the object goes.
class CTempFolder {
   public:
    CTempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "vireo-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
    }
    ~CTempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

   private:
    std::string m_path;
};
