// The three ways into the device exchange: the poll of the items in use, the
// read on demand and the write of client values.
#include "config/LevelChannel.h"
#include "devicemaps/ValueCodec.h"
#include "opcda/DATag.h"
#include "polling/RequestSet.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

// Bit and field codes change their bits inside the last register image read.
bool EncodesFromImage(uint8_t code)
{
    return (code >= 6 && code <= 21) || (code >= 27 && code <= 40);
}

}  // namespace

// A write call's two request sets and the outcome of each of its entries.
struct CDeviceExchange::WriteSets {
    RequestSet m_read;
    RequestSet m_write;
    std::vector<WriteResult> m_outcome;
};

HRESULT WriteResultCode(WriteResult result)
{
    switch (result) {
        case WriteResult::kNone:
        case WriteResult::kWritten:
        case WriteResult::kStored:
            return S_OK;
        case WriteResult::kRefused:
            return OPC_E_BADTYPE;
        case WriteResult::kNoRights:
            return OPC_E_BADRIGHTS;
        case WriteResult::kNoAnswer:
        case WriteResult::kDeviceRefused:
            break;
    }
    return E_FAIL;
}

int CDeviceExchange::Poll()
{
    // Nobody took an item since a poll found none in use: nothing to look at.
    const uint32_t seen = m_inUse.Events();
    CLevelChannel* channel = m_channel;
    if (seen == 0 || channel == nullptr) {
        return 1;
    }
    RequestSet set;
    set.m_slaveAddress = channel->Settings().m_slaveAddress;
    {
        // Ranks follow the sorted list made once per build: the items in use
        // come in the order that sorting them would give.
        CCriticalSectionLock lock(channel->ExchangeLock());
        const bool reranked = RankItems();
        set.m_items = m_inUse.Collect(reranked);
    }
    if (set.m_items.empty()) {
        m_inUse.FoundNothing(seen);
        return 1;
    }
    set.m_sorted = true;
    return RunRequestSet(set);
}

int CDeviceExchange::ReadRequested(uint32_t count, CDATag* const* items, HRESULT* errors)
{
    RequestSet set;
    set.m_slaveAddress = m_channel != nullptr ? m_channel->Settings().m_slaveAddress : 1;
    for (uint32_t i = 0; items != nullptr && i < count; ++i) {
        CDATag* item = items[i];
        if (item == nullptr) {
            continue;
        }
        if (!item->IsReadable()) {
            if (errors != nullptr) {
                errors[i] = OPC_E_BADRIGHTS;
            }
            continue;
        }
        if (item->Exchange() == this) {
            set.m_items.push_back(item);
        }
    }
    // An empty set answers 0 without the exchange lock.
    return RunRequestSet(set);
}

int CDeviceExchange::WriteRequested(uint32_t count, CDATag* const* items, const VARIANT* values,
                                    HRESULT* errors, WriteResult* results)
{
    if (items == nullptr || values == nullptr) {
        return 1;
    }
    // As with a read, a write with no item of this exchange neither waits
    // for the exchange lock nor holds it: a channel whose device is silent
    // must not hold up writes to the others.
    std::unique_lock<CCriticalSection> exchangeLock;
    if (m_channel != nullptr && OwnsAnyOf(count, items)) {
        exchangeLock = std::unique_lock<CCriticalSection>(m_channel->ExchangeLock());
    }
    WriteSets sets;
    sets.m_read.m_slaveAddress = m_channel != nullptr ? m_channel->Settings().m_slaveAddress : 1;
    sets.m_write.m_slaveAddress = sets.m_read.m_slaveAddress;
    sets.m_write.m_direction = kDirectionWrite;
    sets.m_outcome.assign(count, WriteResult::kNone);

    SortWrite(count, items, values, sets);
    const int ran = RunWrite(sets);
    const int reported = ReportWrite(count, items, sets, errors, results);
    return ran != 0 || reported != 0 ? 1 : 0;
}

