#include "app/ServerMonitor.h"

#include "app/SingleVectors.h"
#include "platform/CrashSignals.h"
#include "platform/IntervalTimer.h"

#include <chrono>

void CServerMonitor::Start(CSingleVectors& app, InUse inUse)
{
    Stop();
    m_stop = false;
    m_thread = std::thread([this, &app, inUse = std::move(inUse)] { Run(app, inUse); });
}

void CServerMonitor::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CServerMonitor::Run(CSingleVectors& app, const InUse& inUse)
{
    (void)PrepareCrashStackForThread();
    CIntervalTimer settings(kDebugSettingsMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop && app.Running() == 1) {
        lock.unlock();
        if (inUse()) {
            if (CIntervalTimer* idle = app.ClientIdleTimer()) {
                idle->Restart();
            }
        }
        if (settings.Elapsed()) {
            (void)app.LoadDebugSettings();
            settings.Restart();
        }
        lock.lock();
        m_wake.wait_for(lock, std::chrono::milliseconds(kTurnMs), [this] { return m_stop; });
    }
}
