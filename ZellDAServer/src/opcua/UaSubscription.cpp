#include "opcua/UaSubscription.h"

#include "opcua/UaLimits.h"
#include "opcua/protocol/UaValues.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ua {

namespace {

CServerCore& Core()
{
    return CServerCore::Instance();
}

constexpr uint64_t kRefreshNeeded = ~0ull;
constexpr uint32_t kRetakeEveryMs = 1000;
constexpr uint32_t kIdleWakeMs = 1000;
constexpr uint32_t kReaderRetryMs = 5;

// Times on a subscription's clock wrap after 49 days; they are compared by
// their difference, so any two within 24 days of each other compare right.
bool Reached(uint32_t now, uint32_t due)
{
    return static_cast<int32_t>(now - due) >= 0;
}

void Earliest(uint32_t* next, uint32_t due)
{
    if (static_cast<int32_t>(due - *next) < 0) *next = due;
}

// The first multiple of period after now: samples and publishing cycles of
// the same interval fall on the same moments.
uint32_t NextOnGrid(uint32_t now, uint32_t period)
{
    return (now / period + 1) * period;
}

uint32_t PeriodMs(double ms)
{
    return static_cast<uint32_t>(std::max(1.0, std::ceil(ms)));
}

bool IsNumericType(VARTYPE t)
{
    VARIANT probe;
    VariantInit(&probe);
    probe.vt = t;
    double unused;
    return NumberOf(probe, &unused);
}

DataValue WithTimestamps(DataValue dv, uint8_t timestamps)
{
    const auto ts = static_cast<TimestampsToReturn>(timestamps);
    if (ts != TimestampsToReturn::Source && ts != TimestampsToReturn::Both) dv.hasSourceTimestamp = false;
    if (ts != TimestampsToReturn::Server && ts != TimestampsToReturn::Both) dv.hasServerTimestamp = false;
    return dv;
}

void MarkOverflow(DataValue& dv)
{
    dv.status |= kOverflowInfoBits;
    dv.hasStatus = true;
}

// Queues a sample in a queue of `size` entries, as the discard policy says;
// the sample that stands for the lost ones carries the overflow bits.
template <typename T, typename Mark>
void Push(std::deque<T>& queue, size_t size, bool discardOldest, T sample, Mark mark)
{
    if (queue.size() < size) {
        queue.push_back(std::move(sample));
        return;
    }
    if (discardOldest) {
        queue.pop_front();
        queue.push_back(std::move(sample));
        mark(queue.front());
    } else {
        queue.back() = std::move(sample);
        mark(queue.back());
    }
}

}  // namespace

SubscriptionSettings ReviseSettings(double publishingMs, uint32_t lifetimeCount, uint32_t keepAliveCount,
                                    uint32_t maxNotifications, uint8_t priority)
{
    SubscriptionSettings s;
    s.publishingMs = !(publishingMs >= kMinPublishingIntervalMs)
                         ? kMinPublishingIntervalMs
                         : std::min(publishingMs, kMaxPublishingIntervalMs);
    s.keepAliveCount =
        keepAliveCount == 0 ? kDefaultKeepAliveCount : std::min(keepAliveCount, kMaxKeepAliveCount);
    s.lifetimeCount = std::clamp(lifetimeCount, 3 * s.keepAliveCount, kMaxLifetimeCount);
    s.maxNotifications = maxNotifications;
    s.priority = priority;
    return s;
}

CUaSubscription::CUaSubscription(uint32_t id, uint32_t coreClient, uint32_t coreGroup,
                                 const SubscriptionSettings& settings, bool publishing, Clock::time_point now)
    : m_id(id),
      m_coreClient(coreClient),
      m_coreGroup(coreGroup),
      m_epoch(now),
      m_settings(settings),
      m_publishing(publishing),
      // The first cycle always says something: notifications or a keep-alive.
      m_keepAliveCounter(settings.keepAliveCount),
      m_withdrawalsSeen(kRefreshNeeded)
{
    m_nextPublishMs = PeriodMs(settings.publishingMs);
    m_nextSampleMs = kIdleWakeMs;
}

CUaSubscription::~CUaSubscription() = default;

uint32_t CUaSubscription::ClockMs(Clock::time_point t) const
{
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(t - m_epoch).count());
}

SubscriptionSettings CUaSubscription::Settings() const
{
    std::lock_guard lock(m_mutex);
    return m_settings;
}

