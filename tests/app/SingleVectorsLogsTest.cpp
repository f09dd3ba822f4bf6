#include "ZellDAServer.h"
#include "app/CommEvents.h"
#include "app/SingleVectors.h"
#include "config/LevelRoot.h"
#include "config/TestChannel.h"
#include "platform/File.h"
#include "platform/MessageBox.h"
#include "support/ScopedEnv.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Content(const std::string& path)
{
    std::string text;
    EXPECT_TRUE(ReadFileText(path, &text)) << path;
    return text;
}

struct HandlerCall {
    int calls = 0;
    std::string path;
    std::string text;
};
HandlerCall g_handler;

HRESULT RecordHandlerCall(const char* logPath, const char* settings)
{
    ++g_handler.calls;
    g_handler.path = logPath;
    g_handler.text = settings;
    return S_OK;
}

// A private lock folder, so the debug log's named mutex stays inside the test.
class SingleVectorsLogs : public ::testing::Test {
   protected:
    void SetUp() override
    {
        m_sv.SetDataFolder(m_dir.Path());
        g_handler = HandlerCall{};
    }

    TestChannel* AddChannel(const char* name)
    {
        auto channel = std::make_unique<TestChannel>(kKindChannelTCP, name);
        TestChannel* raw = channel.get();
        m_sv.Root()->AddLevel(std::move(channel));
        return raw;
    }

    CTempFolder m_dir;
    CScopedEnv m_runtime{"XDG_RUNTIME_DIR", m_dir.Path()};
    CSingleVectors m_sv;
};

}  // namespace

TEST_F(SingleVectorsLogs, EventsWithoutAStatisticsLogAreNoOps)
{
    TestChannel* channel = AddChannel("Vireo-2_1");
    EXPECT_EQ(m_sv.StatisticsLog(), nullptr);
    m_sv.RecordCommEvent(kCommLinkDown, channel);
    EXPECT_FALSE(FileExists(m_sv.StatisticsPath()));
}

TEST_F(SingleVectorsLogs, EventLineNamesTheChannelByItsFullPath)
{
    TestChannel* channel = AddChannel("Vireo-2_1");
    m_sv.SetStatisticsLog(std::make_unique<CLogFile>(m_sv.StatisticsPath(), 5000, 1));
    m_sv.RecordCommEvent(kCommLinkDown, channel);
    m_sv.RecordCommEvent(5, channel);
    m_sv.RecordCommEvent(kCommNoAnswer, nullptr);
    const std::regex pattern(R"(^\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] <Каналы связи\.Vireo-2_1>: Нет связи\r\n)"
                             R"(\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] <Каналы связи\.Vireo-2_1>: Ошибка #5\r\n)"
                             R"(\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] <>: Нет ответа от устройства\r\n$)");
    const std::string text = Content(m_sv.StatisticsPath());
    EXPECT_TRUE(std::regex_match(text, pattern)) << text;
}

TEST_F(SingleVectorsLogs, ChannelsRecordingTogetherGiveWholeLines)
{
    std::vector<TestChannel*> channels = {AddChannel("A"), AddChannel("B"), AddChannel("C")};
    m_sv.SetStatisticsLog(std::make_unique<CLogFile>(m_sv.StatisticsPath(), 5000, 1));
    std::vector<std::thread> threads;
    for (TestChannel* channel : channels) {
        threads.emplace_back([&, channel] {
            for (int i = 0; i < 150; ++i) {
                m_sv.RecordCommEvent(i % 2 ? kCommLinkUp : kCommKeyMismatch, channel);
            }
        });
    }
    for (auto& t : threads) t.join();
    const std::string text = Content(m_sv.StatisticsPath());
    const std::regex line(
        R"(\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] <Каналы связи\.[ABC]>: (Есть связь|Несовпадение ключа шифрования)\r\n)");
    size_t consumed = 0;
    int count = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it) {
        ASSERT_EQ(static_cast<size_t>(it->position()), consumed);
        consumed += it->length();
        ++count;
    }
    EXPECT_EQ(consumed, text.size());
    EXPECT_EQ(count, 450);
}

TEST_F(SingleVectorsLogs, ReleaseDeletesTheStatisticsLog)
{
    TestChannel* channel = AddChannel("K");
    m_sv.SetStatisticsLog(std::make_unique<CLogFile>(m_sv.StatisticsPath(), 5000, 1));
    const std::string path = channel->FullPath();
    m_sv.Release();
    EXPECT_EQ(m_sv.StatisticsLog(), nullptr);
    m_sv.RecordCommEvent(kCommLinkUp, nullptr);
    EXPECT_FALSE(FileExists(m_sv.StatisticsPath()));
    EXPECT_EQ(path, "Каналы связи.K");
}

