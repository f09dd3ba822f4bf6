#include "app/DebugLog.h"
#include "platform/File.h"
#include "support/ChildProcess.h"
#include "support/ScopedEnv.h"
#include "support/TempFolder.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kWriterThreads = 4;
constexpr int kLinesPerThread = 1000;
const std::string kPadding(160, 'x');  // long lines make a torn write likelier to show
constexpr const char* kChildEnv = "VIREO_DEBUGLOG_CHILD";

std::string Content(const std::string& path)
{
    std::string text;
    EXPECT_TRUE(ReadFileText(path, &text)) << path;
    return text;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));  // a tail without its line end
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// Writes kWriterThreads x kLinesPerThread lines tagged with the process tag.
int WriteFromThreads(CDebugLog& log, int processTag)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kWriterThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLinesPerThread; ++i) {
                if (!log.Trace(kDebugCommon, 1, "P%d T%d L%05d %s", processTag, t, i, kPadding.c_str())) {
                    ++failures;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    return failures.load();
}

// The second writer process: this test program started again with the log's
// path in the environment. It waits for a byte on stdin, so that both
// processes start writing together, then writes and exits before any test.
class ChildWriter : public ::testing::Environment {
   public:
    void SetUp() override
    {
        const char* path = std::getenv(kChildEnv);
        if (path == nullptr) {
            return;
        }
        CDebugLog log(path);
        log.ApplySettings("DBG_COMMON=1");
        pollfd p{0, POLLIN, 0};
        char go = 0;
        if (poll(&p, 1, 20000) != 1 || read(0, &go, 1) != 1) {
            std::_Exit(90);
        }
        std::_Exit(WriteFromThreads(log, 1) == 0 ? 0 : 91);
    }
};
[[maybe_unused]] const auto* const kChildWriter = ::testing::AddGlobalTestEnvironment(new ChildWriter);

class DebugLogTest : public ::testing::Test {
   protected:
    CTempFolder m_dir;
    CScopedEnv m_runtime{"XDG_RUNTIME_DIR", m_dir.Path()};
    std::string m_path = m_dir.File("OpcVireo2_dbg.log");
};

int64_t LocalMs(int day, int month, int year, int hour, int minute, int second, int ms)
{
    std::tm tm{};
    tm.tm_mday = day;
    tm.tm_mon = month - 1;
    tm.tm_year = year - 1900;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tm)) * 1000 + ms;
}

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

TEST_F(DebugLogTest, LineHasThePrefixOfThisThreadAndNow)
{
    CDebugLog log(m_path);
    log.ApplySettings("DBG_DA=1");
    const int64_t before = NowMs();
    ASSERT_TRUE(log.Trace(kDebugDa, 1, "CDACallback::AddTag(%d)", 42));
    const int64_t after = NowMs();

    const std::string text = Content(m_path);
    const std::regex pattern(
        R"(^PID=(\d+) TID=(-?\d+) \[ (\d\d)/(\d\d)/(\d{4}) (\d\d):(\d\d):(\d\d)\.(\d{3}) \] CDACallback::AddTag\(42\)\r\n$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, pattern)) << text;
    EXPECT_EQ(std::stoul(m[1]), static_cast<unsigned long>(getpid()));
    EXPECT_EQ(std::stol(m[2]), static_cast<long>(gettid()));
    const int64_t stamp = LocalMs(std::stoi(m[3]), std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[6]),
                                  std::stoi(m[7]), std::stoi(m[8]), std::stoi(m[9]));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);

    // Another thread has its own id in the prefix.
    long otherTid = 0;
    std::thread([&] {
        otherTid = gettid();
        EXPECT_TRUE(log.Trace(kDebugDa, 0, "from %s", "elsewhere"));
    }).join();
    const auto lines = Lines(Content(m_path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find(" TID=" + std::to_string(otherTid) + " ["), std::string::npos) << lines[1];
    EXPECT_TRUE(lines[1].ends_with("] from elsewhere")) << lines[1];
}

