// The item properties of the DA callback: how many, which, their values and
// their descriptions.
#include "config/LevelChannel.h"
#include "config/LevelTag.h"
#include "opcda/DACallback.h"
#include "opcda/DATag.h"
#include "platform/FileTime.h"
#include "platform/TaskMem.h"

namespace {

constexpr uint32_t kCanonicalTypeProperty = 1;
constexpr uint32_t kValueProperty = 2;
constexpr uint32_t kQualityProperty = 3;
constexpr uint32_t kTimeStampProperty = 4;
constexpr uint32_t kAccessRightsProperty = 5;
constexpr uint32_t kScanRateProperty = 6;

struct PropertyRow {
    uint32_t id;
    const char* description;
    VARTYPE type;  // VT_EMPTY: the item's canonical type
};

constexpr PropertyRow kProperties[] = {
    {kCanonicalTypeProperty, "Item Canonical DataType", VT_I2},
    {kValueProperty, "Item Value", VT_EMPTY},
    {kQualityProperty, "Item Quality", VT_I2},
    {kTimeStampProperty, "Item Timestamp", VT_DATE},
    {kAccessRightsProperty, "Item Access Rights", VT_I4},
    {kScanRateProperty, "Server Scan Rate", VT_R4},
    {CDACallback::kDescriptionProperty, "Item Description", VT_EMPTY},
};

const PropertyRow* FindProperty(uint32_t id)
{
    for (const PropertyRow& row : kProperties) {
        if (row.id == id) {
            return &row;
        }
    }
    return nullptr;
}

// What the properties of one item show that does not change while a client
// can reach it: taken under the configuration lock.
struct ItemFacts {
    CDATag* item = nullptr;
    VARTYPE canonicalType = VT_EMPTY;
    uint32_t accessRights = 0;
    bool hasChannel = false;
    uint32_t pollPeriod = 0;
};

const CLevelChannel* ChannelAbove(const CLevelElementBase* element)
{
    for (; element != nullptr; element = element->Parent()) {
        if (const auto* channel = dynamic_cast<const CLevelChannel*>(element)) {
            return channel;
        }
    }
    return nullptr;
}

// What changes with every reply: taken under the item lock.
struct ItemState {
    VARIANT value;
    uint16_t quality = 0;
    FILETIME timeStamp{};

    ItemState() { VariantInit(&value); }
    ~ItemState() { VariantClear(&value); }
    ItemState(const ItemState&) = delete;
    ItemState& operator=(const ItemState&) = delete;
};

// The time stamp as clients see it in the property: local time as a variant date.
bool LocalDate(const FILETIME& utc, DATE* date)
{
    FILETIME local;
    return FileTimeToLocalFileTime(utc, &local) && FileTimeCountToVariantDate(FileTimeToUInt64(local), date);
}

}  // namespace

HRESULT CDACallback::QueryNumProperties(const char* itemId, uint32_t* count)
{
    Trace(1, "CDACallback::QueryNumProperties(%s)", itemId != nullptr ? itemId : "");
    {
        CCriticalSectionLock lock(m_context.configurationLock);
        if (FindItem(itemId) == nullptr) {
            return OPC_E_UNKNOWNITEMID;
        }
    }
    if (count == nullptr) {
        return E_INVALIDARG;
    }
    *count = kPropertyCount;
    return S_OK;
}

HRESULT CDACallback::QueryAvailableProperties(const char* itemId, uint32_t count, uint32_t* propertyIds,
                                              char** descriptions, VARTYPE* types)
{
    Trace(1, "CDACallback::QueryAvailableProperties(%s)", itemId != nullptr ? itemId : "");
    VARTYPE canonicalType = VT_EMPTY;
    {
        CCriticalSectionLock lock(m_context.configurationLock);
        const CDATag* item = FindItem(itemId);
        if (item == nullptr) {
            return OPC_E_UNKNOWNITEMID;
        }
        canonicalType = item->m_canonicalType;
    }
    if (count != 0 && (propertyIds == nullptr || descriptions == nullptr || types == nullptr)) {
        return E_INVALIDARG;
    }
    for (uint32_t i = 0; i < count && i < kPropertyCount; ++i) {
        const PropertyRow& row = kProperties[i];
        propertyIds[i] = row.id;
        descriptions[i] = TaskMemCopyUtf8(row.description);
        types[i] = row.type == VT_EMPTY ? canonicalType : row.type;
    }
    return S_OK;
}