void CUaSubscription::Modify(const SubscriptionSettings& settings, Clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    m_settings = settings;
    m_nextPublishMs = NextOnGrid(ClockMs(now), PeriodMs(settings.publishingMs));
    m_lifetimeCounter = 0;
}

void CUaSubscription::SetPublishing(bool enabled)
{
    std::lock_guard lock(m_mutex);
    m_publishing = enabled;
    m_lifetimeCounter = 0;
}

size_t CUaSubscription::ItemCount() const
{
    std::lock_guard lock(m_mutex);
    return m_itemCount;
}

void CUaSubscription::ResetLifetime()
{
    std::lock_guard lock(m_mutex);
    m_lifetimeCounter = 0;
}

// ---- slots ----

uint32_t CUaSubscription::NewSlot()
{
    uint32_t slot;
    if (!m_freeSlots.empty()) {
        slot = m_freeSlots.back();
        m_freeSlots.pop_back();
    } else {
        slot = static_cast<uint32_t>(m_slots.size());
        m_slots.emplace_back();
    }
    m_slots[slot].flags = ItemSlot::kInUse;
    ++m_itemCount;
    return slot;
}

void CUaSubscription::FreeSlot(uint32_t slot)
{
    ItemSlot& s = m_slots[slot];
    if (s.Has(ItemSlot::kAttribute)) --m_attributeCount;
    const uint8_t generation = static_cast<uint8_t>(s.generation + 1);
    s = ItemSlot();
    s.generation = generation;
    m_names.Clear(slot);
    m_extras.erase(slot);
    m_freeSlots.push_back(slot);
    --m_itemCount;
}

// An ID is the slot and the slot's generation, so that an ID of a deleted
// item never names the item that took its slot.
uint32_t CUaSubscription::IdOf(uint32_t slot) const
{
    return (static_cast<uint32_t>(m_slots[slot].generation) << 24) | (slot + 1);
}

ItemSlot* CUaSubscription::Find(uint32_t monitoredItemId, uint32_t* slot)
{
    const uint32_t index = (monitoredItemId & 0xFFFFFFu) - 1;
    if (index >= m_slots.size()) return nullptr;
    ItemSlot& s = m_slots[index];
    if (!s.Has(ItemSlot::kInUse) || s.generation != (monitoredItemId >> 24)) return nullptr;
    *slot = index;
    return &s;
}

// ---- items ----

template <typename Each>
void CUaSubscription::EachItem(const std::vector<uint32_t>& ids, std::vector<StatusCode>* results, Each each)
{
    results->assign(ids.size(), kGood);
    for (size_t i = 0; i < ids.size(); ++i) {
        uint32_t slot;
        ItemSlot* s = Find(ids[i], &slot);
        if (s)
            each(slot, s);
        else
            (*results)[i] = kBadMonitoredItemIdInvalid;
    }
}

void CUaSubscription::Take(const std::vector<uint32_t>& slots, const std::vector<std::string>& itemIds,
                           std::vector<StatusCode>* results, Clock::time_point now)
{
    results->assign(slots.size(), kGood);
    if (slots.empty()) return;
    const uint64_t withdrawals = Core().Withdrawals();
    std::vector<DAItemDef> defs;
    defs.reserve(slots.size());
    for (size_t i = 0; i < slots.size(); ++i) defs.emplace_back(itemIds[i], VT_EMPTY, true, slots[i]);
    std::vector<DAItemResult> added;
    std::vector<COPCTag*> tags;
    const HRESULT hr = Core().AddItems(m_coreClient, m_coreGroup, defs, &added, false, &tags);
    std::vector<uint32_t> unreadable;
    {
        std::lock_guard lock(m_mutex);
        // Pointers handed out across a withdrawal are checked before they are read.
        if (withdrawals != m_withdrawalsSeen) m_withdrawalsSeen = kRefreshNeeded;
        const uint32_t nowMs = ClockMs(now);
        for (size_t i = 0; i < slots.size(); ++i) {
            HRESULT e = i < added.size() ? added[i].error : hr;
            if (FAILED(hr) && SUCCEEDED(e)) e = hr;
            if (FAILED(e) || i >= tags.size() || !tags[i]) {
                (*results)[i] = StatusOfResult(FAILED(e) ? e : E_FAIL, false);
                continue;
            }
            if ((added[i].accessRights & OPC_READABLE) == 0) {
                (*results)[i] = kBadNotReadable;
                unreadable.push_back(added[i].serverHandle);
                continue;
            }
            ItemSlot& s = m_slots[slots[i]];
            s.coreHandle = added[i].serverHandle;
            s.tag = tags[i];
            s.Set(ItemSlot::kNumeric, IsNumericType(added[i].canonicalType));
            s.Set(ItemSlot::kWithdrawn, false);
            s.Set(ItemSlot::kInitial, true);
            s.nextSampleMs = nowMs;
            m_nextSampleMs = nowMs;
        }
    }
    Release(unreadable);
}

