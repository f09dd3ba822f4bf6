#pragma once
// Monitored items. An item's value is watched through the toolkit's item
// object, read on the subscription's sampling clock: one compact slot per
// item, since a subscription may watch every item of a channel. Every other
// attribute (and namespace 0) is watched through the address space, with a
// record of its own beside the slot.

#include "ZellDAClient.h"
#include "opcua/UaAddressSpace.h"
#include "opcua/protocol/UaSubscriptionMessages.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace ua {

// What makes a sample worth a notification.
struct ItemFilter {
    DataChangeTrigger trigger = DataChangeTrigger::StatusValue;
    bool deadband = false;
    double deadbandValue = 0;
};

// A requested filter, checked. The null filter and a DataChangeFilter without
// a deadband are taken on every attribute's value; an absolute deadband on
// numbers only; other filters are refused with the status to answer.
StatusCode ReadDataChangeFilter(const ExtensionObject& filter, bool valueAttribute, bool numeric,
                                ItemFilter* out);

// A VARIANT's number, for deadbands; false for what is not a number.
bool NumberOf(const VARIANT& v, double* out);
bool NumberOf(const Variant& v, double* out);
inline bool IsNumber(const Variant& v)
{
    double unused;
    return NumberOf(v, &unused);
}

// One sample waiting to be reported, for queues longer than one.
struct ItemSample {
    CDAVariant value;
    int64_t stamp = 0;
    uint16_t quality = 0;
    StatusCode infoBits = 0;
};

// An attribute other than an item's value, read through the address space
// (or, for the item properties the program answers, once at creation).
struct AttributeWatch {
    NodeRef node;
    uint32_t attributeId = 0;
    bool constant = false;  // read once: the program's property of an item
    DataValue last;         // last queued
    std::deque<DataValue> queue;
};

// Rarely needed parts of a monitored item.
struct ItemExtra {
    std::deque<ItemSample> queue;  // queue size above one: samples not yet reported, oldest first
    std::vector<uint32_t> links;   // monitored item IDs this one triggers
    std::unique_ptr<AttributeWatch> attribute;
};

// A monitored item's slot.
struct ItemSlot {
    enum Flag : uint16_t {
        kInUse = 1,
        kQueued = 2,   // has a sample not yet reported
        kPending = 4,  // in the subscription's list of items to report
        kInitial = 8,  // the next sample is queued whatever it is
        kDiscardOldest = 16,
        kDeadband = 32,
        kNumeric = 64,
        kAttribute = 128,  // watched through the address space
        kWithdrawn = 256,  // the program withdrew the item: taken again when it returns
    };
    COPCTag* tag = nullptr;  // while held; valid while the toolkit's withdrawal count stands
    uint32_t clientHandle = 0;
    uint32_t coreHandle = 0;  // the toolkit's handle while held, else 0
    uint32_t samplingMs = 0;
    uint32_t nextSampleMs = 0;  // on the subscription's clock
    uint16_t queueSize = 1;
    uint16_t flags = 0;
    uint16_t quality = 0;  // last queued
    uint8_t generation = 0;
    uint8_t mode = 0;        // MonitoringMode
    uint8_t trigger = 1;     // DataChangeTrigger
    uint8_t timestamps = 0;  // TimestampsToReturn
    float deadband = 0;
    int64_t stamp = 0;  // last queued source time stamp
    VARIANT value;      // last queued value, owned

    ItemSlot() { VariantInit(&value); }
    ~ItemSlot() { VariantClear(&value); }
    ItemSlot(const ItemSlot&) = delete;
    ItemSlot& operator=(const ItemSlot&) = delete;
    ItemSlot(ItemSlot&& o) noexcept
    {
        // The memory a vector grows into holds anything: nothing there to release.
        VariantInit(&value);
        *this = std::move(o);
    }
    ItemSlot& operator=(ItemSlot&& o) noexcept;

    bool Has(Flag f) const { return (flags & f) != 0; }
    void Set(Flag f, bool on)
    {
        flags = on ? static_cast<uint16_t>(flags | f) : static_cast<uint16_t>(flags & ~f);
    }
    MonitoringMode Mode() const { return static_cast<MonitoringMode>(mode); }
    ItemFilter Filter() const;
    void SetFilter(const ItemFilter& f);
    // Whether a sample differs enough from the last queued one to be queued.
    bool Passes(uint16_t sampleQuality, const VARIANT& sampleValue, int64_t sampleStamp) const;
};

inline ItemSlot& ItemSlot::operator=(ItemSlot&& o) noexcept
{
    if (this == &o) return *this;
    VariantClear(&value);
    // Every member is plain data; the value's payload moves with its bytes.
    tag = o.tag;
    clientHandle = o.clientHandle;
    coreHandle = o.coreHandle;
    samplingMs = o.samplingMs;
    nextSampleMs = o.nextSampleMs;
    queueSize = o.queueSize;
    flags = o.flags;
    quality = o.quality;
    generation = o.generation;
    mode = o.mode;
    trigger = o.trigger;
    timestamps = o.timestamps;
    deadband = o.deadband;
    stamp = o.stamp;
    value = o.value;
    VariantInit(&o.value);
    return *this;
}

// A data value as a notification carries it.
DataValue SampleValue(const VARIANT& value, uint16_t quality, int64_t stamp, StatusCode infoBits,
                      TimestampsToReturn timestamps);
// Whether an attribute's sample differs enough from the last queued one.
bool AttributePasses(const ItemFilter& filter, const DataValue& last, const DataValue& sample);

}  // namespace ua
