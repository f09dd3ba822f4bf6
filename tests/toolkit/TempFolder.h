#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>

// A fresh folder below the system's temporary folder, removed with its content.
class CTempFolder {
   public:
    CTempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "zellda-test-XXXXXX").string();
        if (char* made = mkdtemp(pattern.data())) m_path = made;
    }
    ~CTempFolder()
    {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;
    const std::string& Path() const { return m_path; }

   private:
    std::string m_path;
};
