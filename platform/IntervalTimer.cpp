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
    m_startTime.store(SystemTimeNow(), std::memory_order_relaxed);
}

bool CIntervalTimer::Elapsed() const
{
    if (m_force.load(std::memory_order_relaxed) != 0) {
        return true;
    }
    const uint64_t start = StartTime();
    const uint64_t now = SystemTimeNow();
    // A clock set back makes the start lie ahead: count that as no time passed.
    const uint64_t ms = now > start ? (now - start) / 10000u : 0;
    return ms > UINT32_MAX || ms >= Interval();
}
