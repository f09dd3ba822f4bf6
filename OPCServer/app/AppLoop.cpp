#include "app/AppLoop.h"

#include <algorithm>

void CAppLoop::SetTimer(uint32_t id, uint32_t intervalMs)
{
    KillTimer(id);
    const Clock::duration interval = std::chrono::milliseconds(intervalMs);
    m_timers.push_back({id, interval, Clock::now() + interval});
}

void CAppLoop::KillTimer(uint32_t id)
{
    std::erase_if(m_timers, [id](const Timer& timer) { return timer.m_id == id; });
}

int CAppLoop::MsUntilNextTimer() const
{
    if (m_timers.empty()) {
        return -1;
    }
    const auto next = std::min_element(m_timers.begin(), m_timers.end(), [](const Timer& a, const Timer& b) {
                          return a.m_due < b.m_due;
                      })->m_due;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
}

void CAppLoop::RunOnce(int maxWaitMs)
{
    int wait = MsUntilNextTimer();
    if (maxWaitMs >= 0 && (wait < 0 || maxWaitMs < wait)) {
        wait = maxWaitMs;
    }
    const CProcessEvents::Pending pending = m_events.Wait(wait);
    for (ProcessSignal signal : {ProcessSignal::Terminate, ProcessSignal::Interrupt, ProcessSignal::Reload}) {
        if (pending.Has(signal)) {
            m_handler.OnSignal(signal);
        }
    }
    if (pending.woken) {
        m_handler.OnWake();
    }
    // A handler may set or kill timers: collect the due ones first.
    const Clock::time_point now = Clock::now();
    std::vector<uint32_t> due;
    for (Timer& timer : m_timers) {
        if (timer.m_due <= now) {
            due.push_back(timer.m_id);
            timer.m_due = now + timer.m_interval;
        }
    }
    for (uint32_t id : due) {
        m_handler.OnTimer(id);
    }
}