bool CDeviceExchange::OwnsAnyOf(uint32_t count, CDATag* const* items) const
{
    return std::any_of(items, items + count,
                       [this](const CDATag* item) { return item != nullptr && item->Exchange() == this; });
}

void CDeviceExchange::SortWrite(uint32_t count, CDATag* const* items, const VARIANT* values, WriteSets& sets)
{
    for (uint32_t i = 0; i < count; ++i) {
        CDATag* item = items[i];
        if (item == nullptr) {
            continue;
        }
        if (!item->IsWriteable()) {
            sets.m_outcome[i] = WriteResult::kNoRights;
            continue;
        }
        if (item->Exchange() != this) {
            continue;
        }
        if (item == m_writePasswordItem) {
            sets.m_outcome[i] = StoreWritePassword(*item, values[i]);
            continue;
        }
        if (CodecRefuses(*item, values[i])) {
            sets.m_outcome[i] = WriteResult::kRefused;
            continue;
        }
        item->SetPendingWriteValue(&values[i]);
        if (!sets.m_write.Contains(item)) {
            sets.m_write.m_items.push_back(item);
            sets.m_write.m_outcomes[item] = WriteResult::kNoAnswer;
            if (!item->IsGood() && item->IsReadable()) {
                sets.m_read.m_items.push_back(item);
            }
        }
    }
}

WriteResult CDeviceExchange::StoreWritePassword(CDATag& item, const VARIANT& value)
{
    // Kept, not sent: it goes ahead of the next device write.
    CCriticalSectionLock lock(m_services->m_itemLock);
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, &value, 0, item.m_canonicalType))) {
        return WriteResult::kRefused;
    }
    VariantClear(&item.m_value);
    item.m_value = converted;
    item.m_quality = OPC_QUALITY_GOOD;
    return WriteResult::kStored;
}

bool CDeviceExchange::CodecRefuses(CDATag& item, const VARIANT& value)
{
    // A value the codec cannot take would leave its registers unwritten
    // zeros in the request: refuse it before anything is sent.
    uint8_t image[2 * kMaxItemRegisters] = {};
    uint8_t scratch[2 * kMaxItemRegisters] = {};
    CCriticalSectionLock lock(m_services->m_itemLock);
    if (const uint8_t* current = item.RegisterImage()) {
        std::memcpy(image, current, std::min<size_t>(item.RegisterImageSize(), sizeof image));
    }
    return EncodeItemValue(0, image, item.Code(), scratch, &value) == 0;
}

int CDeviceExchange::RunWrite(WriteSets& sets)
{
    if (!sets.m_read.m_items.empty() && RunRequestSet(sets.m_read) != 0) {
        return 1;
    }
    // A bit or field still not read would be written over the stale bits of
    // its register: leave it unwritten.
    std::erase_if(sets.m_write.m_items, [](const CDATag* item) {
        return item->IsReadable() && !item->IsGood() && EncodesFromImage(item->Code());
    });
    return RunRequestSet(sets.m_write);
}

int CDeviceExchange::ReportWrite(uint32_t count, CDATag* const* items, WriteSets& sets, HRESULT* errors,
                                 WriteResult* results)
{
    int result = 0;
    for (uint32_t i = 0; i < count; ++i) {
        WriteResult& outcome = sets.m_outcome[i];
        if (outcome == WriteResult::kNone && items[i] != nullptr) {
            const auto found = sets.m_write.m_outcomes.find(items[i]);
            if (found != sets.m_write.m_outcomes.end()) {
                outcome = found->second;
            }
        }
        if (outcome != WriteResult::kNone) {
            if (errors != nullptr) {
                errors[i] = WriteResultCode(outcome);
            }
            if (outcome != WriteResult::kWritten && outcome != WriteResult::kStored &&
                outcome != WriteResult::kNoRights) {
                result = 1;
            }
        }
        if (results != nullptr) {
            results[i] = outcome;
        }
    }
    // The values point into the caller's array, which is about to go.
    for (const auto& entry : sets.m_write.m_outcomes) {
        entry.first->SetPendingWriteValue(nullptr);
    }
    return result;
}