void CUaSubscription::Release(const std::vector<uint32_t>& coreHandles)
{
    if (coreHandles.empty()) return;
    std::vector<HRESULT> errors;
    (void)Core().RemoveItems(m_coreClient, m_coreGroup, coreHandles, &errors);
}

void CUaSubscription::CreateItems(std::vector<NewItem>& items, Clock::time_point now)
{
    std::lock_guard service(m_serviceMutex);
    std::vector<size_t> values;  // entries whose items are taken now
    std::vector<uint32_t> slots;
    std::vector<std::string> ids;
    {
        std::lock_guard lock(m_mutex);
        // One call may watch a whole channel: room for what it adds rather than a doubling.
        const size_t size = m_slots.size() + items.size() - std::min(items.size(), m_freeSlots.size());
        if (size > m_slots.capacity()) m_slots.reserve(std::max(size, m_slots.capacity() * 3 / 2));
        const uint32_t nowMs = ClockMs(now);
        for (size_t i = 0; i < items.size(); ++i) {
            NewItem& item = items[i];
            if (item.status != kGood) continue;
            if (m_itemCount >= kMaxMonitoredItemsPerSubscription) {
                item.status = kBadTooManyMonitoredItems;
                continue;
            }
            const uint32_t slot = NewSlot();
            ItemSlot& s = m_slots[slot];
            s.clientHandle = item.clientHandle;
            s.samplingMs = std::max<uint32_t>(item.samplingMs, 1);
            s.queueSize = static_cast<uint16_t>(item.queueSize);
            s.mode = static_cast<uint8_t>(item.mode);
            s.timestamps = static_cast<uint8_t>(item.timestamps);
            s.Set(ItemSlot::kDiscardOldest, item.discardOldest);
            s.Set(ItemSlot::kInitial, true);
            s.SetFilter(item.filter);
            s.nextSampleMs = nowMs;
            item.monitoredItemId = IdOf(slot);
            if (item.attribute) {
                s.Set(ItemSlot::kAttribute, true);
                m_extras[slot].attribute = std::move(item.attribute);
                ++m_attributeCount;
                m_nextSampleMs = nowMs;
                continue;
            }
            m_names.Set(slot, item.itemId);
            if (item.mode == MonitoringMode::Disabled) continue;
            values.push_back(i);
            slots.push_back(slot);
            ids.push_back(item.itemId);
        }
    }
    std::vector<StatusCode> taken;
    Take(slots, ids, &taken, now);
    std::vector<uint32_t> refused;
    {
        std::lock_guard lock(m_mutex);
        for (size_t j = 0; j < values.size(); ++j) {
            NewItem& item = items[values[j]];
            ItemSlot& s = m_slots[slots[j]];
            // A deadband is a difference of numbers.
            if (taken[j] == kGood && item.filter.deadband && !s.Has(ItemSlot::kNumeric)) {
                taken[j] = kBadFilterNotAllowed;
                refused.push_back(s.coreHandle);
            }
            if (taken[j] == kGood) continue;
            item.status = taken[j];
            item.monitoredItemId = 0;
            FreeSlot(slots[j]);
        }
    }
    Release(refused);
}

