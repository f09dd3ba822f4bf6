#include "app/SingleVectors.h"

#include "app/CommEvents.h"
#include "config/LevelRoot.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"

namespace {

// The process instance: made on first use and, outside tests, never deleted.
CSingleVectors* g_instance = nullptr;

constexpr int kFrameTraceLevel = 1;

}  // namespace

// Communication events go to the statistics log, frame traces to the debug
// log's COMMON category at level 1.
class CSingleVectors::ExchangeEvents final : public IExchangeEvents {
   public:
    explicit ExchangeEvents(CSingleVectors& app) : m_app(app) {}

    void RecordCommEvent(uint32_t code, const CLevelChannel& channel) override
    {
        m_app.RecordCommEvent(code, &channel);
    }
    bool TracesFrames() override
    {
        const CDebugLog* log = m_app.DebugLog();
        return log != nullptr && log->IsEnabled(kDebugCommon, kFrameTraceLevel);
    }
    void TraceFrame(const std::string& line) override
    {
        if (CDebugLog* log = m_app.DebugLog()) {
            (void)log->Trace(kDebugCommon, kFrameTraceLevel, "%s", line.c_str());
        }
    }

   private:
    CSingleVectors& m_app;
};

CSingleVectors& CSingleVectors::Instance()
{
    if (g_instance == nullptr) {
        g_instance = new CSingleVectors();
    }
    return *g_instance;
}

void CSingleVectors::ResetInstance()
{
    delete g_instance;
    g_instance = nullptr;
}

CSingleVectors::CSingleVectors() : CSingleVectors(ProgramFolder()) {}

CSingleVectors::CSingleVectors(const std::string& libraryFolder)
{
    // First: its lock is the item lock, which whatever is made below may be handed.
    m_daCallback = std::make_unique<CDACallback>(CDACallbackContext{
        m_configurationLock, [this] { return m_root.get(); }, [this] { return m_debugLog.get(); }});
    LoadCipherLibrary(libraryFolder);
    m_exchangeEvents = std::make_unique<ExchangeEvents>(*this);
    m_exchangeServices = std::make_unique<CExchangeServices>(CExchangeServices{
        ItemLock(), m_lastExchangeTimer, *m_exchangeEvents, m_encryptPacket, m_decryptPacket});
    m_clientIdleTimer = std::make_unique<CIntervalTimer>(kClientIdleIntervalMs);
    m_root = std::make_unique<CLevelRoot>();
    m_root->UseServices(*m_exchangeServices);
}

CSingleVectors::~CSingleVectors()
{
    if (m_debugLog) {
        SetMessageBoxLog(nullptr);  // the hook points at the log that dies with us
    }
    Release();
}

void CSingleVectors::LoadCipherLibrary(const std::string& folder)
{
    // Without the library, or with an entry missing, frames travel plain;
    // that is not worth a message. Without a folder the loader would search
    // the system's library path, where no cipher of ours belongs.
    if (folder.empty() ||
        !m_cipherLibrary.Load(JoinPath(folder, SharedLibraryFileName(kCipherLibraryName)))) {
        return;
    }
    m_encryptPacket = m_cipherLibrary.Entry<EncryptPacketFunction>("_encryptPacket");
    m_decryptPacket = m_cipherLibrary.Entry<DecryptPacketFunction>("_decryptPacket");
}

void CSingleVectors::Release()
{
    m_running.store(0);
    StopChannels();
    {
        CCriticalSectionLock lock(m_statisticsLock);
        m_statisticsLog.reset();
    }
    std::unique_ptr<CLevelRoot> root;
    {
        CCriticalSectionLock lock(m_configurationLock);
        root = std::move(m_root);
    }
    root.reset();
    // Every channel thread has ended with the tree: nobody calls the cipher now.
    m_encryptPacket = nullptr;
    m_decryptPacket = nullptr;
    m_exchangeServices->m_encrypt = nullptr;
    m_exchangeServices->m_decrypt = nullptr;
    m_cipherLibrary.Unload();
}

void CSingleVectors::SetDataFolder(const std::string& folder)
{
    m_dataFolder = folder;
    m_statisticsPath = folder + "/OpcVireo2.txt";
    m_configurationPath = folder + "/OpcVireo2.cfg";
    m_debugLogPath = folder + "/OpcVireo2_dbg.log";
    m_debugSettingsPath = folder + "/log.ini";
}

void CSingleVectors::SetRoot(std::unique_ptr<CLevelRoot> root)
{
    if (root) {
        root->UseServices(*m_exchangeServices);
    }
    {
        CCriticalSectionLock lock(m_configurationLock);
        m_root.swap(root);
    }
    // root now holds the old tree; it dies here, with no lock held, because
    // its channels may still wait for their threads.
}

bool CSingleVectors::StartChannels(CLevelChannel::ThreadRoutine routine)
{
    return m_root ? m_root->StartAll(routine) : false;
}

size_t CSingleVectors::StopChannels()
{
    return m_root ? m_root->StopAll() : 0;
}

void CSingleVectors::SetStatisticsLog(std::unique_ptr<CLogFile> log)
{
    CCriticalSectionLock lock(m_statisticsLock);
    m_statisticsLog = std::move(log);
}

void CSingleVectors::RecordCommEvent(uint32_t code, const CLevelElementBase* channel)
{
    // The path is formed before the statistics lock: nothing else is taken
    // while it is held, and the log pointer is checked under it.
    const std::string path = channel != nullptr ? channel->FullPath() : std::string();
    CCriticalSectionLock lock(m_statisticsLock);
    (void)RecordCommEventTo(m_statisticsLog.get(), m_statisticsLock, code, path);
}

CDebugLog* CSingleVectors::CreateDebugLog()
{
    if (!m_debugLog) {
        m_debugLog = std::make_unique<CDebugLog>();
    }
    m_debugLog->Create(m_debugLogPath);
    // Boxes shown without a GUI are traced too, at level 0 so they pass
    // whenever the log writes at all.
    CDebugLog* log = m_debugLog.get();
    SetMessageBoxLog([log](const std::string& line) { log->Trace(kDebugCommon, 0, "%s", line.c_str()); });
    return log;
}

bool CSingleVectors::LoadDebugSettings()
{
    if (!m_debugLog) {
        return false;
    }
    std::string text;
    if (!ReloadDebugSettings(*m_debugLog, m_debugSettingsPath, &text)) {
        return false;
    }
    if (DebugSettingsHandler handler = m_debugSettingsHandler.load()) {
        (void)handler(m_debugLogPath.c_str(), text.c_str());
    }
    return true;
}
