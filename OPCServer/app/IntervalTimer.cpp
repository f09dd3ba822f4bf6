#include "app/IntervalTimer.h"

#include "platform/FileTime.h"

void CIntervalTimer::Set(uint32_t intervalMs, bool restart)
{
    m_interval = intervalMs;
    if (restart) {
        Restart();
    }
}

void CIntervalTimer::Restart()
{
    m_force = 0;
    m_startTime = SystemTimeNow();
}

bool CIntervalTimer::Elapsed() const
{
    if (m_force != 0) {
        return true;
    }
    const uint64_t now = SystemTimeNow();
    // A clock set back makes the start lie ahead: count that as no time passed.
    const uint64_t ms = now > m_startTime ? (now - m_startTime) / 10000u : 0;
    return ms > UINT32_MAX || ms >= m_interval;
}
