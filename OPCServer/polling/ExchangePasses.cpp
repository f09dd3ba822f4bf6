// Request sets of the device exchange: planning passes over the items,
// executing their transactions, mapping the replies onto the items, the link
// state and the recovery after a lost device.
#include "app/CommEvents.h"
#include "app/SingleVectors.h"
#include "config/LevelChannel.h"
#include "config/LevelTag.h"
#include "devicemaps/ValueCodec.h"
#include "opcda/DATag.h"
#include "platform/FileTime.h"
#include "polling/DeviceExchange.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <unordered_map>

namespace {

constexpr uint8_t kDirectionRead = 1;
constexpr uint8_t kDirectionWrite = 2;
constexpr uint8_t kProtocolModbus = 1;
constexpr uint8_t kReadHoldingRegisters = 3;
constexpr uint8_t kReadInputRegisters = 4;
constexpr uint8_t kWriteMultipleRegisters = 16;

bool IsRegisterMode(uint8_t accessMode)
{
    return accessMode <= kAccessReadWrite;
}

bool IsReadMode(uint8_t accessMode)
{
    return accessMode == kAccessRead || accessMode == kAccessReadWrite;
}

uint32_t SortKey(const CDATag& item)
{
    return IsRegisterMode(item.AccessMode()) ? 400000u + item.Address() : 0u;
}

// The image holds the code's register count (none for an undefined code,
// which counts as one register).
uint32_t RegisterCount(const CDATag& item)
{
    const uint32_t count = item.RegisterImageSize() / 2;
    return IsRegisterMode(item.AccessMode()) && count != 0 ? count : 1u;
}

uint32_t RequestLimit(const CDATag& item)
{
    return IsRegisterMode(item.AccessMode()) ? CDeviceExchange::kRequestLimit : 1u;
}

// Bit and field codes change their bits inside the last register image read.
bool EncodesFromImage(uint8_t code)
{
    return (code >= 6 && code <= 21) || (code >= 27 && code <= 40);
}

void StableSortByKey(std::vector<CDATag*>& items)
{
    std::vector<std::pair<uint32_t, CDATag*>> keyed;
    keyed.reserve(items.size());
    for (CDATag* item : items) {
        keyed.emplace_back(SortKey(*item), item);
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < keyed.size(); ++i) {
        items[i] = keyed[i].second;
    }
}

// Words for a request in wire order, from register bytes in wire order.
uint16_t WireWord(const uint8_t* bytes)
{
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

}  // namespace

// The items of one read or write, with the transactions of the current pass.
struct CDeviceExchange::RequestSet {
    uint8_t m_slaveAddress = 1;
    uint8_t m_direction = kDirectionRead;
    uint8_t m_protocol = kProtocolModbus;
    bool m_sorted = false;

    // Items still to be served from m_head on; served ones are marked gone.
    std::vector<CDATag*> m_items;
    std::vector<uint8_t> m_gone;
    size_t m_head = 0;

    // The current pass: indices into m_items, and its transactions.
    std::vector<size_t> m_pass;
    std::vector<std::unique_ptr<CTransaction>> m_transactions;

    // Writes: what became of every item of the set.
    std::unordered_map<CDATag*, WriteResult> m_outcomes;