void CUaSubscription::ModifyItems(std::vector<ItemChange>& changes, TimestampsToReturn timestamps,
                                  const std::function<uint32_t(const std::string&, double)>& revise)
{
    std::lock_guard service(m_serviceMutex);
    // How fast an item can be sampled is the program's answer: asked
    // without the state mutex.
    std::vector<std::string> ids(changes.size());
    {
        std::lock_guard lock(m_mutex);
        for (size_t i = 0; i < changes.size(); ++i) {
            uint32_t slot;
            ItemSlot* s = Find(changes[i].monitoredItemId, &slot);
            if (!s) {
                changes[i].status = kBadMonitoredItemIdInvalid;
                continue;
            }
            if (!s->Has(ItemSlot::kAttribute)) ids[i] = m_names.Get(slot);
        }
    }
    for (size_t i = 0; i < changes.size(); ++i)
        if (changes[i].status == kGood)
            changes[i].samplingMs = revise(ids[i], changes[i].requestedSamplingMs);

    std::lock_guard lock(m_mutex);
    for (ItemChange& c : changes) {
        uint32_t slot;
        ItemSlot* s = c.status == kGood ? Find(c.monitoredItemId, &slot) : nullptr;
        if (!s) continue;
        const AttributeWatch* watch = s->Has(ItemSlot::kAttribute) ? m_extras[slot].attribute.get() : nullptr;
        const bool valueAttribute = !watch || watch->attributeId == static_cast<uint32_t>(Attribute::Value);
        const bool numeric = watch ? IsNumber(watch->last.value) : s->Has(ItemSlot::kNumeric);
        ItemFilter filter;
        c.status = ReadDataChangeFilter(c.filter, valueAttribute, numeric, &filter);
        if (c.status != kGood) continue;
        s->clientHandle = c.clientHandle;
        s->samplingMs = std::max<uint32_t>(c.samplingMs, 1);
        s->nextSampleMs = NextOnGrid(ClockMs(Clock::now()), s->samplingMs);
        Earliest(&m_nextSampleMs, s->nextSampleMs);
        s->timestamps = static_cast<uint8_t>(timestamps);
        s->SetFilter(filter);
        s->Set(ItemSlot::kDiscardOldest, c.discardOldest);
        const uint16_t size = static_cast<uint16_t>(c.queueSize);
        if (size != s->queueSize) {
            // A shorter queue keeps the newest samples.
            auto trim = [&](auto& queue) {
                while (queue.size() > size) queue.pop_front();
                if (size == 1) queue.clear();  // the last queued sample stands in the slot
            };
            auto extra = m_extras.find(slot);
            if (extra != m_extras.end()) {
                trim(extra->second.queue);
                if (extra->second.attribute) trim(extra->second.attribute->queue);
            }
            if (s->queueSize == 1 && size > 1 && s->Has(ItemSlot::kQueued)) {
                if (watch) {
                    m_extras[slot].attribute->queue.push_back(watch->last);
                } else {
                    ItemSample sample;
                    (void)VariantCopy(&sample.value.Get(), &s->value);
                    sample.quality = s->quality;
                    sample.stamp = s->stamp;
                    m_extras[slot].queue.push_back(std::move(sample));
                }
            }
            s->queueSize = size;
        }
    }
}

void CUaSubscription::SetMode(const std::vector<uint32_t>& ids, MonitoringMode mode,
                              std::vector<StatusCode>* results, Clock::time_point now)
{
    std::lock_guard service(m_serviceMutex);
    std::vector<uint32_t> released, slots;
    std::vector<std::string> itemIds;
    {
        std::lock_guard lock(m_mutex);
        EachItem(ids, results, [&](uint32_t slot, ItemSlot* s) {
            const MonitoringMode old = s->Mode();
            s->mode = static_cast<uint8_t>(mode);
            if (mode == old) return;
            if (mode == MonitoringMode::Disabled) {
                // Neither sampled nor reported: the item is let go, so the program stops polling it.
                DropQueue(slot, *s);
                if (s->coreHandle != 0) released.push_back(s->coreHandle);
                s->coreHandle = 0;
                s->tag = nullptr;
                s->Set(ItemSlot::kWithdrawn, false);
            } else if (old == MonitoringMode::Disabled) {
                s->Set(ItemSlot::kInitial, true);
                s->nextSampleMs = ClockMs(now);
                m_nextSampleMs = s->nextSampleMs;
                if (!s->Has(ItemSlot::kAttribute)) {
                    slots.push_back(slot);
                    itemIds.push_back(m_names.Get(slot));
                }
            } else if (mode == MonitoringMode::Reporting) {
                if (s->Has(ItemSlot::kQueued)) MakePending(slot, *s);
            } else {
                s->Set(ItemSlot::kPending, false);
            }
        });
    }
    Release(released);
    std::vector<StatusCode> taken;
    Take(slots, itemIds, &taken, now);
    std::lock_guard lock(m_mutex);
    for (size_t j = 0; j < slots.size(); ++j) {
        // An item the program no longer defines is taken when it comes back.
        if (taken[j] == kGood) continue;
        m_slots[slots[j]].Set(ItemSlot::kWithdrawn, true);
        m_hasWithdrawn = true;
    }
}

void CUaSubscription::DeleteItems(const std::vector<uint32_t>& ids, std::vector<StatusCode>* results)
{
    std::lock_guard service(m_serviceMutex);
    std::vector<uint32_t> released;
    {
        std::lock_guard lock(m_mutex);
        EachItem(ids, results, [&](uint32_t slot, ItemSlot* s) {
            if (s->coreHandle != 0) released.push_back(s->coreHandle);
            FreeSlot(slot);
        });
    }
    Release(released);
}

