#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

class CDATag;
class CDeviceExchange;

// The readable items of one exchange that clients hold, in request order.
// It is fed by the items' first references and pruned after their last
// releases, so that a poll never looks through the whole item space.
//
// Clients call Taken and LetGo from any thread; the exchange calls Collect
// and Clear with its exchange lock held.
class CInUseList {
   public:
    // events: first references counted so far (tests start near the wrap).
    explicit CInUseList(uint32_t events = 1) : m_events(events) {}

    // A client took the first reference to an item (null: only counted). It
    // is listed at the next Collect unless its owner let it go meanwhile.
    void Taken(CDATag* item, const CDeviceExchange* owner);
    // A client let go of the last reference to an item.
    void LetGo() { m_letGo.fetch_add(1, std::memory_order_seq_cst); }

    // First references counted since Collect last found nothing in use; a
    // poll that reads 0 need not look at the items at all.
    uint32_t Events() const { return m_events.load(std::memory_order_seq_cst); }
    bool NothingInUse() const { return Events() == 0; }
    // A poll that read Events() as seen found nothing: unless a client took
    // an item since, nothing is in use.
    void FoundNothing(uint32_t seen);

    // The readable items in use, in request order (by CDATag::RequestRank).
    // Items taken since the last call join; after a release, the items that
    // nobody holds any more leave. reranked: the ranks changed since.
    const std::vector<CDATag*>& Collect(bool reranked);
    // Forgets every item (the exchange lets its items go); counted as in use.
    void Clear(const std::vector<CDATag*>& items);

   private:
    void CountUse();

    std::vector<CDATag*> m_inUse;
    bool m_sorted = true;
    std::mutex m_takenMutex;
    std::vector<CDATag*> m_taken;
    std::atomic<uint32_t> m_letGo{0};
    std::atomic<uint32_t> m_events;
};
