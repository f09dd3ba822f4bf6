#include "opcua/UaMonitoredItem.h"

#include "VariantCompare.h"
#include "opcua/protocol/UaValues.h"

#include <cmath>
#include <cstring>

namespace ua {

StatusCode ReadDataChangeFilter(const ExtensionObject& filter, bool valueAttribute, bool numeric,
                                ItemFilter* out)
{
    *out = ItemFilter{};
    if (filter.typeId.IsNull() && filter.encoding == ExtensionObject::None) return kGood;
    if (filter.typeId.Is(enc::kEventFilter)) return kBadFilterNotAllowed;
    if (!filter.typeId.Is(enc::kDataChangeFilter)) return kBadMonitoredItemFilterUnsupported;
    if (!valueAttribute) return kBadFilterNotAllowed;
    DataChangeFilter f;
    if (!Unwrap(filter, enc::kDataChangeFilter, &f)) return kBadMonitoredItemFilterInvalid;
    if (f.trigger < DataChangeTrigger::Status || f.trigger > DataChangeTrigger::StatusValueTimestamp)
        return kBadMonitoredItemFilterInvalid;
    out->trigger = f.trigger;
    switch (static_cast<DeadbandType>(f.deadbandType)) {
        case DeadbandType::None:
            return kGood;
        case DeadbandType::Absolute:
            if (!numeric) return kBadFilterNotAllowed;
            if (!(f.deadbandValue >= 0) || !std::isfinite(f.deadbandValue)) return kBadDeadbandFilterInvalid;
            out->deadband = true;
            out->deadbandValue = f.deadbandValue;
            return kGood;
        case DeadbandType::Percent:
            // A percent of the engineering range: the items have none.
            return numeric ? kBadMonitoredItemFilterUnsupported : kBadFilterNotAllowed;
        default:
            return kBadDeadbandFilterInvalid;
    }
}

bool NumberOf(const VARIANT& v, double* out)
{
    switch (v.vt) {
        case VT_I1:
            *out = v.cVal;
            return true;
        case VT_UI1:
            *out = v.bVal;
            return true;
        case VT_I2:
            *out = v.iVal;
            return true;
        case VT_UI2:
            *out = v.uiVal;
            return true;
        case VT_I4:
        case VT_INT:
            *out = v.lVal;
            return true;
        case VT_UI4:
        case VT_UINT:
            *out = v.ulVal;
            return true;
        case VT_I8:
            *out = static_cast<double>(v.llVal);
            return true;
        case VT_UI8:
            *out = static_cast<double>(v.ullVal);
            return true;
        case VT_R4:
            *out = v.fltVal;
            return true;
        case VT_R8:
            *out = v.dblVal;
            return true;
        default:
            return false;
    }
}

bool NumberOf(const Variant& v, double* out)
{
    if (!v.IsScalar() || v.type == Type::Boolean || v.type == Type::StatusCode || v.type == Type::DateTime)
        return false;
    if (const auto* i = std::get_if<int64_t>(&v.scalar))
        *out = static_cast<double>(*i);
    else if (const auto* u = std::get_if<uint64_t>(&v.scalar))
        *out = static_cast<double>(*u);
    else if (const auto* d = std::get_if<double>(&v.scalar))
        *out = *d;
    else
        return false;
    return true;
}

ItemFilter ItemSlot::Filter() const
{
    return ItemFilter{static_cast<DataChangeTrigger>(trigger), Has(kDeadband), deadband};
}

void ItemSlot::SetFilter(const ItemFilter& f)
{
    trigger = static_cast<uint8_t>(f.trigger);
    Set(kDeadband, f.deadband);
    deadband = static_cast<float>(f.deadbandValue);
}

bool ItemSlot::Passes(uint16_t sampleQuality, const VARIANT& sampleValue, int64_t sampleStamp) const
{
    if (Has(kInitial) || sampleQuality != quality) return true;
    const auto t = static_cast<DataChangeTrigger>(trigger);
    if (t == DataChangeTrigger::Status) return false;
    if (Has(kDeadband)) {
        double a, b;
        if (NumberOf(sampleValue, &a) && NumberOf(value, &b)) return std::fabs(a - b) > deadband;
        return !VariantSame(sampleValue, value);
    }
    if (!VariantSame(sampleValue, value)) return true;
    // With a deadband the time stamp alone never reports.
    return t == DataChangeTrigger::StatusValueTimestamp && sampleStamp != stamp;
}

DataValue SampleValue(const VARIANT& value, uint16_t quality, int64_t stamp, StatusCode infoBits,
                      TimestampsToReturn timestamps)
{
    DataValue dv;
    dv.hasValue = true;
    dv.value = FromVariant(value);
    dv.status = StatusOfQuality(quality) | infoBits;
    dv.hasStatus = dv.status != kGood;
    // The program stamps a value when it receives it: its source and server time are one.
    if (timestamps == TimestampsToReturn::Source || timestamps == TimestampsToReturn::Both) {
        dv.hasSourceTimestamp = true;
        dv.sourceTimestamp = DateTime{stamp};
    }
    if (timestamps == TimestampsToReturn::Server || timestamps == TimestampsToReturn::Both) {
        dv.hasServerTimestamp = true;
        dv.serverTimestamp = DateTime{stamp};
    }
    return dv;
}

bool AttributePasses(const ItemFilter& filter, const DataValue& last, const DataValue& sample)
{
    if (last.status != sample.status || last.hasValue != sample.hasValue) return true;
    if (filter.trigger == DataChangeTrigger::Status) return false;
    if (filter.deadband) {
        double a, b;
        if (NumberOf(sample.value, &a) && NumberOf(last.value, &b))
            return std::fabs(a - b) > filter.deadbandValue;
    }
    if (!(last.value == sample.value)) return true;
    return !filter.deadband && filter.trigger == DataChangeTrigger::StatusValueTimestamp &&
           !(last.sourceTimestamp == sample.sourceTimestamp);
}

}  // namespace ua
