#pragma once
#include <functional>
#include <memory>
#include <string_view>

class CAppLoop;

// What start-up, the timers, the signals and the shutdown ask of the main
// window. Configuration mode with the operator GUI shows a window of its own;
// server mode, registration runs, and configuration mode without the GUI
// have CHeadlessFrame, which needs no display.
//
// Every call comes on the thread that runs Exec (the program's main thread),
// before Exec, from inside it, or after it has returned.
class IMainFrame {
   public:
    virtual ~IMainFrame() = default;

    // Creates the window, hidden. False ends start-up.
    virtual bool Create() = 0;
    // Shown in configuration mode, hidden otherwise; ShowWindow applies it.
    virtual void SetShowState(bool show) = 0;
    // Runs work to its end while a progress window with this caption is
    // shown (the start-up load in configuration mode, "Загрузка"). A window
    // that must keep drawing runs work on a thread of its own meanwhile.
    virtual void RunWithProgress(std::string_view caption, const std::function<void()>& work) = 0;
    // To the foreground, raised above every window and back.
    virtual void BringToFront() = 0;
    // The tree from the configuration as it is now: after the start-up load
    // and after every reload.
    virtual void FillTree() = 0;
    // Sized 800 x 600, shown with the show state, updated.
    virtual void ShowWindow() = 0;
    // Whether the window is shown; a hidden window closes itself when idle.
    virtual bool IsVisible() const = 0;
    // Whether clients use the server, refreshed every 500 ms while shown.
    virtual void SetClientsConnected(bool connected) = 0;

    // Runs the window's event loop until the window closes. The loop must
    // hand control to loop.RunOnce regularly (every 50 ms or so, or when
    // loop.Handle() is readable and when loop.MsUntilNextTimer() has passed):
    // the main-window timers, the signals and the close requests come
    // through it.
    virtual void Exec(CAppLoop& loop) = 0;
    // Closes the window at once, without the close flow's questions (idle
    // close in server mode, SIGTERM, SIGINT); Exec then returns.
    virtual void Close() = 0;
};

// What the program is about to run, for the factory that makes its window.
struct CFrameRequest {
    bool m_configurationMode = false;
    // The process's arguments, for a GUI library that wants them.
    int* m_argc = nullptr;
    char** m_argv = nullptr;
};

// Makes the main window for a run; null gives CHeadlessFrame.
using MainFrameFactory = std::function<std::unique_ptr<IMainFrame>(const CFrameRequest& request)>;
