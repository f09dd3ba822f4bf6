#include "app/OPCServerApp.h"

#include "app/HeadlessFrame.h"
#include "app/ServerIdentity.h"
#include "app/SingleVectors.h"
#include "app/Version.h"
#include "config/ChannelForm.h"
#include "config/ConfigurationFile.h"
#include "config/LevelRoot.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "platform/ServiceSockets.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <thread>

namespace {

long long MsBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

std::string VersionText()
{
    const VS_FIXEDFILEINFO& v = ProgramVersion();
    return std::to_string(v.dwFileVersionMS >> 16) + "." + std::to_string(v.dwFileVersionMS & 0xFFFF) + "." +
           std::to_string(v.dwFileVersionLS >> 16) + "." + std::to_string(v.dwFileVersionLS & 0xFFFF);
}

}  // namespace

COPCServerApp::COPCServerApp(int argc, char** argv) : m_argc(argc), m_argv(argv) {}

COPCServerApp::~COPCServerApp() = default;

int COPCServerApp::Run()
{
    m_options = ParseAppOptions(m_argc, m_argv);
    if (!m_options.m_error.empty()) {
        std::fprintf(stderr, "%s: %s (see %s --help)\n", kProgramName, m_options.m_error.c_str(),
                     kProgramName);
        return kExitUsage;
    }
    if (m_options.m_help) {
        PrintHelp(stdout);
        return kExitDone;
    }
    if (m_options.m_version) {
        std::printf("%s %s\n", kProgramName, VersionText().c_str());
        return kExitDone;
    }
    // Before any thread starts: the variables go out of the environment, and
    // every thread inherits the blocked signals.
    m_serviceSockets = TakeServiceSockets();
    if (!m_events.Open()) {
        Fail(std::string("cannot watch the signals: ") + std::strerror(errno));
        return m_status;
    }
    if (InitInstance()) {
        m_frame->Exec(m_loop);
    }
    ExitInstance();
    return m_status;
}

void COPCServerApp::RequestClose()
{
    m_closeRequested.store(true);
    m_events.Wake();
}

bool COPCServerApp::InitInstance()
{
    // The singleton loads the cipher library when it is there. Sockets need
    // no start on this system; SIGPIPE is ignored with the signals.
    CSingleVectors& app = CSingleVectors::Instance();
    if (!PrepareDataFolder(app)) {
        return false;
    }
    app.CreateDebugLog();
    app.SetDebugSettingsHandler(&SetDebugSettingsDA);
    (void)app.LoadDebugSettings();
    app.RestartLastExchangeTimer();

    app.SetStartMode(StartModeOf(m_options.m_commandLine));
    m_action = RunActionOf(m_options.m_commandLine);
    // The mutex comes before the window: a second instance must end before a
    // GUI library looks for a display.
    if (m_action == RunAction::Configuration && !TakeConfigurationMutex()) {
        return false;
    }
    if (!CreateFrame()) {
        return false;
    }
    if (m_action == RunAction::Register || m_action == RunAction::Unregister) {
        RunRegistration(m_action);
        return false;
    }
    if (m_action == RunAction::Configuration) {
        m_configurationMode = true;
        m_frame->SetShowState(true);
    }

    // The DA callback was made with the singleton (its lock is the item lock).
    app.SetStatisticsLog(
        std::make_unique<CLogFile>(app.StatisticsPath(), CLevelRoot::kDefaultStatisticsSizeLimit, 1));
    if (CLogFile* log = app.StatisticsLog()) {
        (void)log->WriteLine(m_configurationMode ? kStartConfigurationText : kStartServerText);
    }
    LoadAtStart(app);

    m_frame->FillTree();
    m_frame->ShowWindow();
    m_loop.SetTimer(kIdleCloseTimer, kIdleCloseMs);
    m_loop.SetTimer(kClientUseTimer, kClientUseMs);
    return StartServing(app);
}

bool COPCServerApp::PrepareDataFolder(CSingleVectors& app)
{
    std::string folder;
    if (!CreateDataFolder(&folder)) {
        return Fail("cannot create the data folder " + folder + ": " + std::strerror(errno));
    }
    if (!CanWriteInFolder(folder)) {
        return Fail("cannot write in the data folder " + folder + ": " + std::strerror(errno));
    }
    app.SetDataFolder(folder);
    return true;
}

void COPCServerApp::RunRegistration(RunAction action)
{
    const std::string registry = CRegistry::DefaultRootFolder();
    if (action == RunAction::Unregister) {
        // Nothing registered (S_FALSE) is no failure.
        if (FAILED(UnregisterDAServer(kServerClsid, kServerProgId))) {
            Fail("cannot remove the registration from " + registry);
        }
        return;
    }
    const std::string path = ProgramPath();
    if (path.empty()) {
        Fail(std::string("cannot read the program's path: ") + std::strerror(errno));
        return;
    }
    if (FAILED(RegisterDAServer(kServerClsid, kServerProgId, kServerProgId, path.c_str(),
                                CDACallback::kVendorText))) {
        Fail("cannot write the registration into " + registry);
    }
}