TEST_F(DebugLogTest, LevelsPerCategory)
{
    CDebugLog log(m_path);
    log.ApplySettings("DBG_DA=1");
    EXPECT_TRUE(log.Trace(kDebugDa, 1, "entry"));
    EXPECT_FALSE(log.Trace(kDebugDa, 2, "CDACallback::AddTag OPC_E_BADTYPE"));
    log.ApplySettings("DBG_DA=2");
    EXPECT_TRUE(log.Trace(kDebugDa, 1, "entry2"));
    EXPECT_TRUE(log.Trace(kDebugDa, 2, "refusal"));
    EXPECT_FALSE(log.Trace(kDebugDa, 3, "deeper"));

    log.ApplySettings("DBG_COMMON=0");
    EXPECT_FALSE(log.Trace(kDebugCommon, 1, "Write<%u>%s", 8u, ": 01 03"));
    log.ApplySettings("DBG_COMMON=1");
    EXPECT_TRUE(log.Trace(kDebugCommon, 1, "Read<%u>%s", 5u, ": 01 03 00"));

    // DA_TOOL's level is its own.
    log.ApplySettings("DBG_DA_TOOL=3");
    EXPECT_FALSE(log.IsEnabled(kDebugDa, 1));
    EXPECT_TRUE(log.IsEnabled(kDebugDaTool, 3));
    EXPECT_FALSE(log.IsEnabled(kDebugDaTool, 4));
    EXPECT_FALSE(log.IsEnabled(kDebugHdaTool, 1));
    EXPECT_FALSE(log.IsEnabled(kDebugCommon, 1));  // settings are replaced, not merged
    log.ApplySettings("DBG_HDA=2 DBG_HDA_TOOL=1");
    EXPECT_TRUE(log.IsEnabled(kDebugHda, 2));
    EXPECT_TRUE(log.IsEnabled(kDebugHdaTool, 1));
    EXPECT_FALSE(log.IsEnabled(kDebugHdaTool, 2));

    const auto lines = Lines(Content(m_path));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[0].ends_with("] entry"));
    EXPECT_TRUE(lines[1].ends_with("] entry2"));
    EXPECT_TRUE(lines[2].ends_with("] refusal"));
    EXPECT_TRUE(lines[3].ends_with("] Read<5>: 01 03 00"));
}

TEST_F(DebugLogTest, CategoriesOutsideOneToFiveAreNeverWritten)
{
    CDebugLog log(m_path);
    log.ApplySettings("DBG_COMMON=255 DBG_DA=255 DBG_HDA=255 DBG_DA_TOOL=255 DBG_HDA_TOOL=255");
    for (int category : {0, 6, -1, 255, 1 << 30}) {
        EXPECT_FALSE(log.IsEnabled(category, 0)) << category;
        EXPECT_FALSE(log.Trace(category, 0, "never")) << category;
    }
    EXPECT_FALSE(FileExists(m_path));
    // Level 0 lines pass a category at level 0.
    log.ApplySettings("");
    EXPECT_TRUE(log.Trace(kDebugHda, 0, "zero"));
    EXPECT_FALSE(log.Trace(kDebugHda, 1, "one"));
}

TEST_F(DebugLogTest, NullFormatAsksWithoutWriting)
{
    CDebugLog log(m_path);
    log.ApplySettings("DBG_COMMON=1");
    EXPECT_TRUE(log.Trace(kDebugCommon, 1, nullptr));
    EXPECT_FALSE(log.Trace(kDebugCommon, 2, nullptr));
    EXPECT_FALSE(log.Trace(kDebugDa, 1, nullptr));
    EXPECT_FALSE(FileExists(m_path));
}

TEST_F(DebugLogTest, SizeLimitZeroWritesNothing)
{
    CDebugLog log(m_path);
    log.ApplySettings("DBG_COMMON=9 DBG_DA=9 DBG_HDA=9 DBG_DA_TOOL=9 DBG_HDA_TOOL=9 FS=0");
    for (int category = 1; category <= 5; ++category) {
        EXPECT_FALSE(log.Trace(category, 1, "off"));
    }
    EXPECT_FALSE(FileExists(m_path));
    ASSERT_TRUE(WriteFileText(m_path, "old"));
    EXPECT_FALSE(log.Trace(kDebugDa, 1, "off"));
    EXPECT_EQ(Content(m_path), "old");
}

