#include "polling/DeviceExchange.h"

#include "config/LevelChannel.h"
#include "opcda/DATag.h"

#include <chrono>

CDeviceExchange::CDeviceExchange() = default;
CDeviceExchange::~CDeviceExchange() = default;

void CDeviceExchange::AddItem(CDATag* item)
{
    if (item != nullptr) {
        m_items.push_back(item);
        item->SetExchange(this);
        m_sortedValid = false;
        // Taken before it was collected: the next poll must look.
        if (item->InUse()) {
            NoteItemTaken(item);
        }
    }
}

void CDeviceExchange::ClearItems()
{
    m_inUse.Clear(m_items);
    m_items.clear();
    m_items.shrink_to_fit();
    m_sortedItems.clear();
    m_sortedItems.shrink_to_fit();
    m_sortedValid = false;
    m_writePasswordItem = nullptr;
}

void CDeviceExchange::NoteItemTaken(CDATag* item)
{
    m_inUse.Taken(item, this);
    Wake();
}

void CDeviceExchange::Wake()
{
    {
        // Taken and left so that a waiter between its check and its sleep
        // cannot miss the change.
        std::lock_guard<std::mutex> lock(m_wakeMutex);
    }
    m_wakeUp.notify_all();
}

void CDeviceExchange::WaitForUse(uint32_t ms)
{
    (void)WaitWhileRunning(ms, [this] { return !NothingInUse(); });
}

bool CDeviceExchange::WaitWhileRunning(uint32_t ms, const std::function<bool()>& until)
{
    CLevelChannel* channel = m_channel;
    const auto stopped = [channel] { return channel == nullptr || channel->RunFlag() == 0; };
    if (ms == 0 || stopped()) {
        // No pause before a request is the common case: no lock, no wait.
        return !stopped();
    }
    std::unique_lock<std::mutex> lock(m_wakeMutex);
    // Clearing the run flag wakes the exchange: a stop ends any wait at once.
    m_wakeUp.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopped() || (until && until()); });
    return !stopped();
}