HRESULT CDACallback::GetItemProperties(const char* itemId, uint32_t count, const uint32_t* propertyIds,
                                       VARIANT* values, HRESULT* errors)
{
    Trace(1, "CDACallback::GetItemProperties(%s)", itemId != nullptr ? itemId : "");
    if (itemId == nullptr) {
        return S_FALSE;
    }
    if (*itemId == '\0' || count == 0 || propertyIds == nullptr || values == nullptr || errors == nullptr) {
        return E_INVALIDARG;
    }
    ItemFacts facts;
    {
        CCriticalSectionLock lock(m_context.configurationLock);
        facts.item = FindItem(itemId);
        if (facts.item == nullptr) {
            return OPC_E_UNKNOWNITEMID;
        }
        facts.canonicalType = facts.item->m_canonicalType;
        facts.accessRights = facts.item->m_accessRights;
        if (const CLevelChannel* channel = ChannelAbove(facts.item->Owner())) {
            facts.hasChannel = true;
            facts.pollPeriod = channel->Settings().m_pollPeriod;
        }
    }
    ItemState state;
    HRESULT copied = S_OK;
    {
        CCriticalSectionLock lock(ItemLock());
        copied = VariantCopy(&state.value, &facts.item->m_value);
        state.quality = facts.item->m_quality;
        state.timeStamp = facts.item->m_timeStamp;
    }

    HRESULT result = S_OK;
    for (uint32_t i = 0; i < count; ++i) {
        VARIANT& value = values[i];
        errors[i] = S_OK;
        switch (propertyIds[i]) {
            case kCanonicalTypeProperty:
                value.vt = VT_I2;
                value.iVal = static_cast<int16_t>(facts.canonicalType);
                break;
            case kValueProperty:
                errors[i] = SUCCEEDED(copied) ? VariantCopy(&value, &state.value) : copied;
                break;
            case kQualityProperty:
                value.vt = VT_I2;
                value.iVal = static_cast<int16_t>(state.quality);
                break;
            case kTimeStampProperty:
                if (LocalDate(state.timeStamp, &value.date)) {
                    value.vt = VT_DATE;
                } else {
                    errors[i] = E_FAIL;
                }
                break;
            case kAccessRightsProperty:
                value.vt = VT_I4;
                value.lVal = static_cast<int32_t>(facts.accessRights);
                break;
            case kScanRateProperty:
                if (facts.hasChannel) {
                    value.vt = VT_R4;
                    value.fltVal = static_cast<float>(facts.pollPeriod);
                }
                break;
            default:
                errors[i] = OPC_E_INVALID_PID;
                break;
        }
        if (FAILED(errors[i])) {
            result = S_FALSE;
        }
    }
    return result;
}

HRESULT CDACallback::LookupItemIDs(const char* itemId, uint32_t count, const uint32_t* propertyIds,
                                   char** itemIds, HRESULT* errors)
{
    Trace(1, "CDACallback::LookupItemIDs(%s)", itemId != nullptr ? itemId : "");
    if (count == 0) {
        return E_INVALIDARG;
    }
    {
        CCriticalSectionLock lock(m_context.configurationLock);
        if (FindItem(itemId) == nullptr) {
            return OPC_E_UNKNOWNITEMID;
        }
    }
    if (propertyIds == nullptr || itemIds == nullptr || errors == nullptr) {
        return E_INVALIDARG;
    }
    HRESULT result = S_OK;
    for (uint32_t i = 0; i < count; ++i) {
        if (const PropertyRow* row = FindProperty(propertyIds[i])) {
            itemIds[i] = TaskMemCopyUtf8(row->description);
            errors[i] = S_OK;
        } else {
            itemIds[i] = nullptr;
            // Not an error code: the entry says only that the property has no item ID.
            errors[i] = S_FALSE;
            result = S_FALSE;
        }
    }
    return result;
}