TEST_F(DebugLogTest, RotatesToTheReserveFileOverTheLimit)
{
    CDebugLog log(m_path);
    log.ApplySettings("DBG_DA=1 FS=1");
    ASSERT_TRUE(log.Trace(kDebugDa, 1, "line-1"));
    uint64_t lineSize = 0;
    ASSERT_TRUE(GetFileSize(m_path, &lineSize));
    // One FS unit = two lines (every line has the same length).
    log.SetSizeUnitForTesting(2 * lineSize);
    ASSERT_TRUE(log.Trace(kDebugDa, 1, "line-2"));
    ASSERT_TRUE(log.Trace(kDebugDa, 1, "line-3"));  // size == limit before: stays
    EXPECT_FALSE(FileExists(m_path + "_reserv"));
    ASSERT_TRUE(log.Trace(kDebugDa, 1, "line-4"));  // size > limit before: rotates

    auto reserve = Lines(Content(m_path + "_reserv"));
    auto current = Lines(Content(m_path));
    ASSERT_EQ(reserve.size(), 3u);
    EXPECT_TRUE(reserve[2].ends_with("] line-3"));
    ASSERT_EQ(current.size(), 1u);
    EXPECT_TRUE(current[0].ends_with("] line-4"));

    // The next rotation replaces the older reserve file.
    for (int i = 5; i <= 7; ++i) {
        ASSERT_TRUE(log.Trace(kDebugDa, 1, "line-%d", i));
    }
    reserve = Lines(Content(m_path + "_reserv"));
    current = Lines(Content(m_path));
    ASSERT_EQ(reserve.size(), 3u);
    EXPECT_TRUE(reserve[0].ends_with("] line-4"));
    ASSERT_EQ(current.size(), 1u);
    EXPECT_TRUE(current[0].ends_with("] line-7"));
}

TEST_F(DebugLogTest, LargeSizeLimitsDoNotWrap)
{
    // 4096 MB is 2^32 bytes: a 32-bit product would make the limit 0 and
    // rotate at every line.
    CDebugLog log(m_path);
    log.ApplySettings("DBG_DA=1 FS=4096");
    ASSERT_TRUE(log.Trace(kDebugDa, 1, "a"));
    ASSERT_TRUE(log.Trace(kDebugDa, 1, "b"));
    EXPECT_FALSE(FileExists(m_path + "_reserv"));
    EXPECT_EQ(Lines(Content(m_path)).size(), 2u);
}

TEST_F(DebugLogTest, PathIsSetOnceAndTeardownStopsWriting)
{
    CDebugLog unset;
    unset.ApplySettings("DBG_DA=1");
    EXPECT_FALSE(unset.Trace(kDebugDa, 1, "no path"));

    CDebugLog log(m_path);
    log.Create(m_dir.File("second.log"));
    EXPECT_EQ(log.Path(), m_path);
    log.ApplySettings("DBG_DA=1");
    ASSERT_TRUE(log.Trace(kDebugDa, 1, "before"));
    EXPECT_FALSE(FileExists(m_dir.File("second.log")));
    log.Teardown();
    EXPECT_FALSE(log.Trace(kDebugDa, 1, "after"));
    EXPECT_EQ(Lines(Content(m_path)).size(), 1u);
}

TEST_F(DebugLogTest, UnopenableLogLosesTheLineQuietly)
{
    CDebugLog log(m_dir.File("no/folder/x.log"));
    log.ApplySettings("DBG_DA=1");
    EXPECT_FALSE(log.Trace(kDebugDa, 1, "lost"));
}