bool COPCServerApp::TakeConfigurationMutex()
{
    if (m_configurationMutex.Open(kServerClsidText)) {
        switch (m_configurationMutex.Lock(0)) {
            case MutexWait::Acquired:
                return true;
            case MutexWait::TimedOut:
                // Another configuration instance: end at once, without a word.
                m_status = kExitAlreadyRunning;
                return false;
            case MutexWait::Failed:
                break;
        }
    }
    return Fail("cannot take the configuration-mode lock " + m_configurationMutex.LockFilePath() + ": " +
                std::strerror(errno));
}

bool COPCServerApp::CreateFrame()
{
    CFrameRequest request;
    request.m_configurationMode = m_action == RunAction::Configuration;
    request.m_argc = &m_argc;
    request.m_argv = m_argv;
    if (m_factory) {
        m_frame = m_factory(request);
    }
    if (!m_frame) {
        m_frame = std::make_unique<CHeadlessFrame>();
    }
    if (!m_frame->Create()) {
        return Fail("the main window cannot be created");
    }
    m_frame->SetShowState(false);
    return true;
}

void COPCServerApp::LoadAtStart(CSingleVectors& app)
{
    const Clock::time_point start = Clock::now();
    const auto load = [&app] { (void)LoadConfiguration(app, app.ConfigurationPath()); };
    if (app.StartMode() == kStartModeConfiguration) {
        m_frame->RunWithProgress(kLoadingCaption, load);
        m_frame->BringToFront();
    } else {
        load();
    }
    m_loaded = true;
    ApplyStatisticsSettings(app);
    const CLevelRoot* root = app.Root();
    Trace("Start-up: configuration loaded in %lld ms: %zu channels, %zu items",
          MsBetween(start, Clock::now()), root != nullptr ? root->ChannelCount() : size_t{0},
          root != nullptr ? root->CountTags() : size_t{0});
}

bool COPCServerApp::StartServing(CSingleVectors& app)
{
    (void)SetCallbackObject(&app.DACallback());
    if (!StartDAServer(nullptr, &kServerClsid)) {
        return Fail("the DA server cannot start");
    }
    if (!StartEndpoint(app)) {
        return false;
    }
    m_monitor.Start(app, [] { return DAServerInUse(); });
    Trace("Start-up: serving %lld ms after the start", MsBetween(m_created, Clock::now()));
    return true;
}

bool COPCServerApp::StartEndpoint(CSingleVectors& app)
{
    char address[256] = "";
    (void)ReadUaListenSetting(app.DataFolder().c_str(),
                              m_options.m_listen.empty() ? nullptr : m_options.m_listen.c_str(), address,
                              sizeof address);
    const std::string version = VersionText();
    UaEndpointOptions options{};
    options.listen = address;
    options.listenSocket = -1;
    // Started on demand: the service manager's socket stands for the address.
    if (!m_serviceSockets.empty()) {
        options.listenSocket = m_serviceSockets.front();
        for (size_t i = 1; i < m_serviceSockets.size(); ++i) CloseSocketHandle(m_serviceSockets[i]);
        m_serviceSockets.clear();
    }
    options.applicationName = kProgramName;
    options.softwareVersion = version.c_str();
    char error[512] = "";
    if (SUCCEEDED(StartUaEndpoint(&options, error, sizeof error))) {
        Trace("OPC UA endpoint: %s, port %u",
              options.listenSocket >= 0 ? "socket of the service manager" : address,
              static_cast<unsigned>(UaEndpointPort()));
        return true;
    }
    if (m_configurationMode) {
        (void)ShowMessageBox(error, kWarningCaption, MB_OK | MB_ICONEXCLAMATION);
        return true;
    }
    return Fail(error);
}

void COPCServerApp::Reload()
{
    CSingleVectors& app = CSingleVectors::Instance();
    const Clock::time_point start = Clock::now();
    // Stops every channel, withdraws and rebuilds the item space, starts
    // the channels of the file; a file that cannot be loaded changes nothing.
    const int code = LoadConfiguration(app, app.ConfigurationPath());
    ApplyStatisticsSettings(app);
    m_frame->FillTree();
    Trace("SIGHUP: configuration reloaded in %lld ms (load code %d)", MsBetween(start, Clock::now()), code);
}

void COPCServerApp::ExitInstance()
{
    CSingleVectors& app = CSingleVectors::Instance();
    const Clock::time_point start = Clock::now();
    app.ClearRunning();
    m_monitor.Stop();
    const Clock::time_point monitorStopped = Clock::now();
    (void)StopDAServer();
    const Clock::time_point serverStopped = Clock::now();
    (void)app.StopChannels();
    const Clock::time_point channelsStopped = Clock::now();
    // Runs that never loaded a configuration never talked to a device: the
    // wait would protect nothing (a second configuration instance ends at once).
    if (m_loaded) {
        WaitAfterLastExchange(app);
    }
    const Clock::time_point waited = Clock::now();
    if (CLogFile* log = app.StatisticsLog()) {
        (void)log->WriteLine(kStopText);
    }
    app.Release();
    const Clock::time_point released = Clock::now();
    Trace(
        "Shutdown: monitor %lld ms, StopDAServer %lld ms, channels %lld ms, wait after the last exchange "
        "%lld "
        "ms, release %lld ms",
        MsBetween(start, monitorStopped), MsBetween(monitorStopped, serverStopped),
        MsBetween(serverStopped, channelsStopped), MsBetween(channelsStopped, waited),
        MsBetween(waited, released));
}

