#pragma once
#include <atomic>
#include <cstdint>

// Interval in milliseconds measured from a start time on the monotonic clock
// (MonotonicTimeNow, 100 ns units), so that setting the system time neither
// stops nor shortens an interval. Elapsed when forced, or when the whole
// milliseconds since the start reach the interval (or no longer fit in 32
// bits).
//
// The shared timers (last exchange, client idle) are restarted by one thread
// and checked by another, so the fields are atomic; a check racing a restart
// sees either the old or the new start, never a torn one.
class CIntervalTimer {
   public:
    CIntervalTimer() = default;
    explicit CIntervalTimer(uint32_t intervalMs, bool restart = true) { Set(intervalMs, restart); }
    CIntervalTimer(const CIntervalTimer& other) { *this = other; }
    CIntervalTimer& operator=(const CIntervalTimer& other);

    void Set(uint32_t intervalMs, bool restart);
    void Restart();
    void Force() { m_force.store(1, std::memory_order_relaxed); }
    [[nodiscard]] bool Elapsed() const;

    uint32_t Interval() const { return m_interval.load(std::memory_order_relaxed); }
    uint64_t StartTime() const { return m_startTime.load(std::memory_order_relaxed); }
    // For tests and for timers that must count from a known instant
    // (MonotonicTimeNow units).
    void SetStartTime(uint64_t fileTime) { m_startTime.store(fileTime, std::memory_order_relaxed); }

   private:
    std::atomic<uint32_t> m_force{0};
    std::atomic<uint32_t> m_interval{0};
    std::atomic<uint64_t> m_startTime{0};
};
