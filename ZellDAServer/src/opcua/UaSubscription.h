#pragma once
// One subscription: its publishing clock with the keep-alive and lifetime
// counters, its monitored items, the notifications waiting to be reported,
// and the messages kept for Republish.
//
// The subscription is a client of the toolkit's core of its own, with one
// group that holds the items it watches: they are taken with AddTag (and so
// polled) while monitored and let go with RemoveTag. It outlives its session
// when the client asks, to be taken over by another.
//
// Sampling reads the items the group holds through the pointers AddItems
// handed out, on the subscription's clock, with the item lock held: no timer
// and no lookup per item. Change detection compares quality, value and time
// stamp with the last queued sample.
//
// Locks: the service mutex (items created, changed, deleted) is held across
// calls into the core and taken before the state mutex; the state mutex is
// never held across a call that may reach the program.

#include "ServerCore.h"
#include "opcua/UaBuffers.h"
#include "opcua/UaItemNames.h"
#include "opcua/UaMonitoredItem.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace ua {

class CUaSession;

struct SubscriptionSettings {
    double publishingMs = 0;
    uint32_t lifetimeCount = 0;
    uint32_t keepAliveCount = 0;
    uint32_t maxNotifications = 0;  // 0: no limit of the client's
    uint8_t priority = 0;
};

// The settings a subscription gets for what a client asks.
SubscriptionSettings ReviseSettings(double publishingMs, uint32_t lifetimeCount, uint32_t keepAliveCount,
                                    uint32_t maxNotifications, uint8_t priority);
// The same for a CreateSubscription or ModifySubscription request, and its answer's revised values.
template <typename Request>
SubscriptionSettings ReviseSettings(const Request& r)
{
    return ReviseSettings(r.requestedPublishingInterval, r.requestedLifetimeCount,
                          r.requestedMaxKeepAliveCount, r.maxNotificationsPerPublish, r.priority);
}
template <typename Response>
void ReportRevised(const SubscriptionSettings& s, Response* r)
{
    r->revisedPublishingInterval = s.publishingMs;
    r->revisedLifetimeCount = s.lifetimeCount;
    r->revisedMaxKeepAliveCount = s.keepAliveCount;
}

// A monitored item to create, checked by the service.
struct NewItem {
    std::string itemId;  // an item's value: its ID; empty for an attribute watch
    std::unique_ptr<AttributeWatch> attribute;
    uint32_t clientHandle = 0;
    MonitoringMode mode = MonitoringMode::Reporting;
    ItemFilter filter;
    uint32_t samplingMs = 0;
    uint32_t queueSize = 1;
    bool discardOldest = true;
    TimestampsToReturn timestamps = TimestampsToReturn::Source;
    // Out.
    StatusCode status = kGood;
    uint32_t monitoredItemId = 0;
};

// A change of an item's parameters, checked by the service.
struct ItemChange {
    uint32_t monitoredItemId = 0;
    uint32_t clientHandle = 0;
    double requestedSamplingMs = 0;
    ExtensionObject filter;
    uint32_t queueSize = 1;
    bool discardOldest = true;
    // Out.
    StatusCode status = kGood;
    uint32_t samplingMs = 0;
};

// What a publishing cycle of a subscription wants.
struct PublishWant {
    bool send = false;     // a message (notifications or a keep-alive) is due
    bool expired = false;  // the lifetime ran out
};

// A notification message ready to go out.
struct OutgoingMessage {
    uint32_t sequenceNumber = 0;
    std::string bytes;  // the encoded NotificationMessage
    bool keepAlive = false;
    bool more = false;
    std::vector<uint32_t> available;
};

class CUaSubscription {
   public:
    using Clock = std::chrono::steady_clock;

    CUaSubscription(uint32_t id, uint32_t coreClient, uint32_t coreGroup,
                    const SubscriptionSettings& settings, bool publishing, Clock::time_point now);
    ~CUaSubscription();
    CUaSubscription(const CUaSubscription&) = delete;
    CUaSubscription& operator=(const CUaSubscription&) = delete;

    uint32_t Id() const { return m_id; }
    uint32_t CoreClient() const { return m_coreClient; }
    SubscriptionSettings Settings() const;
    void Modify(const SubscriptionSettings& settings, Clock::time_point now);
    void SetPublishing(bool enabled);
    size_t ItemCount() const;

    // ---- monitored items (worker threads) ----
    // Creates the items; every entry gets its status and, when created, its ID.
    void CreateItems(std::vector<NewItem>& items, Clock::time_point now);
    // Changes the items' parameters; revise gives the sampling interval for
    // an item ID (empty for an attribute watch) and the requested interval.
    void ModifyItems(std::vector<ItemChange>& changes, TimestampsToReturn timestamps,
                     const std::function<uint32_t(const std::string& itemId, double requested)>& revise);
    void SetMode(const std::vector<uint32_t>& ids, MonitoringMode mode, std::vector<StatusCode>* results,
                 Clock::time_point now);
    void DeleteItems(const std::vector<uint32_t>& ids, std::vector<StatusCode>* results);
    StatusCode SetTriggering(uint32_t triggeringId, const std::vector<uint32_t>& add,
                             const std::vector<uint32_t>& remove, std::vector<StatusCode>* addResults,
                             std::vector<StatusCode>* removeResults);
    // Every reporting item reports its current value again (a transfer that asks for it).
    void ResendValues();
    // Takes again the items the program withdrew and defined anew.
    void RetakeWithdrawn(Clock::time_point now);

