#include "platform/File.h"
#include "support/TempFolder.h"

#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <utility>

namespace {

std::string Content(const std::string& path)
{
    std::string text;
    EXPECT_TRUE(ReadFileText(path, &text)) << path;
    return text;
}

size_t OpenDescriptors()
{
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

}  // namespace

TEST(File, OpenModesTreatPresentAndMissingFilesAsNamed)
{
    CTempFolder dir;
    const std::string path = dir.File("a.txt");
    CFile file;

    errno = 0;
    EXPECT_FALSE(file.Open(path, FileAccess::ReadWrite, FileMode::OpenExisting));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(FileExists(path));

    ASSERT_TRUE(file.Open(path, FileAccess::ReadWrite, FileMode::OpenAlways));
    ASSERT_TRUE(file.Write("hello", 5));
    file.Close();
    EXPECT_EQ(Content(path), "hello");

    // OpenAlways keeps the content, CreateNew refuses, CreateAlways truncates.
    ASSERT_TRUE(file.Open(path, FileAccess::ReadWrite, FileMode::OpenAlways));
    uint64_t size = 0;
    ASSERT_TRUE(file.Size(&size));
    EXPECT_EQ(size, 5u);
    errno = 0;
    EXPECT_FALSE(file.Open(path, FileAccess::ReadWrite, FileMode::CreateNew));
    EXPECT_EQ(errno, EEXIST);
    ASSERT_TRUE(file.Open(path, FileAccess::ReadWrite, FileMode::CreateAlways));
    ASSERT_TRUE(file.Size(&size));
    EXPECT_EQ(size, 0u);

    // Read access cannot truncate and cannot write.
    EXPECT_FALSE(file.Open(path, FileAccess::Read, FileMode::CreateAlways));
    ASSERT_TRUE(file.Open(path, FileAccess::Read, FileMode::OpenExisting));
    EXPECT_FALSE(file.Write("x", 1));
}

TEST(File, AppendGoesToTheEndAfterOtherWriters)
{
    CTempFolder dir;
    const std::string path = dir.File("log.txt");
    CFile first;
    CFile second;
    ASSERT_TRUE(first.Open(path, FileAccess::ReadWrite, FileMode::OpenAlways));
    ASSERT_TRUE(second.Open(path, FileAccess::ReadWrite, FileMode::OpenAlways));
    ASSERT_TRUE(first.Append("one\n", 4));
    // second's position is still 0; Append must not overwrite "one".
    ASSERT_TRUE(second.Append("two\n", 4));
    ASSERT_TRUE(first.Append("three\n", 6));
    EXPECT_EQ(Content(path), "one\ntwo\nthree\n");

    ASSERT_TRUE(AppendFileText(path, "four\n"));
    EXPECT_EQ(Content(path), "one\ntwo\nthree\nfour\n");
    ASSERT_TRUE(AppendFileText(dir.File("new.txt"), "made"));
    EXPECT_EQ(Content(dir.File("new.txt")), "made");
}

TEST(File, ReadSeekAndTruncate)
{
    CTempFolder dir;
    const std::string path = dir.File("r.bin");
    ASSERT_TRUE(WriteFileText(path, "0123456789"));
    CFile file;
    ASSERT_TRUE(file.Open(path, FileAccess::ReadWrite, FileMode::OpenExisting));
    ASSERT_TRUE(file.Seek(7));
    char buffer[8] = {};
    size_t got = 0;
    ASSERT_TRUE(file.Read(buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "789");
    ASSERT_TRUE(file.Read(buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 0u);
    ASSERT_TRUE(file.Truncate(4));
    file.Close();
    EXPECT_EQ(Content(path), "0123");

    std::string head;
    ASSERT_TRUE(ReadFileText(path, &head, 3));
    EXPECT_EQ(head, "012");
    EXPECT_FALSE(ReadFileText(dir.File("missing"), &head));
    EXPECT_EQ(head, "012");  // untouched on failure
}

TEST(File, SizeDeleteAndRenameByPath)
{
    CTempFolder dir;
    const std::string a = dir.File("a");
    const std::string b = dir.File("b");
    uint64_t size = 1;
    EXPECT_FALSE(GetFileSize(a, &size));
    errno = 0;
    EXPECT_FALSE(DeleteFile(a));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(RenameFile(a, b));

    ASSERT_TRUE(WriteFileText(a, "aaa"));
    ASSERT_TRUE(WriteFileText(b, "bbbbb"));
    ASSERT_TRUE(GetFileSize(b, &size));
    EXPECT_EQ(size, 5u);
    // Rename replaces the target, as the log rotation needs.
    ASSERT_TRUE(RenameFile(a, b));
    EXPECT_FALSE(FileExists(a));
    EXPECT_EQ(Content(b), "aaa");
    ASSERT_TRUE(DeleteFile(b));
    EXPECT_FALSE(FileExists(b));
    // A folder is not a file.
    EXPECT_FALSE(FileExists(dir.Path()));
}

TEST(File, OpenFileOutlivesDeleteAndRename)
{
    // A viewer holding the log open must not stop rotation.
    CTempFolder dir;
    const std::string path = dir.File("held");
    CFile viewer;
    ASSERT_TRUE(viewer.Open(path, FileAccess::ReadWrite, FileMode::OpenAlways));
    ASSERT_TRUE(viewer.Write("x", 1));
    ASSERT_TRUE(RenameFile(path, path + "_reserv"));
    ASSERT_TRUE(AppendFileText(path, "fresh"));
    EXPECT_EQ(Content(path), "fresh");
    EXPECT_EQ(Content(path + "_reserv"), "x");
    ASSERT_TRUE(DeleteFile(path + "_reserv"));
    ASSERT_TRUE(viewer.Append("y", 1));  // still writable after unlink
}

TEST(File, DescriptorIsClosedByDestructorAndMoves)
{
    CTempFolder dir;
    const size_t before = OpenDescriptors();
    {
        CFile file;
        ASSERT_TRUE(file.Open(dir.File("f"), FileAccess::ReadWrite, FileMode::OpenAlways));
        EXPECT_EQ(OpenDescriptors(), before + 1);
        CFile moved(std::move(file));
        EXPECT_FALSE(file.IsOpen());
        EXPECT_TRUE(moved.IsOpen());
        CFile assigned;
        ASSERT_TRUE(assigned.Open(dir.File("g"), FileAccess::ReadWrite, FileMode::OpenAlways));
        assigned = std::move(moved);  // closes g's descriptor
        EXPECT_EQ(OpenDescriptors(), before + 1);
        EXPECT_TRUE(assigned.Write("z", 1));
    }
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(Content(dir.File("f")), "z");
}

TEST(File, ClosedFileRefusesEverything)
{
    CFile file;
    uint64_t size = 0;
    char c = 0;
    size_t got = 0;
    EXPECT_FALSE(file.Size(&size));
    EXPECT_FALSE(file.Seek(0));
    EXPECT_FALSE(file.Write("a", 1));
    EXPECT_FALSE(file.Append("a", 1));
    EXPECT_FALSE(file.Read(&c, 1, &got));
    EXPECT_FALSE(file.Truncate(0));
    file.Close();  // harmless twice
    EXPECT_FALSE(file.IsOpen());
}

TEST(File, CreateFoldersMakesParentsAndAcceptsExisting)
{
    CTempFolder dir;
    const std::string deep = dir.File("x/y/z");
    ASSERT_TRUE(CreateFolders(deep));
    EXPECT_TRUE(std::filesystem::is_directory(deep));
    EXPECT_TRUE(CreateFolders(deep));
    EXPECT_TRUE(CreateFolders(deep + "/"));
    ASSERT_TRUE(WriteFileText(dir.File("plain"), ""));
    errno = 0;
    EXPECT_FALSE(CreateFolders(dir.File("plain")));
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_FALSE(CreateFolders(dir.File("plain/below")));
    EXPECT_FALSE(CreateFolders(""));
}
