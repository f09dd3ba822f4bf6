#pragma once
// A fresh application singleton per test with its data folder, statistics
// log and debug log in a folder of the test's own, every message box
// recorded and answered by script, and helpers to drive the real widgets.
#include "ZellDAClient.h"
#include "app/SingleVectors.h"
#include "config/ChannelForm.h"
#include "config/LevelRoot.h"
#include "gui/MainFrame.h"
#include "support/RecordingMessageBox.h"
#include "support/ScopedEnv.h"
#include "support/TempFolder.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

class QWidget;

// Receives what the program opens with the desktop's default application.
class CDesktopRecorder : public QObject {
    Q_OBJECT
   public:
    std::vector<QString> m_opened;
   public Q_SLOTS:
    void Open(const QUrl& url) { m_opened.push_back(url.toLocalFile()); }
};

// Forms of the three kinds with the fields that tell channels apart; the
// rest at the dialog's defaults.
CChannelForm Serial(const char* name, int64_t port);
CChannelForm Tcp(const char* name, uint32_t address, int64_t port = 502);
CChannelForm Udp(const char* name, uint32_t address, int64_t localPort, int64_t remotePort = 5001);

class GuiTest : public ::testing::Test {
   protected:
    static constexpr int kWaitMs = 5000;

    void SetUp() override;
    void TearDown() override;

    CSingleVectors& App() { return CSingleVectors::Instance(); }
    CLevelRoot& Root() { return *App().Root(); }

    // A channel under the root as a file leaves it before start-up builds
    // it: not initialised, no items, no thread.
    CLevelChannel& PutChannel(const CChannelForm& form);
    // A running channel: added as the main window adds one.
    CLevelChannel& StartChannel(const CChannelForm& form);

    // The main window, filled from the configuration and shown.
    CMainFrame& Frame();
    // Selects the channel at index in the tree (-1: the top item).
    void Select(int index);

    // Runs act on the next modal window of type T (it opens inside a call
    // the test makes after this). A window that does not open within 5 s,
    // or is still open 5 s after act, fails the test and is rejected.
    template <class T>
    void WhenModal(std::function<void(T&)> act);

    // Replaces a field's text as the operator types it.
    static void Type(QWidget* field, const QString& text);
    // Clicks a dialog's OK or Cancel button.
    static void Click(QWidget* dialog, bool ok);

    // An OPC client through the toolkit's in-process front; the window
    // then hears from the toolkit, as the program's 500 ms timer tells it.
    void ConnectClient();
    void DisconnectClient();

    CTempFolder m_folder;
    CScopedEnv m_runtime{"XDG_RUNTIME_DIR", m_folder.Path()};
    CRecordingMessageBox m_boxes;
    std::unique_ptr<CMainFrame> m_frame;
    CDAClient m_client;
    bool m_serverStarted = false;
    QObject m_timers;  // parent of the pending WhenModal timers

   private:
    void Watch(QWidget* window);
};

template <class T>
void GuiTest::WhenModal(std::function<void(T&)> act)
{
    auto* timer = new QTimer(&m_timers);
    const QDeadlineTimer deadline(kWaitMs);
    QObject::connect(timer, &QTimer::timeout, timer, [this, timer, deadline, act] {
        if (T* window = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            Watch(window);
            act(*window);
        } else if (deadline.hasExpired()) {
            timer->stop();
            ADD_FAILURE() << "the expected modal window did not open";
        }
    });
    timer->start(5);
}
