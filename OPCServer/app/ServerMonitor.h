#pragma once
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class CSingleVectors;

// The server monitor thread: while the singleton runs, every 250 ms it notes
// whether the toolkit has clients (restarting the client idle timer, which
// the idle-close check reads), and every 10 s it reads log.ini again.
class CServerMonitor {
   public:
    static constexpr int kTurnMs = 250;
    static constexpr uint32_t kDebugSettingsMs = 10000;

    using InUse = std::function<bool()>;

    CServerMonitor() = default;
    ~CServerMonitor() { Stop(); }
    CServerMonitor(const CServerMonitor&) = delete;
    CServerMonitor& operator=(const CServerMonitor&) = delete;

    void Start(CSingleVectors& app, InUse inUse);
    // Ends the thread (its turn is cut short) and waits for it.
    void Stop();
    bool Started() const { return m_thread.joinable(); }

   private:
    void Run(CSingleVectors& app, const InUse& inUse);

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
};
