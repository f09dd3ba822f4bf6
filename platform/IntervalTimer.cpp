#include "platform/IntervalTimer.h"

#include "platform/FileTime.h"

CIntervalTimer& CIntervalTimer::operator=(const CIntervalTimer& other)
{
    m_force.store(other.m_force.load(std::memory_order_relaxed), std::memory_order_relaxed);
    m_interval.store(other.Interval(), std::memory_order_relaxed);
    m_startTime.store(other.StartTime(), std::memory_order_relaxed);
    return *this;
}

void CIntervalTimer::Set(uint32_t intervalMs, bool restart)
{
    m_interval.store(intervalMs, std::memory_order_relaxed);
    if (restart) {
        Restart();
    }
}

void CIntervalTimer::Restart()
{
    m_force.store(0, std::memory_order_relaxed);
    m_startTime.store(MonotonicTimeNow(), std::memory_order_relaxed);
}

bool CIntervalTimer::Elapsed() const
{
    if (m_force.load(std::memory_order_relaxed) != 0) {
        return true;
    }
    // The monotonic clock never goes back, so the difference is the time
    // passed even for a start given from before the clock's own start.
    const uint64_t ms = (MonotonicTimeNow() - StartTime()) / 10000u;
    return ms > UINT32_MAX || ms >= Interval();
}
