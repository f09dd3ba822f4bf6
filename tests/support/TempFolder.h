#pragma once
#include <string>

// A fresh folder below $TMPDIR (or the system's temporary folder), removed
// with everything in it when the object goes. Its path is canonical, so it
// compares equal to paths the program under test derives from it.
class CTempFolder {
   public:
    CTempFolder();
    ~CTempFolder();
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

   private:
    std::string m_path;
};
