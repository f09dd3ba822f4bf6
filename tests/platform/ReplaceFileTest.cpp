#include "platform/File.h"
#include "platform/ReplaceFile.h"
#include "support/TempFolder.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

TEST(ReplaceFile, KeepsTheOldModeFollowsALinkAndLeavesNoTemporary)
{
    CTempFolder folder;
    const std::string target = folder.File("target");
    const std::string link = folder.File("link");
    ASSERT_TRUE(WriteFileText(target, "old"));
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(target, link);

    const ReplaceOutcome outcome = ReplaceFileContent(link, "new", 3);
    EXPECT_TRUE(outcome.replaced);
    EXPECT_EQ(outcome.error, 0);
    std::string text;
    ASSERT_TRUE(ReadFileText(target, &text));
    EXPECT_EQ(text, "new");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.Path()), {}), 2);
}
