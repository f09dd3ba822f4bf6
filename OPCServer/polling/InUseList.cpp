#include "polling/InUseList.h"

#include "opcda/DATag.h"

#include <algorithm>

void CInUseList::CountUse()
{
    // 0 means nothing in use: the count passes over it when it wraps.
    uint32_t events = m_events.load(std::memory_order_seq_cst);
    while (!m_events.compare_exchange_weak(events, events == UINT32_MAX ? 1u : events + 1u,
                                           std::memory_order_seq_cst)) {
    }
}

void CInUseList::Taken(CDATag* item, const CDeviceExchange* owner)
{
    if (item != nullptr) {
        std::lock_guard<std::mutex> lock(m_takenMutex);
        // Checked under the lock that Clear takes: an item already let go by
        // its channel is not listed.
        if (item->Exchange() == owner) {
            m_taken.push_back(item);
        }
    }
    CountUse();
}

void CInUseList::FoundNothing(uint32_t seen)
{
    // A reference taken meanwhile changed the count: the next poll looks again.
    (void)m_events.compare_exchange_strong(seen, 0, std::memory_order_seq_cst);
}

const std::vector<CDATag*>& CInUseList::Collect(bool reranked)
{
    if (reranked) {
        m_sorted = false;
    }
    std::vector<CDATag*> taken;
    {
        std::lock_guard<std::mutex> lock(m_takenMutex);
        taken.swap(m_taken);
    }
    // Taken before the drop below: a reference that comes back meanwhile
    // either keeps its item (still in use) or is taken by the next poll. A
    // taking may be noted after the poll that counted its release: only an
    // item still held joins, or it would stay until some other release.
    for (CDATag* item : taken) {
        if (!item->OnInUseList() && item->IsReadable() && item->InUse()) {
            item->SetOnInUseList(true);
            m_inUse.push_back(item);
            m_sorted = false;
        }
    }
    // Counted before the drop: a release during it is looked at next time.
    if (m_letGo.exchange(0, std::memory_order_seq_cst) != 0) {
        std::erase_if(m_inUse, [](CDATag* item) {
            if (item->InUse()) {
                return false;
            }
            item->SetOnInUseList(false);
            return true;
        });
    }
    if (!m_sorted) {
        std::sort(m_inUse.begin(), m_inUse.end(),
                  [](const CDATag* a, const CDATag* b) { return a->RequestRank() < b->RequestRank(); });
        m_sorted = true;
    }
    return m_inUse;
}

void CInUseList::Clear(const std::vector<CDATag*>& items)
{
    {
        // No reference taken from now on may list an item that is going.
        std::lock_guard<std::mutex> lock(m_takenMutex);
        for (CDATag* item : items) {
            item->SetExchange(nullptr);
            item->SetOnInUseList(false);
        }
        m_taken.clear();
        m_taken.shrink_to_fit();
    }
    m_inUse.clear();
    m_inUse.shrink_to_fit();
    m_sorted = true;
    m_letGo.store(0);
    m_events.store(1);
}
