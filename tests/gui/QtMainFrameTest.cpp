// The Qt window behind the program's main-window interface: its event loop
// hands the program's loop its turns, pauses them while a dialog is open,
// and ends when the window closes; and the program itself in configuration
// mode, with and without a display.
#include "app/AppLoop.h"
#include "app/OPCServerApp.h"
#include "gui/DlgStats.h"
#include "gui/GuiFixture.h"
#include "gui/QtMainFrame.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "support/ChildProcess.h"
#include "support/WaitFor.h"

#include <QTest>
#include <chrono>
#include <csignal>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;

// Counts the loop's timer turns and runs a step at a given turn.
class CTurns : public IAppEvents {
   public:
    void OnTimer(uint32_t) override
    {
        ++m_turns;
        if (m_at.count(m_turns) != 0) {
            m_at[m_turns]();
        }
    }
    void OnSignal(ProcessSignal) override {}
    void OnWake() override {}

    int m_turns = 0;
    std::map<int, std::function<void()>> m_at;
};

class QtMainFrameTest : public GuiTest {
   protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        int argc = 0;
        m_frame = std::make_unique<CQtMainFrame>(CFrameRequest{true, &argc, nullptr});
        ASSERT_TRUE(m_frame->Create());
        m_frame->SetShowState(true);
        m_frame->FillTree();
        m_frame->ShowWindow();
        m_loop.SetTimer(1, 10);
    }
    void TearDown() override
    {
        m_frame.reset();
        GuiTest::TearDown();
    }

    CProcessEvents m_events;
    CTurns m_turns;
    CAppLoop m_loop{m_events, m_turns};
    std::unique_ptr<CQtMainFrame> m_frame;
};

TEST_F(QtMainFrameTest, ExecGivesTheProgramItsTurnsUntilItClosesTheWindow)
{
    EXPECT_TRUE(m_frame->IsVisible());
    EXPECT_EQ(m_frame->Window()->size(), QSize(800, 600));
    m_turns.m_at[3] = [this] { m_frame->Close(); };
    m_frame->Exec(m_loop);
    EXPECT_EQ(m_turns.m_turns, 3);
    EXPECT_FALSE(m_frame->IsVisible());
}

TEST_F(QtMainFrameTest, TurnsWaitWhileADialogIsOpenAndClosingTheWindowEndsExec)
{
    int turnsWhileOpen = -1;
    WhenModal<CDlgStats>([&](CDlgStats& dialog) {
        const int before = m_turns.m_turns;
        QTest::qWait(200);
        turnsWhileOpen = m_turns.m_turns - before;
        Click(&dialog, false);
    });
    m_turns.m_at[2] = [this] { m_frame->Window()->Action(CMainFrame::kStatisticsSettings)->trigger(); };
    // The operator closes the window: nothing changed, so no question.
    m_turns.m_at[4] = [this] { m_frame->Window()->close(); };
    m_frame->Exec(m_loop);
    EXPECT_EQ(turnsWhileOpen, 0);
    EXPECT_EQ(m_turns.m_turns, 4);
    EXPECT_TRUE(m_boxes.Boxes().empty());
}

TEST_F(QtMainFrameTest, WithoutADisplayThereIsNoWindow)
{
    CScopedEnv display("DISPLAY", nullptr);
    CScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    CScopedEnv platform("QT_QPA_PLATFORM", nullptr);
    int argc = 0;
    EXPECT_EQ(CreateQtMainFrame(CFrameRequest{true, &argc, nullptr}), nullptr);
}

// The program in configuration mode, started as the operator starts it.
class ConfigurationModeTest : public ::testing::Test {
   protected:
    std::vector<std::string> Environment() const
    {
        return {"XDG_DATA_HOME=" + m_data.Path(), "XDG_CONFIG_HOME=" + m_config.Path(),
                "XDG_RUNTIME_DIR=" + m_runtime.Path()};
    }
    std::string Statistics() const
    {
        std::string text;
        (void)ReadFileText(JoinPath(JoinPath(m_data.Path(), kDataFolderName), "OpcVireo2.txt"), &text);
        return text;
    }
    // Starts /cfg, waits for its start line, ends it with SIGTERM.
    ChildResult RunUntilTerm()
    {
        const char* bin = std::getenv("VIREO_TEST_BIN");
        CChildProcess child;
        EXPECT_NE(bin, nullptr);
        if (bin == nullptr ||
            !child.Start({std::string(bin) + "/OpcVireo2", "/cfg", "--listen", "127.0.0.1:0"},
                         CChildProcess::kStdout | CChildProcess::kStderr, Environment())) {
            return {};
        }
        EXPECT_TRUE(
            WaitFor([&] { return Statistics().find(kStartConfigurationText) != std::string::npos; }, 20s));
        child.Signal(SIGTERM);
        return child.Wait(20s);
    }

    CTempFolder m_data;
    CTempFolder m_config;
    CTempFolder m_runtime;
};

TEST_F(ConfigurationModeTest, TheWindowRunsAndTermEndsTheProgramInOrder)
{
    const ChildResult r = RunUntilTerm();  // offscreen, as this test program runs
    EXPECT_EQ(r.Status(), kExitDone) << r.err;
    EXPECT_NE(Statistics().find(kStopText), std::string::npos);
}

TEST_F(ConfigurationModeTest, WithoutADisplayItSaysSoAndRunsWithoutAWindow)
{
    CScopedEnv display("DISPLAY", nullptr);
    CScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    CScopedEnv platform("QT_QPA_PLATFORM", nullptr);
    const ChildResult r = RunUntilTerm();
    EXPECT_EQ(r.Status(), kExitDone) << r.err;
    EXPECT_NE(r.err.find("no display"), std::string::npos) << r.err;
    EXPECT_NE(Statistics().find(kStopText), std::string::npos);
}

}  // namespace
