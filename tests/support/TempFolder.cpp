#include "support/TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

CTempFolder::CTempFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "vireo-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = std::filesystem::canonical(pattern).string();
}

CTempFolder::~CTempFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}