StatusCode CUaSubscription::SetTriggering(uint32_t triggeringId, const std::vector<uint32_t>& add,
                                          const std::vector<uint32_t>& remove,
                                          std::vector<StatusCode>* addResults,
                                          std::vector<StatusCode>* removeResults)
{
    std::lock_guard lock(m_mutex);
    uint32_t slot;
    if (!Find(triggeringId, &slot)) return kBadMonitoredItemIdInvalid;
    std::vector<uint32_t>& links = m_extras[slot].links;
    removeResults->assign(remove.size(), kGood);
    for (size_t i = 0; i < remove.size(); ++i) {
        auto it = std::find(links.begin(), links.end(), remove[i]);
        if (it == links.end())
            (*removeResults)[i] = kBadMonitoredItemIdInvalid;
        else
            links.erase(it);
    }
    addResults->assign(add.size(), kGood);
    for (size_t i = 0; i < add.size(); ++i) {
        uint32_t linked;
        if (add[i] == triggeringId || !Find(add[i], &linked)) {
            (*addResults)[i] = kBadMonitoredItemIdInvalid;
            continue;
        }
        if (std::find(links.begin(), links.end(), add[i]) == links.end()) links.push_back(add[i]);
    }
    return kGood;
}

void CUaSubscription::ResendValues()
{
    std::lock_guard lock(m_mutex);
    for (ItemSlot& s : m_slots) {
        if (!s.Has(ItemSlot::kInUse) || s.Mode() != MonitoringMode::Reporting) continue;
        // A value already queued goes out as it is; the others are sampled again.
        if (!s.Has(ItemSlot::kQueued)) s.Set(ItemSlot::kInitial, true);
        s.nextSampleMs = m_nextSampleMs;
    }
}

void CUaSubscription::RetakeWithdrawn(Clock::time_point now)
{
    // Never waits for a service that is busy with the items: the next turn retakes them.
    std::unique_lock service(m_serviceMutex, std::try_to_lock);
    if (!service) return;
    std::vector<uint32_t> slots;
    std::vector<std::string> ids;
    {
        std::lock_guard lock(m_mutex);
        const uint32_t nowMs = ClockMs(now);
        if (!m_hasWithdrawn || !Reached(nowMs, m_nextRetakeMs)) return;
        m_nextRetakeMs = nowMs + kRetakeEveryMs;
        for (uint32_t slot = 0; slot < m_slots.size(); ++slot) {
            if (!m_slots[slot].Has(ItemSlot::kWithdrawn)) continue;
            slots.push_back(slot);
            ids.push_back(m_names.Get(slot));
        }
    }
    std::vector<StatusCode> taken;
    Take(slots, ids, &taken, now);
    std::lock_guard lock(m_mutex);
    m_hasWithdrawn = std::any_of(taken.begin(), taken.end(), [](StatusCode s) { return s != kGood; });
}

// ---- sampling ----

void CUaSubscription::Refresh(CServerCore::CItemReader& reader)
{
    std::vector<bool> seen(m_slots.size(), false);
    (void)reader.VisitGroup(m_coreClient, m_coreGroup, [&](uint32_t slot, uint32_t handle, COPCTag* tag) {
        if (slot >= m_slots.size() || m_slots[slot].coreHandle != handle) return;
        m_slots[slot].tag = tag;
        seen[slot] = true;
    });
    const int64_t now = Now().ticks;
    for (uint32_t slot = 0; slot < m_slots.size(); ++slot) {
        ItemSlot& s = m_slots[slot];
        if (s.coreHandle == 0 || seen[slot]) continue;
        // Withdrawn by the program (a channel rebuilt): bad until it is defined again.
        s.coreHandle = 0;
        s.tag = nullptr;
        s.Set(ItemSlot::kWithdrawn, true);
        m_hasWithdrawn = true;
        VARIANT last;
        VariantInit(&last);
        (void)VariantCopy(&last, &s.value);
        Queue(slot, s, last, OPC_QUALITY_BAD, now);
        VariantClear(&last);
    }
    m_withdrawalsSeen = reader.Withdrawals();
}