    // ---- the publisher's thread ----
    // Samples the items that are due.
    void Sample(Clock::time_point now, const CUaAddressSpace& space);
    // When the next sample or publishing cycle is due.
    Clock::time_point NextDue() const;
    // A publishing cycle when one is due: whether a message wants to go out.
    // requestWaiting says whether the session has a Publish request queued.
    PublishWant Cycle(Clock::time_point now, bool requestWaiting);
    // Whether a message is waiting for a Publish request.
    bool Late() const;
    // The next message: notifications up to the limits, or a keep-alive.
    OutgoingMessage TakeMessage(uint32_t maxBytes);
    // A message that tells the client about the subscription's state
    // (BadTimeout, GoodSubscriptionTransferred); it takes a sequence number.
    OutgoingMessage StatusMessage(StatusCode status);
    // A sent message's buffer, for the next one.
    void GiveBack(std::string&& bytes);
    void ResetLifetime();

    // ---- acknowledgements and retransmission ----
    StatusCode Acknowledge(uint32_t sequenceNumber);
    StatusCode Republish(uint32_t sequenceNumber, std::string* message);
    std::vector<uint32_t> Available() const;

    // Deletes every item: the core client goes, and with it every item it held.
    void Close();

   private:
    uint32_t ClockMs(Clock::time_point t) const;
    uint32_t NewSlot();
    void FreeSlot(uint32_t slot);
    ItemSlot* Find(uint32_t monitoredItemId, uint32_t* slot);
    // Under the state mutex: each(slot, item) for the IDs that name an item,
    // BadMonitoredItemIdInvalid for the others.
    template <typename Each>
    void EachItem(const std::vector<uint32_t>& ids, std::vector<StatusCode>* results, Each each);
    uint32_t IdOf(uint32_t slot) const;
    // Takes items (AddTag) for the slots; the service mutex is held, not the state mutex.
    void Take(const std::vector<uint32_t>& slots, const std::vector<std::string>& itemIds,
              std::vector<StatusCode>* results, Clock::time_point now);
    void Release(const std::vector<uint32_t>& coreHandles);
    // Under the state mutex.
    void Refresh(CServerCore::CItemReader& reader);
    void Queue(uint32_t slot, ItemSlot& s, const VARIANT& value, uint16_t quality, int64_t stamp);
    void QueueAttribute(uint32_t slot, ItemSlot& s, DataValue sample);
    void MakePending(uint32_t slot, ItemSlot& s);
    // A sample is queued: a reporting item goes into the list to report, with the items it triggers.
    void MarkQueued(uint32_t slot, ItemSlot& s);
    void Trigger(uint32_t slot);
    void DropQueue(uint32_t slot, ItemSlot& s);
    void SampleAttributes(uint32_t nowMs, const CUaAddressSpace& space, uint32_t* next);
    bool HasReportable();
    size_t EmitItem(uint32_t slot, ItemSlot& s, Encoder& e, size_t room);
    void Retain(uint32_t sequenceNumber, const std::string& message);
    uint32_t NextSequence();

    const uint32_t m_id;
    const uint32_t m_coreClient;
    const uint32_t m_coreGroup;
    const Clock::time_point m_epoch;

    std::mutex m_serviceMutex;
    mutable std::mutex m_mutex;
    SubscriptionSettings m_settings;
    bool m_publishing;
    uint32_t m_nextPublishMs = 0;
    uint32_t m_nextSampleMs = 0;
    uint32_t m_keepAliveCounter;
    uint32_t m_lifetimeCounter = 0;
    bool m_wantSend = false;
    uint32_t m_sequence = 1;  // the next message's

    std::vector<ItemSlot> m_slots;
    std::vector<uint32_t> m_freeSlots;
    size_t m_itemCount = 0;
    size_t m_attributeCount = 0;
    CUaItemNames m_names;
    std::unordered_map<uint32_t, ItemExtra> m_extras;  // by slot
    std::vector<uint32_t> m_pending;                   // slots to report, in order
    size_t m_pendingHead = 0;
    uint64_t m_withdrawalsSeen;
    bool m_hasWithdrawn = false;
    uint32_t m_nextRetakeMs = 0;

    struct Retained {
        uint32_t sequenceNumber;
        std::string message;
    };
    std::deque<Retained> m_retained;
    size_t m_retainedBytes = 0;
    CSpareBuffers m_spares;
};

}  // namespace ua
