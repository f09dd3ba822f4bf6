#pragma once
#include "platform/ProcessEvents.h"

#include <chrono>
#include <cstdint>
#include <vector>

// What the loop hands on, on the thread that runs it.
class IAppEvents {
   public:
    virtual ~IAppEvents() = default;
    virtual void OnTimer(uint32_t id) = 0;
    virtual void OnSignal(ProcessSignal signal) = 0;
    // Someone called CProcessEvents::Wake.
    virtual void OnWake() = 0;
};

// The main window's timers and the process's events on the thread that runs
// the window. Needs no GUI library: the window without a display blocks in
// RunOnce, a GUI's event loop calls it without waiting.
class CAppLoop {
   public:
    CAppLoop(CProcessEvents& events, IAppEvents& handler) : m_events(events), m_handler(handler) {}

    // Fires every intervalMs from now on, as a window timer does: a late
    // turn is not made up. A timer of the same id is replaced.
    void SetTimer(uint32_t id, uint32_t intervalMs);
    void KillTimer(uint32_t id);

    // Waits at most maxWaitMs (negative: until the next timer is due, or
    // until an event without timers) for a signal or a wake-up, then hands
    // on the signals, the wake-up and every timer due, in that order.
    void RunOnce(int maxWaitMs = -1);

    // Readable while a signal or a wake-up is pending.
    int Handle() const { return m_events.Handle(); }
    // Milliseconds until the next timer is due, 0 when one is due, -1 without timers.
    int MsUntilNextTimer() const;

   private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        uint32_t m_id;
        Clock::duration m_interval;
        Clock::time_point m_due;
    };

    CProcessEvents& m_events;
    IAppEvents& m_handler;
    std::vector<Timer> m_timers;
};
