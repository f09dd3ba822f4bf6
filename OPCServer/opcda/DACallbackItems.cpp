// Items of the DA callback: adding, validating and removing client references.
#include "opcda/DACallback.h"
#include "opcda/DATag.h"

HRESULT CDACallback::CheckEntry(const char* itemId, VARTYPE requestedType, CDATag** item) const
{
    *item = nullptr;
    if (itemId == nullptr || *itemId == '\0') {
        return E_INVALIDARG;
    }
    CDATag* found = FindItem(itemId);
    if (found == nullptr) {
        return OPC_E_UNKNOWNITEMID;
    }
    if (requestedType != VT_EMPTY && requestedType != found->m_canonicalType) {
        return OPC_E_BADTYPE;
    }
    *item = found;
    return S_OK;
}

HRESULT CDACallback::AddTag(uint32_t /*groupHandle*/, uint32_t count, const char* const* itemIds,
                            const char* const* /*accessPaths*/, const VARTYPE* requestedTypes, COPCTag** tags,
                            HRESULT* errors)
{
    Trace(1, "CDACallback::AddTag(%d)", static_cast<int>(count));
    if (count != 0 &&
        (itemIds == nullptr || requestedTypes == nullptr || tags == nullptr || errors == nullptr)) {
        return E_INVALIDARG;
    }
    CItemAndConfigurationLock lock(*this);
    FILETIME now{};
    bool haveNow = false;
    HRESULT result = S_OK;
    for (uint32_t i = 0; i < count; ++i) {
        CDATag* item = nullptr;
        errors[i] = CheckEntry(itemIds[i], requestedTypes[i], &item);
        tags[i] = item;
        if (item == nullptr) {
            if (errors[i] == OPC_E_UNKNOWNITEMID) {
                Trace(2, "CDACallback::AddTag OPC_E_UNKNOWNITEMID");
            } else if (errors[i] == OPC_E_BADTYPE) {
                Trace(2, "CDACallback::AddTag OPC_E_BADTYPE");
            }
            result = S_FALSE;
            continue;
        }
        // A first client sees the item from the moment it took it.
        if (!item->InUse()) {
            if (!haveNow) {
                GetSystemTimeAsFileTime(&now);
                haveNow = true;
            }
            item->m_timeStamp = now;
        }
        item->AddRef();
    }
    return result;
}

HRESULT CDACallback::ValidateTag(uint32_t /*groupHandle*/, uint32_t count, const char* const* itemIds,
                                 const char* const* /*accessPaths*/, const VARTYPE* requestedTypes,
                                 HRESULT* errors)
{
    Trace(1, "CDACallBack::ValidateTag <%d>", static_cast<int>(count));
    if (count != 0 && (itemIds == nullptr || requestedTypes == nullptr || errors == nullptr)) {
        return E_INVALIDARG;
    }
    CCriticalSectionLock lock(m_context.configurationLock);
    HRESULT result = S_OK;
    for (uint32_t i = 0; i < count; ++i) {
        CDATag* item = nullptr;
        errors[i] = CheckEntry(itemIds[i], requestedTypes[i], &item);
        if (FAILED(errors[i])) {
            result = S_FALSE;
        }
    }
    return result;
}

HRESULT CDACallback::RemoveTag(uint32_t /*groupHandle*/, uint32_t count, COPCTag* const* tags)
{
    Trace(1, "CDACallback::RemoveTag <%d>", static_cast<int>(count));
    if (count == 0) {
        return E_INVALIDARG;
    }
    if (tags == nullptr) {
        return S_FALSE;
    }
    CItemAndConfigurationLock lock(*this);
    for (uint32_t i = 0; i < count; ++i) {
        if (tags[i] != nullptr && tags[i]->InUse()) {
            tags[i]->Release();
        }
    }
    return S_OK;
}