void COPCServerApp::WaitAfterLastExchange(CSingleVectors& app)
{
    // The timer counts in system time; the steady deadline keeps a clock
    // that jumps back from stretching the wait.
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(CSingleVectors::kLastExchangeIntervalMs + 100);
    CCriticalSectionLock lock(app.ConfigurationLock());
    while (!app.LastExchangeTimer().Elapsed() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool COPCServerApp::Fail(const std::string& reason)
{
    std::fprintf(stderr, "%s: %s\n", kProgramName, reason.c_str());
    m_status = kExitStartFailed;
    Trace("Start-up failed: %s", reason.c_str());
    return false;
}

void COPCServerApp::Trace(const char* format, ...) const
{
    CDebugLog* log = CSingleVectors::Instance().DebugLog();
    if (log == nullptr || !log->IsEnabled(kDebugCommon, 1)) {
        return;
    }
    va_list args;
    va_start(args, format);
    (void)log->TraceV(kDebugCommon, 1, format, args);
    va_end(args);
}

void COPCServerApp::OnTimer(uint32_t id)
{
    CSingleVectors& app = CSingleVectors::Instance();
    if (id == kIdleCloseTimer) {
        // A shown window never closes by itself.
        const CIntervalTimer* idle = app.ClientIdleTimer();
        if (!m_frame->IsVisible() && !DAServerInUse() && idle != nullptr && idle->Elapsed()) {
            Trace("No client for %u ms: closing", CSingleVectors::kClientIdleIntervalMs);
            CloseFrame();
        }
    } else if (id == kClientUseTimer) {
        if (m_frame->IsVisible()) {
            m_frame->SetClientsConnected(DAServerInUse());
        }
    }
}

void COPCServerApp::OnSignal(ProcessSignal signal)
{
    if (m_closing) {
        return;
    }
    if (signal == ProcessSignal::Reload) {
        Reload();
        return;
    }
    Trace("%s: closing", signal == ProcessSignal::Terminate ? "SIGTERM" : "SIGINT");
    CloseFrame();
}

void COPCServerApp::OnWake()
{
    if (m_closeRequested.load() && !m_closing) {
        CloseFrame();
    }
}

void COPCServerApp::CloseFrame()
{
    m_closing = true;
    m_frame->Close();
}

void COPCServerApp::PrintHelp(std::FILE* out) const
{
    const std::string data = DataFolderPath();
    std::fprintf(out,
                 "usage: %s [/cfg | /regserver | /unregserver] [--listen ADDRESS:PORT]\n"
                 "       %s --help | --version\n"
                 "\n"
                 "The OPC server of the Vireo-2 kit. Arguments that do not begin with \"--\" form the\n"
                 "command line, split at \"/\"; case does not matter. The first token that holds\n"
                 "  unregserver   removes the server's registration and ends\n"
                 "  regserver     registers the server (CLSID %s, ProgID %s) and ends\n"
                 "  cfg           configuration mode: the operator's window; one instance at a time,\n"
                 "                a second one ends at once; it never closes by itself\n"
                 "Without any of them: server mode, without a window; it ends when no client has\n"
                 "used it for 5 s (checked every 5 s).\n"
                 "\n"
                 "Options:\n"
                 "  --listen ADDRESS:PORT  where the OPC UA endpoint listens (before \"listen=\" in\n"
                 "                         opcua.ini; default 127.0.0.1:4840). Started by systemd\n"
                 "                         with LISTEN_FDS/LISTEN_PID, it takes the socket handed over\n"
                 "                         instead\n"
                 "  --help                 this text\n"
                 "  --version              the program's version\n"
                 "\n"
                 "Files, in the data folder %s\n"
                 "  OpcVireo2.cfg      the configuration (edit it with vireo-config; SIGHUP reloads it)\n"
                 "  OpcVireo2.txt      the communication statistics\n"
                 "  OpcVireo2_dbg.log  the debug log, switched by log.ini (read again every 10 s)\n"
                 "  opcua.ini          the OPC UA endpoint's settings\n"
                 "The registration is kept in %s.\n"
                 "\n"
                 "Signals: SIGTERM and SIGINT end the program in order; SIGHUP reloads the\n"
                 "configuration file (every channel is stopped, rebuilt and started again).\n"
                 "\n"
                 "Exit status: 0 an orderly end (registration runs too); 1 start-up failed (one line\n"
                 "on stderr says why); 2 unusable arguments; 3 another configuration-mode instance\n"
                 "runs.\n",
                 kProgramName, kProgramName, kServerClsidText, kServerProgId, data.c_str(),
                 CRegistry::DefaultRootFolder().c_str());
}
