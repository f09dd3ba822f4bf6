#include "polling/PollingThread.h"

#include "config/LevelChannel.h"
#include "platform/IntervalTimer.h"

#include <chrono>
#include <thread>

int ChannelPollingThread(CLevelChannel* channel)
{
    if (channel == nullptr) {
        return 1;
    }
    CIntervalTimer timer(channel->Settings().m_pollPeriod, true);
    timer.Force();
    while (channel->RunFlag() != 0) {
        {
            CCriticalSectionLock cycle(channel->CycleLock());
            if (timer.Elapsed()) {
                // The period runs from the start of one poll to the start of the next.
                timer.Restart();
                (void)channel->Exchange().Poll();
            }
        }
        if (channel->Exchange().NothingInUse()) {
            // Idle: the next turn comes when a client takes an item, or at the latest after a while.
            channel->Exchange().WaitForUse(kIdleTurnMs);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollingTurnMs));
        }
    }
    return 0;
}
