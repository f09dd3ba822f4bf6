#pragma once
#include "app/MainFrame.h"
#include "gui/QtMessageBox.h"
#include "platform/MessageBox.h"

#include <QObject>
#include <QUrl>
#include <memory>
#include <optional>

class CMainFrame;
class QApplication;

// Opens local files and folders for QDesktopServices with the platform's
// opener, which starts it with the signals the program blocks unblocked.
class CDesktopOpener : public QObject {
    Q_OBJECT
   public Q_SLOTS:
    void Open(const QUrl& url);
};

// The operator's window behind the program's main-window interface, for
// configuration mode: the QApplication (made here unless one exists), the
// Qt message box and the main window. Exec runs Qt's event loop and hands
// the program's loop a turn every 50 ms, except while a long operation or
// a modal window is open: a reload then would pull the configuration from
// under the dialog that edits it, so signals wait until it has closed.
class CQtMainFrame : public IMainFrame {
   public:
    static constexpr int kPumpMs = 50;

    explicit CQtMainFrame(const CFrameRequest& request);
    ~CQtMainFrame() override;

    bool Create() override;
    void SetShowState(bool show) override { m_showState = show; }
    void RunWithProgress(std::string_view caption, const std::function<void()>& work) override;
    void BringToFront() override;
    void FillTree() override;
    void ShowWindow() override;
    bool IsVisible() const override;
    void SetClientsConnected(bool connected) override;
    void Exec(CAppLoop& loop) override;
    void Close() override;

    CMainFrame* Window() const { return m_window.get(); }

   private:
    // When made here: first, because the box's timer needs the application's
    // event loop when it starts, and it goes last.
    std::unique_ptr<QApplication> m_application;
    CQtMessageBox m_box;
    std::optional<CScopedMessageBox> m_boxScope;
    CDesktopOpener m_opener;
    std::unique_ptr<CMainFrame> m_window;
    bool m_showState = false;
    bool m_closed = false;
};

// The factory's answer in configuration mode: a Qt window when a display
// can be had (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM set), else null
// with a line on stderr, and the program runs without a window.
std::unique_ptr<IMainFrame> CreateQtMainFrame(const CFrameRequest& request);