void CUaSubscription::Sample(Clock::time_point now, const CUaAddressSpace& space)
{
    std::lock_guard lock(m_mutex);
    const uint32_t t = ClockMs(now);
    if (m_itemCount == 0 || !Reached(t, m_nextSampleMs)) return;
    uint32_t next = t + kIdleWakeMs;
    {
        CServerCore::CItemReader reader(Core());
        if (!reader.IsOpen()) {
            // A withdrawal or stop holds the toolkit: sample again shortly.
            next = t + kReaderRetryMs;
        } else {
            if (reader.Withdrawals() != m_withdrawalsSeen) Refresh(reader);
            for (uint32_t slot = 0; slot < m_slots.size(); ++slot) {
                ItemSlot& s = m_slots[slot];
                if (!s.tag) continue;
                if (!Reached(t, s.nextSampleMs)) {
                    Earliest(&next, s.nextSampleMs);
                    continue;
                }
                s.nextSampleMs = NextOnGrid(t, s.samplingMs);
                Earliest(&next, s.nextSampleMs);
                const COPCTag& tag = *s.tag;
                const int64_t stamp = static_cast<int64_t>(FileTimeToUInt64(tag.m_timeStamp));
                if (s.Passes(tag.m_quality, tag.m_value, stamp))
                    Queue(slot, s, tag.m_value, tag.m_quality, stamp);
            }
        }
    }
    if (m_attributeCount != 0) SampleAttributes(t, space, &next);
    m_nextSampleMs = next;
}

void CUaSubscription::SampleAttributes(uint32_t t, const CUaAddressSpace& space, uint32_t* next)
{
    const DateTime now = Now();
    for (auto& [slot, extra] : m_extras) {
        ItemSlot& s = m_slots[slot];
        if (!extra.attribute || s.Mode() == MonitoringMode::Disabled) continue;
        if (!Reached(t, s.nextSampleMs)) {
            Earliest(next, s.nextSampleMs);
            continue;
        }
        s.nextSampleMs = NextOnGrid(t, s.samplingMs);
        Earliest(next, s.nextSampleMs);
        AttributeWatch& w = *extra.attribute;
        if (w.constant) {
            if (s.Has(ItemSlot::kInitial)) QueueAttribute(slot, s, w.last);
            continue;
        }
        DataValue sample;
        Variant value;
        const StatusCode status = space.ReadAttribute(w.node, w.attributeId, &value);
        if (status == kGood) {
            sample.hasValue = true;
            sample.value = std::move(value);
        } else {
            sample.hasStatus = true;
            sample.status = status;
        }
        sample.hasSourceTimestamp = sample.hasServerTimestamp = true;
        sample.sourceTimestamp = sample.serverTimestamp = now;
        if (s.Has(ItemSlot::kInitial) || AttributePasses(s.Filter(), w.last, sample))
            QueueAttribute(slot, s, std::move(sample));
    }
}

void CUaSubscription::Queue(uint32_t slot, ItemSlot& s, const VARIANT& value, uint16_t quality, int64_t stamp)
{
    s.Set(ItemSlot::kInitial, false);
    if (s.queueSize > 1) {
        ItemSample sample;
        (void)VariantCopy(&sample.value.Get(), &value);
        sample.quality = quality;
        sample.stamp = stamp;
        Push(m_extras[slot].queue, s.queueSize, s.Has(ItemSlot::kDiscardOldest), std::move(sample),
             [](ItemSample& kept) { kept.infoBits = kOverflowInfoBits; });
    }
    if (&value != &s.value) (void)VariantCopy(&s.value, &value);
    s.quality = quality;
    s.stamp = stamp;
    MarkQueued(slot, s);
}

void CUaSubscription::QueueAttribute(uint32_t slot, ItemSlot& s, DataValue sample)
{
    s.Set(ItemSlot::kInitial, false);
    AttributeWatch& w = *m_extras[slot].attribute;
    if (s.queueSize > 1) Push(w.queue, s.queueSize, s.Has(ItemSlot::kDiscardOldest), sample, MarkOverflow);
    w.last = std::move(sample);
    MarkQueued(slot, s);
}

void CUaSubscription::MarkQueued(uint32_t slot, ItemSlot& s)
{
    s.Set(ItemSlot::kQueued, true);
    if (s.Mode() != MonitoringMode::Reporting) return;
    MakePending(slot, s);
    Trigger(slot);
}

void CUaSubscription::MakePending(uint32_t slot, ItemSlot& s)
{
    if (s.Has(ItemSlot::kPending)) return;
    s.Set(ItemSlot::kPending, true);
    m_pending.push_back(slot);
}

