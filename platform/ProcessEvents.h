#pragma once
// What steers a running program from outside and from its other threads: the
// signals SIGTERM, SIGINT and SIGHUP, and wake-up requests. The signals are
// blocked in the calling thread (and so in every thread it starts afterwards)
// and read from a descriptor, so no handler ever runs in a signal context.
// SIGPIPE is ignored: a peer that goes away is an error of the write, not the
// end of the process.

#include <cstdint>

enum class ProcessSignal : uint8_t {
    Terminate,  // SIGTERM
    Interrupt,  // SIGINT
    Reload,     // SIGHUP
};

class CProcessEvents {
   public:
    CProcessEvents() = default;
    ~CProcessEvents();
    CProcessEvents(const CProcessEvents&) = delete;
    CProcessEvents& operator=(const CProcessEvents&) = delete;

    // Blocks the three signals and opens the descriptors. Call it before any
    // other thread starts; false (errno set) when a descriptor cannot be made.
    [[nodiscard]] bool Open();
    // Closes the descriptors. The signals stay blocked: one that comes during
    // the shutdown that follows is not allowed to cut it short.
    void Close();
    bool IsOpen() const { return m_signals >= 0; }

    // Any thread: the next Wait returns with woken set.
    void Wake();

    struct Pending {
        bool woken = false;
        // Bit (1 << ProcessSignal) for each kind that arrived.
        uint32_t signals = 0;
        bool Has(ProcessSignal s) const { return (signals & (1u << static_cast<unsigned>(s))) != 0; }
    };
    // Waits at most timeoutMs (0: only looks; negative: until something
    // comes) and takes everything pending.
    Pending Wait(int timeoutMs);

    // Readable while something is pending, for an event loop of another
    // library that watches descriptors (Wait(0) then takes it).
    int Handle() const { return m_poll; }

   private:
    int m_signals = -1;
    int m_wake = -1;
    int m_poll = -1;  // watches both
};