TEST_F(DebugLogTest, LongMessagesAreWrittenWhole)
{
    CDebugLog log(m_path);
    log.ApplySettings("DBG_COMMON=1");
    const std::string big(20000, 'h');
    ASSERT_TRUE(log.Trace(kDebugCommon, 1, "Write<%u>%s", 20000u, big.c_str()));
    const auto lines = Lines(Content(m_path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with("] Write<20000>" + big));
}

TEST_F(DebugLogTest, ReloadCreatesRecreatesAndKeepsSettingsOnFailure)
{
    CDebugLog log(m_path);
    const std::string ini = m_dir.File("log.ini");
    std::string applied;
    ASSERT_TRUE(ReloadDebugSettings(log, ini, &applied));
    EXPECT_EQ(applied, kDefaultLogIni);
    EXPECT_EQ(Content(ini), kDefaultLogIni);
    EXPECT_EQ(log.SettingsText(), kDefaultLogIni);

    ASSERT_TRUE(WriteFileText(ini, "DBG_DA=2 DBG_COMMON=1 FS=7"));
    ASSERT_TRUE(ReloadDebugSettings(log, ini, &applied));
    EXPECT_EQ(applied, "DBG_DA=2 DBG_COMMON=1 FS=7");
    EXPECT_TRUE(log.IsEnabled(kDebugDa, 2));
    EXPECT_EQ(log.Settings().sizeLimitMb, 7u);

    // Deleted while running: the next reading brings back the default line
    // and every level falls back to 0.
    ASSERT_TRUE(DeleteFile(ini));
    ASSERT_TRUE(ReloadDebugSettings(log, ini, &applied));
    EXPECT_EQ(Content(ini), kDefaultLogIni);
    EXPECT_FALSE(log.IsEnabled(kDebugDa, 1));
    EXPECT_FALSE(log.IsEnabled(kDebugCommon, 1));
    EXPECT_EQ(log.Settings().sizeLimitMb, 1024u);

    // Unreachable: the settings in force stay.
    ASSERT_TRUE(WriteFileText(ini, "DBG_HDA=3"));
    ASSERT_TRUE(ReloadDebugSettings(log, ini, nullptr));
    applied = "kept";
    EXPECT_FALSE(ReloadDebugSettings(log, m_dir.File("gone/log.ini"), &applied));
    EXPECT_EQ(applied, "kept");
    EXPECT_TRUE(log.IsEnabled(kDebugHda, 3));
    EXPECT_EQ(log.SettingsText(), "DBG_HDA=3");
}

TEST_F(DebugLogTest, SettingsChangeWhileThreadsTrace)
{
    CDebugLog log(m_path);
    log.ApplySettings("DBG_COMMON=1");
    std::atomic<bool> stop{false};
    std::thread switcher([&] {
        for (int i = 0; !stop; ++i) {
            log.ApplySettings(i % 2 ? "DBG_COMMON=1" : "DBG_COMMON=0");
        }
    });
    std::vector<std::thread> writers;
    std::atomic<int> written{0};
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                if (log.Trace(kDebugCommon, 1, "w%d", i)) ++written;
            }
        });
    }
    for (auto& w : writers) w.join();
    stop = true;
    switcher.join();
    // A writer that saw level 0 everywhere never created the file.
    std::string text;
    EXPECT_EQ(ReadFileText(m_path, &text), written.load() > 0) << written.load();
    EXPECT_EQ(Lines(text).size(), static_cast<size_t>(written.load()));
}

TEST_F(DebugLogTest, TwoProcessesWithThreadsWriteOnlyWholeLines)
{
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string filter =
        "--gtest_filter=" + std::string(testing::UnitTest::GetInstance()->current_test_suite()->name()) +
        "." + testing::UnitTest::GetInstance()->current_test_info()->name();
    // Its test banner goes nowhere; stdin is the starting signal.
    CChildProcess child;
    ASSERT_TRUE(child.Start({self, filter},
                            CChildProcess::kStdin | CChildProcess::kStderr | CChildProcess::kQuiet,
                            {std::string(kChildEnv) + "=" + m_path}));
    const pid_t childPid = child.Pid();

    CDebugLog log(m_path);
    log.ApplySettings("DBG_COMMON=1");
    ASSERT_TRUE(child.WriteStdin("g"));
    child.CloseStdin();
    EXPECT_EQ(WriteFromThreads(log, 0), 0);

    const ChildResult result = child.Wait(std::chrono::seconds(120));
    ASSERT_FALSE(result.timedOut) << "the child writer did not finish";
    ASSERT_TRUE(result.exited) << result.err;
    ASSERT_EQ(result.exitCode, 0) << result.err;

    const std::string text = Content(m_path);
    ASSERT_TRUE(text.ends_with("\r\n"));
    const std::regex pattern(
        R"(^PID=(\d+) TID=\d+ \[ \d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} \] P(\d) T(\d) L(\d{5}) (x+)$)");
    std::map<std::pair<int, int>, int> next;  // (process, thread) -> next line number
    const std::string pids[2] = {std::to_string(getpid()), std::to_string(childPid)};
    size_t count = 0;
    for (const std::string& line : Lines(text)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, pattern)) << "line " << count << ": " << line;
        const int process = std::stoi(m[2]);
        const int thread = std::stoi(m[3]);
        ASSERT_EQ(m[1].str(), pids[process]) << line;
        ASSERT_EQ(m[5].length(), static_cast<long>(kPadding.size())) << line;
        int& expected = next[{process, thread}];
        ASSERT_EQ(std::stoi(m[4]), expected) << "lost or reordered at line " << count;
        ++expected;
        ++count;
    }
    EXPECT_EQ(count, 2u * kWriterThreads * kLinesPerThread);
    EXPECT_EQ(next.size(), 2u * kWriterThreads);
}