TEST_F(SingleVectorsLogs, DebugSettingsReachTheLogAndTheHandler)
{
    EXPECT_FALSE(m_sv.LoadDebugSettings());  // no debug log yet
    EXPECT_FALSE(FileExists(m_sv.DebugSettingsPath()));

    CDebugLog* log = m_sv.CreateDebugLog();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(m_sv.CreateDebugLog(), log);
    EXPECT_EQ(log->Path(), m_sv.DebugLogPath());
    m_sv.SetDebugSettingsHandler(&RecordHandlerCall);

    ASSERT_TRUE(m_sv.LoadDebugSettings());
    EXPECT_EQ(Content(m_sv.DebugSettingsPath()), kDefaultLogIni);
    EXPECT_EQ(g_handler.calls, 1);
    EXPECT_EQ(g_handler.path, m_sv.DebugLogPath());
    EXPECT_EQ(g_handler.text, kDefaultLogIni);

    ASSERT_TRUE(WriteFileText(m_sv.DebugSettingsPath(), "DBG_DA=2  DBG_DA_TOOL=3 FS=10"));
    ASSERT_TRUE(m_sv.LoadDebugSettings());
    EXPECT_EQ(g_handler.text, "DBG_DA=2  DBG_DA_TOOL=3 FS=10");  // unchanged
    EXPECT_TRUE(log->IsEnabled(kDebugDa, 2));
    EXPECT_TRUE(log->Trace(kDebugDa, 2, "CDACallback::AddTag OPC_E_UNKNOWNITEMID"));
    EXPECT_NE(Content(m_sv.DebugLogPath()).find("] CDACallback::AddTag OPC_E_UNKNOWNITEMID\r\n"),
              std::string::npos);

    ASSERT_TRUE(DeleteFile(m_sv.DebugSettingsPath()));
    ASSERT_TRUE(m_sv.LoadDebugSettings());
    EXPECT_EQ(Content(m_sv.DebugSettingsPath()), kDefaultLogIni);
    EXPECT_FALSE(log->IsEnabled(kDebugDa, 1));
    EXPECT_EQ(g_handler.calls, 3);
}

TEST_F(SingleVectorsLogs, BoxesWithoutAGuiAreTracedUntilTheLogGoes)
{
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    CConsoleMessageBox console(sink);
    {
        CSingleVectors sv;
        sv.SetDataFolder(m_dir.Path());
        sv.CreateDebugLog();
        EXPECT_EQ(console.Show("Файл не найден", "Ошибка", MB_OK | MB_ICONERROR), IDOK);
        const std::string text = Content(sv.DebugLogPath());
        const std::regex line(R"(^PID=\d+ TID=\d+ \[ [0-9/: .]{23} \] Ошибка: Файл не найден\r\n$)");
        EXPECT_TRUE(std::regex_match(text, line)) << text;

        // FS=0 switches this off as well.
        sv.DebugLog()->ApplySettings("FS=0");
        (void)console.Show("снова", "Внимание!", MB_OK);
        EXPECT_EQ(Content(sv.DebugLogPath()), text);
    }
    // The singleton is gone: the hook went with it, the box still works.
    ASSERT_TRUE(DeleteFile(m_sv.DebugLogPath()));
    EXPECT_EQ(console.Show("после", "Внимание!", MB_YESNO), IDYES);
    EXPECT_FALSE(FileExists(m_sv.DebugLogPath()));
    std::fclose(sink);
}

TEST_F(SingleVectorsLogs, TheToolkitGetsThePathAndTracesIntoTheSameLog)
{
    ASSERT_TRUE(WriteFileText(m_sv.DebugSettingsPath(), "DBG_DA_TOOL=1"));
    m_sv.CreateDebugLog();
    m_sv.SetDebugSettingsHandler(&SetDebugSettingsDA);
    ASSERT_TRUE(m_sv.LoadDebugSettings());
    // The toolkit traces its own settings call at DA_TOOL level 1.
    const std::string text = Content(m_sv.DebugLogPath());
    EXPECT_NE(text.find("] SetDebugSettingsDA(DBG_DA_TOOL=1)\r\n"), std::string::npos) << text;
    EXPECT_TRUE(m_sv.DebugLog()->IsEnabled(kDebugDaTool, 1));
    EXPECT_FALSE(m_sv.DebugLog()->IsEnabled(kDebugDa, 1));
    (void)SetDebugSettingsDA(m_sv.DebugLogPath().c_str(), "");  // quiet again for later tests
}