// Items in sampling mode that a reporting item triggers report what they queued.
void CUaSubscription::Trigger(uint32_t slot)
{
    auto extra = m_extras.find(slot);
    if (extra == m_extras.end()) return;
    for (uint32_t id : extra->second.links) {
        uint32_t linked;
        ItemSlot* l = Find(id, &linked);
        if (l && l->Mode() == MonitoringMode::Sampling && l->Has(ItemSlot::kQueued)) MakePending(linked, *l);
    }
}

void CUaSubscription::DropQueue(uint32_t slot, ItemSlot& s)
{
    s.Set(ItemSlot::kQueued, false);
    s.Set(ItemSlot::kPending, false);
    auto extra = m_extras.find(slot);
    if (extra == m_extras.end()) return;
    extra->second.queue.clear();
    if (extra->second.attribute) extra->second.attribute->queue.clear();
}

// ---- publishing ----

CUaSubscription::Clock::time_point CUaSubscription::NextDue() const
{
    std::lock_guard lock(m_mutex);
    uint32_t next = m_nextPublishMs;
    if (m_itemCount != 0) Earliest(&next, m_nextSampleMs);
    if (m_hasWithdrawn) Earliest(&next, m_nextRetakeMs);
    const int32_t ahead = static_cast<int32_t>(next - ClockMs(Clock::now()));
    return Clock::now() + std::chrono::milliseconds(std::max(ahead, 0));
}

bool CUaSubscription::HasReportable()
{
    while (m_pendingHead < m_pending.size() && !m_slots[m_pending[m_pendingHead]].Has(ItemSlot::kPending))
        ++m_pendingHead;
    if (m_pendingHead == m_pending.size()) {
        m_pending.clear();
        m_pendingHead = 0;
        return false;
    }
    return true;
}

PublishWant CUaSubscription::Cycle(Clock::time_point now, bool requestWaiting)
{
    std::lock_guard lock(m_mutex);
    PublishWant want;
    const uint32_t t = ClockMs(now);
    if (Reached(t, m_nextPublishMs)) {
        m_nextPublishMs = NextOnGrid(t, PeriodMs(m_settings.publishingMs));
        if (requestWaiting) {
            m_lifetimeCounter = 0;
        } else if (++m_lifetimeCounter > m_settings.lifetimeCount) {
            want.expired = true;
            return want;
        }
        if (m_publishing && HasReportable())
            m_wantSend = true;
        else if (++m_keepAliveCounter >= m_settings.keepAliveCount)
            m_wantSend = true;
    }
    want.send = m_wantSend;
    return want;
}

bool CUaSubscription::Late() const
{
    std::lock_guard lock(m_mutex);
    return m_wantSend;
}

uint32_t CUaSubscription::NextSequence()
{
    const uint32_t n = m_sequence;
    m_sequence = m_sequence == 0xFFFFFFFFu ? 1 : m_sequence + 1;
    return n;
}

size_t CUaSubscription::EmitItem(uint32_t slot, ItemSlot& s, Encoder& e, size_t room)
{
    size_t emitted = 0;
    auto emit = [&](const DataValue& dv) {
        e.Write(s.clientHandle);
        e.Write(dv);
        ++emitted;
    };
    auto extra = m_extras.find(slot);
    AttributeWatch* watch = extra != m_extras.end() ? extra->second.attribute.get() : nullptr;
    if (s.queueSize == 1) {
        emit(watch ? WithTimestamps(watch->last, s.timestamps)
                   : SampleValue(s.value, s.quality, s.stamp, 0,
                                 static_cast<TimestampsToReturn>(s.timestamps)));
    } else if (watch) {
        for (; !watch->queue.empty() && emitted < room; watch->queue.pop_front())
            emit(WithTimestamps(watch->queue.front(), s.timestamps));
        if (!watch->queue.empty()) return emitted;
    } else if (extra != m_extras.end()) {
        auto& queue = extra->second.queue;
        for (; !queue.empty() && emitted < room; queue.pop_front()) {
            const ItemSample& q = queue.front();
            emit(SampleValue(q.value.Get(), q.quality, q.stamp, q.infoBits,
                             static_cast<TimestampsToReturn>(s.timestamps)));
        }
        if (!queue.empty()) return emitted;
    }
    s.Set(ItemSlot::kPending, false);
    s.Set(ItemSlot::kQueued, false);
    return emitted;
}

