// Device access of the DA callback: scans and writes through every channel's
// device exchange, and the read rights of the cache reads.
#include "config/LevelChannel.h"
#include "opcda/DACallback.h"
#include "opcda/DATag.h"

#include <algorithm>

namespace {

std::vector<CDATag*> ItemsOf(uint32_t count, COPCTag* const* tags)
{
    std::vector<CDATag*> items(count);
    for (uint32_t i = 0; i < count; ++i) {
        items[i] = static_cast<CDATag*>(tags[i]);
    }
    return items;
}

}  // namespace

HRESULT CDACallback::Scan(uint32_t count, COPCTag* const* tags, HRESULT* errors)
{
    Trace(1, "CDACallBack::Scan <%d>", static_cast<int>(count));
    if (count == 0 || tags == nullptr || errors == nullptr) {
        return E_INVALIDARG;
    }
    std::fill_n(errors, count, S_OK);
    const std::vector<CDATag*> items = ItemsOf(count, tags);
    // Each exchange reads its own items and refuses those without read rights.
    for (CLevelChannel* channel : Channels()) {
        (void)channel->Exchange().ReadRequested(count, items.data(), errors);
    }
    return S_OK;
}

HRESULT CDACallback::CheckReadRights(uint32_t count, COPCTag* const* tags, HRESULT* errors)
{
    if (count == 0 || tags == nullptr || errors == nullptr) {
        return E_INVALIDARG;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (tags[i] != nullptr) {
            errors[i] = (tags[i]->m_accessRights & OPC_READABLE) != 0 ? S_OK : OPC_E_BADRIGHTS;
        }
    }
    return S_OK;
}

HRESULT CDACallback::Write(uint32_t count, COPCTag* const* tags, const VARIANT* values, HRESULT* errors)
{
    Trace(1, "CDACallBack::Write <%d>", static_cast<int>(count));
    if (count == 0 || tags == nullptr || values == nullptr || errors == nullptr) {
        return E_INVALIDARG;
    }
    std::fill_n(errors, count, S_OK);
    const std::vector<CDATag*> items = ItemsOf(count, tags);
    std::vector<WriteResult> outcome(count, WriteResult::kNone);
    std::vector<WriteResult> results(count);
    // Each exchange writes its own items and gives each the code of its outcome.
    for (CLevelChannel* channel : Channels()) {
        (void)channel->Exchange().WriteRequested(count, items.data(), values, errors, results.data());
        for (uint32_t i = 0; i < count; ++i) {
            if (results[i] != WriteResult::kNone) {
                outcome[i] = results[i];
            }
        }
    }
    HRESULT result = S_OK;
    for (uint32_t i = 0; i < count; ++i) {
        // No channel holds the item: nothing reached a device.
        if (outcome[i] == WriteResult::kNone && SUCCEEDED(errors[i])) {
            errors[i] = E_FAIL;
        }
        if (FAILED(errors[i])) {
            result = S_FALSE;
        }
    }
    return result;
}
