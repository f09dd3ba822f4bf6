#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

// A small thread wrapper: the thread, a running flag and a stop request.
// The routine gets both flags; the running flag is 1 from a successful start
// until the routine has returned. The GUI runs its long operations on one
// while its own thread keeps the progress window alive.
class CThread {
   public:
    struct Flags {
        const std::atomic<uint8_t>& m_stopRequest;
        std::atomic<uint8_t>& m_running;
    };
    using Routine = std::function<void(Flags flags)>;

    CThread() = default;
    // Stops with waiting.
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Stops a previous thread first (waiting for it), clears the stop
    // request and starts the routine. False when the thread could not be
    // created; running is then 0.
    bool Start(Routine routine);
    // Sets the stop request and waits for the thread to end; nothing when
    // there is no thread. Running is 0 afterwards.
    void Stop();

    bool Running() const { return m_running.load() != 0; }
    bool StopRequested() const { return m_stopRequest.load() != 0; }

   private:
    std::thread m_thread;
    std::atomic<uint8_t> m_running{0};
    std::atomic<uint8_t> m_stopRequest{0};
};