OutgoingMessage CUaSubscription::TakeMessage(uint32_t maxBytes)
{
    std::lock_guard lock(m_mutex);
    OutgoingMessage m;
    m.bytes = m_spares.Take();
    const DateTime publishTime = Now();
    Encoder e(m.bytes);
    if (m_publishing && HasReportable()) {
        m.sequenceNumber = m_sequence;
        e(m.sequenceNumber, publishTime, int32_t{1}, NodeId::Numeric(enc::kDataChangeNotification),
          static_cast<uint8_t>(ExtensionObject::Binary));
        const size_t lengthAt = m.bytes.size();
        e(int32_t{0});
        const size_t countAt = m.bytes.size();
        e(int32_t{0});
        const size_t limit = m_settings.maxNotifications ? m_settings.maxNotifications : SIZE_MAX;
        size_t count = 0;
        while (m_pendingHead < m_pending.size() && count < limit && m.bytes.size() < maxBytes) {
            const uint32_t slot = m_pending[m_pendingHead];
            ItemSlot& s = m_slots[slot];
            if (s.Has(ItemSlot::kPending)) count += EmitItem(slot, s, e, limit - count);
            if (s.Has(ItemSlot::kPending)) break;  // the rest of its queue goes in the next message
            ++m_pendingHead;
        }
        e(int32_t{0});  // no diagnostics
        auto patch = [&](size_t at, int32_t v) { std::memcpy(m.bytes.data() + at, &v, sizeof v); };
        patch(countAt, static_cast<int32_t>(count));
        patch(lengthAt, static_cast<int32_t>(m.bytes.size() - countAt));
        if (count != 0) {
            (void)NextSequence();
            Retain(m.sequenceNumber, m.bytes);
            m.more = HasReportable();
        } else {
            m.bytes.clear();
        }
    }
    if (m.bytes.empty()) {
        // A keep-alive carries the sequence number the next message will have.
        m.keepAlive = true;
        m.sequenceNumber = m_sequence;
        e(m.sequenceNumber, publishTime, int32_t{0});
    }
    m_spares.Expect(m.bytes.size());
    m_wantSend = m.more;
    m_keepAliveCounter = 0;
    m_lifetimeCounter = 0;
    for (const Retained& r : m_retained) m.available.push_back(r.sequenceNumber);
    return m;
}

OutgoingMessage CUaSubscription::StatusMessage(StatusCode status)
{
    std::lock_guard lock(m_mutex);
    OutgoingMessage m;
    m.sequenceNumber = m_sequence;
    Encoder e(m.bytes);
    e(m.sequenceNumber, Now(), int32_t{1});
    e.Write(Wrap(enc::kStatusChangeNotification, StatusChangeNotification{status, {}}));
    return m;
}

void CUaSubscription::GiveBack(std::string&& bytes)
{
    std::lock_guard lock(m_mutex);
    m_spares.Give(std::move(bytes));
}

void CUaSubscription::Retain(uint32_t sequenceNumber, const std::string& message)
{
    m_retained.push_back(Retained{sequenceNumber, m_spares.Take()});
    m_retained.back().message.assign(message);
    m_retainedBytes += message.size();
    while (m_retained.size() > kMaxRetransmissionMessages ||
           (m_retainedBytes > kMaxRetransmissionBytes && m_retained.size() > 1)) {
        m_retainedBytes -= m_retained.front().message.size();
        m_spares.Give(std::move(m_retained.front().message));
        m_retained.pop_front();
    }
}

StatusCode CUaSubscription::Acknowledge(uint32_t sequenceNumber)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_retained.begin(); it != m_retained.end(); ++it) {
        if (it->sequenceNumber != sequenceNumber) continue;
        m_retainedBytes -= it->message.size();
        m_spares.Give(std::move(it->message));
        m_retained.erase(it);
        return kGood;
    }
    return kBadSequenceNumberUnknown;
}

StatusCode CUaSubscription::Republish(uint32_t sequenceNumber, std::string* message)
{
    std::lock_guard lock(m_mutex);
    m_lifetimeCounter = 0;
    for (const Retained& r : m_retained) {
        if (r.sequenceNumber != sequenceNumber) continue;
        *message = r.message;
        return kGood;
    }
    return kBadMessageNotAvailable;
}

std::vector<uint32_t> CUaSubscription::Available() const
{
    std::lock_guard lock(m_mutex);
    std::vector<uint32_t> out;
    for (const Retained& r : m_retained) out.push_back(r.sequenceNumber);
    return out;
}

void CUaSubscription::Close()
{
    std::lock_guard service(m_serviceMutex);
    (void)Core().Disconnect(m_coreClient);
    std::lock_guard lock(m_mutex);
    for (ItemSlot& s : m_slots) {
        s.tag = nullptr;
        s.coreHandle = 0;
    }
}

}  // namespace ua