    bool Contains(const CDATag* item) const
    {
        return std::find(m_items.begin(), m_items.end(), item) != m_items.end();
    }
};

void CDeviceExchange::AddItem(CDATag* item)
{
    if (item != nullptr) {
        m_items.push_back(item);
        item->SetExchange(this);
        m_sortedValid = false;
        // Taken before it was collected: the next poll must look.
        if (item->InUse()) {
            NoteItemTaken(item);
        }
    }
}

void CDeviceExchange::ClearItems()
{
    {
        // No reference taken from now on may list an item that is going.
        std::lock_guard<std::mutex> lock(m_takenMutex);
        for (CDATag* item : m_items) {
            item->SetExchange(nullptr);
            item->SetOnInUseList(false);
        }
        m_taken.clear();
        m_taken.shrink_to_fit();
    }
    m_inUse.clear();
    m_inUse.shrink_to_fit();
    m_inUseSorted = true;
    m_letGo.store(0);
    m_items.clear();
    m_items.shrink_to_fit();
    m_sortedItems.clear();
    m_sortedItems.shrink_to_fit();
    m_sortedValid = false;
    m_writePasswordItem = nullptr;
    m_useEvents.store(1);
}

void CDeviceExchange::NoteItemTaken(CDATag* item)
{
    if (item != nullptr) {
        std::lock_guard<std::mutex> lock(m_takenMutex);
        // Checked under the lock that ClearItems takes: an item already let go
        // by its channel is not listed.
        if (item->Exchange() == this) {
            m_taken.push_back(item);
        }
    }
    m_useEvents.fetch_add(1, std::memory_order_seq_cst);
    Wake();
}

void CDeviceExchange::Wake()
{
    {
        // Taken and left so that a waiter between its check and its sleep
        // cannot miss the change.
        std::lock_guard<std::mutex> lock(m_wakeMutex);
    }
    m_wakeUp.notify_all();
}

void CDeviceExchange::WaitForUse(uint32_t ms)
{
    CLevelChannel* channel = m_channel;
    std::unique_lock<std::mutex> lock(m_wakeMutex);
    m_wakeUp.wait_for(lock, std::chrono::milliseconds(ms),
                      [&] { return !NothingInUse() || channel == nullptr || channel->RunFlag() == 0; });
}

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

const std::vector<CDATag*>& CDeviceExchange::SortedItems()
{
    if (!m_sortedValid) {
        m_sortedItems = m_items;
        StableSortByKey(m_sortedItems);
        for (size_t i = 0; i < m_sortedItems.size(); ++i) {
            m_sortedItems[i]->SetRequestRank(static_cast<uint32_t>(i));
        }
        m_sortedValid = true;
        m_inUseSorted = false;
    }
    return m_sortedItems;
}

const std::vector<CDATag*>& CDeviceExchange::ItemsInUse()
{
    (void)SortedItems();
    std::vector<CDATag*> taken;
    {
        std::lock_guard<std::mutex> lock(m_takenMutex);
        taken.swap(m_taken);
    }
    // Taken before the drop below: a reference that comes back meanwhile
    // either keeps its item (still in use) or is taken by the next poll.
    for (CDATag* item : taken) {
        if (!item->OnInUseList() && item->IsReadable()) {
            item->SetOnInUseList(true);
            m_inUse.push_back(item);
            m_inUseSorted = false;
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
    if (!m_inUseSorted) {
        std::sort(m_inUse.begin(), m_inUse.end(),
                  [](const CDATag* a, const CDATag* b) { return a->RequestRank() < b->RequestRank(); });
        m_inUseSorted = true;
    }
    return m_inUse;
}

int CDeviceExchange::Poll()
{
    // Nobody took an item since a poll found none in use: nothing to look at.
    uint32_t useEvents = m_useEvents.load(std::memory_order_seq_cst);
    if (useEvents == 0) {
        return 1;
    }
    RequestSet set;
    set.m_slaveAddress = m_channel != nullptr ? m_channel->Settings().m_slaveAddress : 1;
    {
        // Ranks follow the sorted list made once per build: the items in use
        // come in the order that sorting them would give.
        CLevelChannel* channel = m_channel;
        if (channel == nullptr) {
            return 1;
        }
        CCriticalSectionLock lock(channel->ExchangeLock());
        set.m_items = ItemsInUse();
    }
    if (set.m_items.empty()) {
        // A reference taken meanwhile changed the count: the next poll looks again.
        (void)m_useEvents.compare_exchange_strong(useEvents, 0, std::memory_order_seq_cst);
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
    return RunRequestSet(set);
}

int CDeviceExchange::WriteRequested(uint32_t count, CDATag* const* items, const VARIANT* values,
                                    HRESULT* errors, WriteResult* results)
{
    if (items == nullptr || values == nullptr) {
        return 1;
    }
    CLevelChannel* channel = m_channel;
    std::unique_ptr<CCriticalSectionLock> exchangeLock;
    if (channel != nullptr) {
        exchangeLock = std::make_unique<CCriticalSectionLock>(channel->ExchangeLock());
    }
    CCriticalSection& itemLock = CSingleVectors::Instance().ItemLock();

    RequestSet readSet;
    RequestSet writeSet;
    readSet.m_slaveAddress = channel != nullptr ? channel->Settings().m_slaveAddress : 1;
    writeSet.m_slaveAddress = readSet.m_slaveAddress;
    writeSet.m_direction = kDirectionWrite;

    std::vector<WriteResult> outcome(count, WriteResult::kNone);
    for (uint32_t i = 0; i < count; ++i) {
        CDATag* item = items[i];
        if (item == nullptr) {
            continue;
        }
        if (!item->IsWriteable()) {
            outcome[i] = WriteResult::kNoRights;
            continue;
        }
        if (item->Exchange() != this) {
            continue;
        }
        if (item == m_writePasswordItem) {
            // Kept, not sent: it goes ahead of the next device write.
            CCriticalSectionLock lock(itemLock);
            VARIANT converted;
            VariantInit(&converted);
            if (SUCCEEDED(VariantChangeType(&converted, &values[i], 0, item->m_canonicalType))) {
                VariantClear(&item->m_value);
                item->m_value = converted;
                item->m_quality = OPC_QUALITY_GOOD;
                outcome[i] = WriteResult::kStored;
            } else {
                outcome[i] = WriteResult::kRefused;
            }
            continue;
        }
        // A value the codec cannot take would leave its registers unwritten
        // zeros in the request: refuse it before anything is sent.
        {
            uint8_t image[2 * kMaxItemRegisters] = {};
            uint8_t scratch[2 * kMaxItemRegisters] = {};
            CCriticalSectionLock lock(itemLock);
            if (const uint8_t* current = item->RegisterImage()) {
                std::memcpy(image, current, std::min<size_t>(item->RegisterImageSize(), sizeof image));
            }
            if (EncodeItemValue(0, image, item->Code(), scratch, &values[i]) == 0) {
                outcome[i] = WriteResult::kRefused;
                continue;
            }
        }
        item->SetPendingWriteValue(&values[i]);
        if (!writeSet.Contains(item)) {
            writeSet.m_items.push_back(item);
            writeSet.m_outcomes[item] = WriteResult::kNoAnswer;
            if (!item->IsGood() && item->IsReadable()) {
                readSet.m_items.push_back(item);
            }
        }
    }

    int result = 0;
    if (!readSet.m_items.empty() && RunRequestSet(readSet) != 0) {
        result = 1;
    } else {
        // A bit or field still not read would be written over the stale
        // bits of its register: leave it unwritten.
        std::vector<CDATag*> ready;
        for (CDATag* item : writeSet.m_items) {
            if (item->IsReadable() && !item->IsGood() && EncodesFromImage(item->Code())) {
                continue;
            }
            ready.push_back(item);
        }
        writeSet.m_items.swap(ready);
        result = RunRequestSet(writeSet);
    }

    for (uint32_t i = 0; i < count; ++i) {
        CDATag* item = items[i];
        if (outcome[i] == WriteResult::kNone && item != nullptr) {
            const auto found = writeSet.m_outcomes.find(item);
            if (found != writeSet.m_outcomes.end()) {
                outcome[i] = found->second;
            }
        }
        if (outcome[i] != WriteResult::kNone) {
            if (errors != nullptr) {
                errors[i] = WriteResultCode(outcome[i]);
            }
            if (outcome[i] != WriteResult::kWritten && outcome[i] != WriteResult::kStored &&
                outcome[i] != WriteResult::kNoRights) {
                result = 1;
            }
        }
        if (results != nullptr) {
            results[i] = outcome[i];
        }
    }
    for (const auto& entry : writeSet.m_outcomes) {
        entry.first->SetPendingWriteValue(nullptr);
    }
    return result;
}

int CDeviceExchange::RunRequestSet(RequestSet& set)
{
    if (set.m_items.empty()) {
        return 0;
    }
    CLevelChannel* channel = m_channel;
    if (channel == nullptr) {
        return 1;
    }
    if (!set.m_sorted) {
        StableSortByKey(set.m_items);
        set.m_sorted = true;
    }
    set.m_gone.assign(set.m_items.size(), 0);
    set.m_head = 0;

    for (;;) {
        while (set.m_head < set.m_items.size() && set.m_gone[set.m_head] != 0) {
            ++set.m_head;
        }
        if (set.m_head == set.m_items.size()) {
            return 0;
        }
        CCriticalSectionLock lock(channel->ExchangeLock());
        set.m_transactions.clear();
        if (!PlanPass(set)) {
            return 1;
        }
        const bool seen = std::any_of(set.m_pass.begin(), set.m_pass.end(), [&](size_t index) {
            return set.m_items[index]->TestBit(CDATag::kProcessedBit);
        });
        if (seen) {
            RemoveServed(set);
            continue;
        }
        const bool executed = ExecutePass(set);
        if (executed) {
            if (set.m_direction == kDirectionWrite) {
                MapWriteReply(set);
            } else {
                MapReadReply(set);
            }
        }
        RemoveServed(set);
        if (!executed) {
            return 1;
        }
    }
}

bool CDeviceExchange::PlanPass(RequestSet& set)
{
    if (set.m_protocol != kProtocolModbus) {
        return false;
    }
    set.m_pass.clear();
    const CDATag& first = *set.m_items[set.m_head];
    const uint32_t start = first.Address();
    const uint32_t limit = RequestLimit(first);
    uint32_t count = RegisterCount(first);
    set.m_pass.push_back(set.m_head);
    for (size_t i = set.m_head + 1; i < set.m_items.size() && count < limit; ++i) {
        if (set.m_gone[i] != 0) {
            continue;
        }
        const CDATag& item = *set.m_items[i];
        // Sorted by address: past the first gap no later item can join.
        if (item.Address() > start + count) {
            break;
        }
        if (item.AccessMode() != first.AccessMode()) {
            continue;
        }
        set.m_pass.push_back(i);
        // Keep the largest end, so that a shorter item behind a longer one
        // does not cut the request short of an item merged before it.
        count = std::max(count, item.Address() + RegisterCount(item) - start);
    }

    PrepareFrame();
    if (set.m_direction == kDirectionWrite) {
        BuildWrite(set, start, count);
        return !set.m_transactions.empty();
    }
    if (!IsReadMode(first.AccessMode())) {
        return false;
    }
    m_frame.SetFunctionCode(kReadHoldingRegisters);
    m_frame.SetStartAddress(static_cast<uint16_t>(start));
    m_frame.SetQuantity(static_cast<uint16_t>(count));
    m_frame.ClearValues();
    return m_frame.BuildRequest() && AddTransaction(set, start, count);
}

bool CDeviceExchange::AddTransaction(RequestSet& set, uint32_t start, uint32_t count)
{
    if (m_frame.ExpectedReplyLength() > CExchangeBuffer::kCapacity ||
        m_frame.FrameLength() > CExchangeBuffer::kCapacity) {
        return false;
    }
    auto transaction = std::make_unique<CTransaction>();
    std::memcpy(transaction->m_request.m_data.data(), m_frame.FrameBytes(), m_frame.FrameLength());
    transaction->m_request.m_length = static_cast<uint32_t>(m_frame.FrameLength());
    transaction->m_expectedReplyLength = m_frame.ExpectedReplyLength();
    transaction->m_start = start;
    transaction->m_count = count;
    set.m_transactions.push_back(std::move(transaction));
    return true;
}

void CDeviceExchange::BuildWrite(RequestSet& set, uint32_t start, uint32_t count)
{
    uint8_t data[kRegisterBufferSize] = {};
    uint8_t password[kRegisterBufferSize] = {};
    CCriticalSection& itemLock = CSingleVectors::Instance().ItemLock();
    {
        CCriticalSectionLock lock(itemLock);
        for (size_t index : set.m_pass) {
            CDATag& item = *set.m_items[index];
            if (item.AccessMode() != kAccessWrite && item.AccessMode() != kAccessReadWrite) {
                continue;
            }
            (void)EncodeItemValue(2 * (item.Address() - start), item.RegisterImage(), item.Code(), data,
                                  item.PendingWriteValue());
            CopyImageToSiblings(item);
        }
    }

    if (CDATag* passwordItem = m_writePasswordItem) {
        uint32_t words = 0;
        {
            CCriticalSectionLock lock(itemLock);
            (void)EncodeItemValue(0, passwordItem->RegisterImage(), passwordItem->Code(), password,
                                  &passwordItem->m_value);
            words = RegisterCount(*passwordItem);
        }
        m_frame.SetFunctionCode(kWriteMultipleRegisters);
        m_frame.SetStartAddress(passwordItem->Address());
        m_frame.ClearValues();
        for (uint32_t w = 0; w < words; ++w) {
            m_frame.AppendValue(WireWord(password + 2 * w));
        }
        if (m_frame.BuildRequest()) {
            (void)AddTransaction(set, passwordItem->Address(), words);
        }
    }

    m_frame.SetFunctionCode(kWriteMultipleRegisters);
    m_frame.SetStartAddress(static_cast<uint16_t>(start));
    m_frame.ClearValues();
    for (uint32_t w = 0; w < count && 2 * w + 1 < kRegisterBufferSize; ++w) {
        m_frame.AppendValue(WireWord(data + 2 * w));
    }
    if (m_frame.BuildRequest()) {
        (void)AddTransaction(set, start, count);
    }
}

void CDeviceExchange::CopyImageToSiblings(const CDATag& item)
{
    // Items that share a register (its bits and fields) sit side by side in
    // one group: they get the register as just encoded.
    const uint8_t* image = item.RegisterImage();
    CLevelTag* tag = item.Owner();
    if (image == nullptr || tag == nullptr) {
        return;
    }
    CLevelElementBase* group = tag->Parent();
    while (group != nullptr && group->Kind() != kKindGroup) {
        group = group->Parent();
    }
    if (group == nullptr) {
        return;
    }
    const uint32_t bytes = 2 * RegisterCount(item);
    for (size_t i = 0; i < group->TagCount(); ++i) {
        CDATag* other = group->TagAt(i)->Item();
        if (other == nullptr || other == &item || !other->InUse() ||
            other->AccessMode() != item.AccessMode() || other->Address() != item.Address() ||
            other->RegisterImage() == nullptr) {
            continue;
        }
        std::memcpy(other->RegisterImage(), image, std::min(bytes, other->RegisterImageSize()));
    }
}

bool CDeviceExchange::ExecutePass(RequestSet& set)
{
    for (const std::unique_ptr<CTransaction>& transaction : set.m_transactions) {
        if (transaction->m_status == kTransactionDone) {
            continue;
        }
        if (!RunTransaction(*transaction)) {
            if (transaction->m_status != kTransactionStopped) {
                ReportLinkDown();
                AllItemsBad();
                WaitBeforeReopen();
                m_channel->Close();
                (void)m_channel->Open();
            }
            return false;
        }
        if (transaction->m_status != kTransactionStopped && transaction->m_expectedReplyLength != 0) {
            ReportLinkUp();
        }
    }
    return true;
}

void CDeviceExchange::MapReadReply(RequestSet& set)
{
    if (set.m_transactions.empty()) {
        return;
    }
    const CTransaction& transaction = *set.m_transactions.front();
    PrepareFrame();
    (void)m_frame.ParseReply(transaction.m_response.m_data.data(), transaction.m_response.m_length);
    if (transaction.m_status != kTransactionDone) {
        return;
    }
    // One reply, one moment: every item it serves gets the same time stamp.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    CCriticalSectionLock lock(CSingleVectors::Instance().ItemLock());
    if (m_frame.IsException()) {
        for (size_t index : set.m_pass) {
            CDATag& item = *set.m_items[index];
            item.SetQuality(OPC_QUALITY_UNCERTAIN, now);
            item.SetBit(CDATag::kProcessedBit);
        }
        return;
    }
    // Only a read reply carries registers; it may carry fewer than asked.
    uint8_t registers[kRegisterBufferSize] = {};
    size_t received = 0;
    if (m_frame.FunctionCode() == kReadHoldingRegisters || m_frame.FunctionCode() == kReadInputRegisters) {
        received =
            m_frame.CopyValues(registers, std::min<size_t>(transaction.m_count, kRegisterBufferSize / 2));
    }
    for (size_t index : set.m_pass) {
        CDATag& item = *set.m_items[index];
        uint16_t quality = OPC_QUALITY_UNCERTAIN;
        const uint32_t first = item.Address() - transaction.m_start;
        if (IsReadMode(item.AccessMode()) && first + RegisterCount(item) <= received) {
            DecodeItemValue(2 * first, item.RegisterImage(), item.Code(), registers, &item.m_value);
            quality = OPC_QUALITY_GOOD;
        }
        // Registers the reply did not carry: the last value stays, uncertain.
        item.SetQuality(quality, now);
        item.SetBit(CDATag::kProcessedBit);
    }
}

void CDeviceExchange::MapWriteReply(RequestSet& set)
{
    // The data transaction comes last, behind the write password's.
    if (set.m_transactions.empty()) {
        return;
    }
    const CTransaction& data = *set.m_transactions.back();
    PrepareFrame();
    (void)m_frame.ParseReply(data.m_response.m_data.data(), data.m_response.m_length);
    if (data.m_status != kTransactionDone) {
        return;
    }
    const WriteResult result = m_frame.IsException() ? WriteResult::kDeviceRefused : WriteResult::kWritten;
    for (size_t index : set.m_pass) {
        CDATag* item = set.m_items[index];
        item->SetBit(CDATag::kProcessedBit);
        set.m_outcomes[item] = result;
    }
}

void CDeviceExchange::RemoveServed(RequestSet& set)
{
    // Marks first, clears after: an item listed twice leaves with both entries.
    for (size_t index : set.m_pass) {
        if (set.m_items[index]->TestBit(CDATag::kProcessedBit)) {
            set.m_gone[index] = 1;
        }
    }
    for (size_t index : set.m_pass) {
        if (set.m_gone[index] != 0) {
            set.m_items[index]->ClearAll();
        }
    }
    set.m_pass.clear();
}

void CDeviceExchange::ReportLinkUp()
{
    if (!m_linkUp) {
        CSingleVectors::Instance().RecordCommEvent(kCommLinkUp, m_channel);
    }
    m_linkUp = true;
    m_linkDown = false;
}

void CDeviceExchange::ReportLinkDown()
{
    if (!m_linkDown) {
        CSingleVectors::Instance().RecordCommEvent(kCommLinkDown, m_channel);
    }
    m_linkDown = true;
    m_linkUp = false;
}

void CDeviceExchange::AllItemsBad()
{
    // Under the item lock too: the toolkit reads quality and time stamp under it.
    CCriticalSectionLock lock(CSingleVectors::Instance().ItemLock());
    for (CDATag* item : m_items) {
        item->SetQuality(OPC_QUALITY_BAD);
    }
}

void CDeviceExchange::WaitBeforeReopen()
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(m_recoveryWaitMs.load());
    for (;;) {
        if (m_channel->RunFlag() == 0) {
            return;
        }
        const auto now = Clock::now();
        if (now >= end) {
            return;
        }
        std::this_thread::sleep_for(
            std::min<Clock::duration>(std::chrono::milliseconds(kRecoveryCheckMs), end - now));
    }
}
