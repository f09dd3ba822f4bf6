#include "app/SingleVectors.h"

#include "config/LevelRoot.h"

namespace {

// The process instance: made on first use and, outside tests, never deleted.
CSingleVectors* g_instance = nullptr;

}  // namespace

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

CSingleVectors::CSingleVectors()
{
    m_clientIdleTimer = std::make_unique<CIntervalTimer>(kClientIdleIntervalMs);
    m_root = std::make_unique<CLevelRoot>();
}

CSingleVectors::~CSingleVectors()
{
    Release();
}

void CSingleVectors::Release()
{
    m_running.store(0);
    StopChannels();
    std::unique_ptr<CLevelRoot> root;
    {
        CCriticalSectionLock lock(m_configurationLock);
        root = std::move(m_root);
    }
    root.reset();
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
