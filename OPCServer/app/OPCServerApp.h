#pragma once
#include "app/AppLoop.h"
#include "app/CommandLine.h"
#include "app/MainFrame.h"
#include "app/ServerMonitor.h"
#include "platform/NamedMutex.h"
#include "platform/ProcessEvents.h"
#include "platform/Socket.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

class CSingleVectors;

// Exit statuses of the program.
inline constexpr int kExitDone = 0;            // an orderly run, registration runs included
inline constexpr int kExitStartFailed = 1;     // start-up failed; one line on stderr says why
inline constexpr int kExitUsage = 2;           // the arguments cannot be used
inline constexpr int kExitAlreadyRunning = 3;  // another configuration-mode instance runs (silent)

inline constexpr char kStartConfigurationText[] = "Запуск в режиме конфигурирования";
inline constexpr char kStartServerText[] = "Запуск в основном режиме";
inline constexpr char kStopText[] = "Завершение работы OPC-сервера";
inline constexpr char kLoadingCaption[] = "Загрузка";

// The program: the start-up and shutdown sequences, the command line, the
// registration runs, the main-window timers, the server monitor, and the
// signals (SIGTERM and SIGINT close the main window and so end the program
// in order; SIGHUP reloads the configuration file).
//
// The main window comes from the frame factory; without one (or when it
// gives none) the window is CHeadlessFrame, so server mode needs no display.
class COPCServerApp : private IAppEvents {
   public:
    static constexpr uint32_t kIdleCloseTimer = 40960;
    static constexpr uint32_t kIdleCloseMs = 5000;
    static constexpr uint32_t kClientUseTimer = 40961;
    static constexpr uint32_t kClientUseMs = 500;

    COPCServerApp(int argc, char** argv);
    ~COPCServerApp() override;
    COPCServerApp(const COPCServerApp&) = delete;
    COPCServerApp& operator=(const COPCServerApp&) = delete;

    void SetFrameFactory(MainFrameFactory factory) { m_factory = std::move(factory); }

    // The whole run: the options, start-up, the main window's loop until it
    // closes, shutdown. Answers the exit status.
    int Run();

    // Any thread: the main window closes as on SIGTERM.
    void RequestClose();

    const CAppOptions& Options() const { return m_options; }
    bool ConfigurationMode() const { return m_configurationMode; }
    // Null before start-up has made it.
    IMainFrame* Frame() { return m_frame.get(); }

   private:
    bool InitInstance();
    void ExitInstance();

    // Step 4: the data folder, made and writable.
    bool PrepareDataFolder(CSingleVectors& app);
    // A registration run's one call; always ends the run.
    void RunRegistration(RunAction action);
    // False when another instance holds the configuration-mode mutex.
    bool TakeConfigurationMutex();
    bool CreateFrame();
    void LoadAtStart(CSingleVectors& app);
    bool StartServing(CSingleVectors& app);
    // The OPC UA endpoint on the socket a service manager handed over, else on
    // --listen, else on opcua.ini's address. An address
    // that cannot be bound ends start-up in server mode; in configuration
    // mode it is a warning (the operator edits while a server holds the port).
    bool StartEndpoint(CSingleVectors& app);
    // SIGHUP: the configuration file again, as after a save.
    void Reload();
    void WaitAfterLastExchange(CSingleVectors& app);

    // One line on stderr, the failure status; answers false for start-up.
    bool Fail(const std::string& reason);
    void Trace(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void PrintHelp(std::FILE* out) const;

    void OnTimer(uint32_t id) override;
    void OnSignal(ProcessSignal signal) override;
    void OnWake() override;
    void CloseFrame();

    using Clock = std::chrono::steady_clock;

    int m_argc;
    char** m_argv;
    const Clock::time_point m_created = Clock::now();
    CAppOptions m_options;
    // Listening sockets from a service manager, until the endpoint takes them.
    std::vector<SocketHandle> m_serviceSockets;
    RunAction m_action = RunAction::Server;
    MainFrameFactory m_factory;
    CProcessEvents m_events;
    CAppLoop m_loop{m_events, *this};
    std::unique_ptr<IMainFrame> m_frame;
    CServerMonitor m_monitor;
    CNamedMutex m_configurationMutex;
    bool m_configurationMode = false;
    // The configuration was loaded: channels may have exchanged since.
    bool m_loaded = false;
    bool m_closing = false;
    std::atomic<bool> m_closeRequested{false};
    int m_status = kExitDone;
};
