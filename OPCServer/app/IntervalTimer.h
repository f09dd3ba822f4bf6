#pragma once
#include <cstdint>

// Interval in milliseconds measured from a start time in FILETIME units.
// Elapsed when forced, or when the whole milliseconds since the start reach
// the interval (or no longer fit in 32 bits).
class CIntervalTimer {
public:
    CIntervalTimer() = default;
    explicit CIntervalTimer(uint32_t intervalMs, bool restart = true) { Set(intervalMs, restart); }

    void Set(uint32_t intervalMs, bool restart);
    void Restart();
    void Force() { m_force = 1; }
    [[nodiscard]] bool Elapsed() const;

    uint32_t Interval() const { return m_interval; }
    uint64_t StartTime() const { return m_startTime; }
    // For tests and for timers that must count from a known instant.
    void SetStartTime(uint64_t fileTime) { m_startTime = fileTime; }

private:
    uint32_t m_force = 0;
    uint32_t m_interval = 0;
    uint64_t m_startTime = 0;
};
