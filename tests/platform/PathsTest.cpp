#include "platform/Paths.h"
#include "support/ScopedEnv.h"
#include "support/TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsFolder(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(Paths, ProgramPathIsThisTestExecutable)
{
    const std::string path = ProgramPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(std::filesystem::path(path).filename(), "test_platform");
    EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe"));
    EXPECT_EQ(ProgramFolder(), std::filesystem::path(path).parent_path().string());
}

TEST(Paths, ResolutionRule)
{
    EXPECT_EQ(ResolveXdgFolder("/data/x", true, "/home/u", "/var/lib", ".local/share"), "/data/x");
    EXPECT_EQ(ResolveXdgFolder("/data/x/", false, "/home/u", "/var/lib", ".local/share"), "/data/x");
    EXPECT_EQ(ResolveXdgFolder(nullptr, true, "/root", "/var/lib", ".local/share"), "/var/lib");
    EXPECT_EQ(ResolveXdgFolder(nullptr, false, "/home/u", "/var/lib", ".local/share"),
              "/home/u/.local/share");
    // Empty or relative values are not folders: ignored, as the XDG rules say.
    EXPECT_EQ(ResolveXdgFolder("", false, "/home/u", "/etc", ".config"), "/home/u/.config");
    EXPECT_EQ(ResolveXdgFolder("relative/dir", true, "/root", "/etc", ".config"), "/etc");
}

TEST(Paths, XdgDataHomeOverrideAndDataFolderCreation)
{
    CTempFolder folderOfTest;
    const std::string& temp = folderOfTest.Path();
    const std::string common = temp + "/share";  // not there yet: created on demand
    CScopedEnv env("XDG_DATA_HOME", common.c_str());
    EXPECT_EQ(CommonAppDataFolder(), common);
    const std::string expected = common + "/OPC-сервер комлекта Вирео-2 версии 300";
    EXPECT_EQ(DataFolderPath(), expected);
    EXPECT_FALSE(IsFolder(expected));

    std::string folder;
    ASSERT_TRUE(CreateDataFolder(&folder));
    EXPECT_EQ(folder, expected);
    EXPECT_TRUE(IsFolder(expected));
    ASSERT_TRUE(CreateDataFolder(&folder)) << "an existing folder is reused";

    // A file in the way is a failure, not a folder.
    const std::string blocked = temp + "/blocked";
    std::ofstream(blocked) << "a file";
    CScopedEnv blockedEnv("XDG_DATA_HOME", blocked.c_str());
    EXPECT_FALSE(CreateDataFolder(&folder));
    EXPECT_EQ(folder, blocked + "/" + kDataFolderName);
}

TEST(Paths, DefaultsWithoutXdgVariables)
{
    CScopedEnv data("XDG_DATA_HOME", nullptr);
    CScopedEnv config("XDG_CONFIG_HOME", nullptr);
    CScopedEnv home("HOME", "/home/tester");
    if (geteuid() == 0) {
        EXPECT_EQ(CommonAppDataFolder(), "/var/lib");
        EXPECT_EQ(CommonConfigFolder(), "/etc");
    } else {
        EXPECT_EQ(CommonAppDataFolder(), "/home/tester/.local/share");
        EXPECT_EQ(CommonConfigFolder(), "/home/tester/.config");
    }
}

TEST(Paths, JoinAndParent)
{
    EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
    EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
    EXPECT_EQ(JoinPath("", "b"), "b");
    EXPECT_EQ(ParentFolder("/a/b/c"), "/a/b");
    EXPECT_EQ(ParentFolder("/c"), "/");
    EXPECT_EQ(ParentFolder("c"), "");
}
