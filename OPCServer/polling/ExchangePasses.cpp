// Request sets of the device exchange: planning passes over the items,
// executing their transactions, mapping the replies onto the items, the link
// state and the recovery after a lost device.
#include "config/LevelChannel.h"
#include "config/LevelTag.h"
#include "devicemaps/ValueCodec.h"
#include "opcda/DATag.h"
#include "platform/FileTime.h"
#include "polling/RequestSet.h"

#include <algorithm>
#include <cstring>

namespace {

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

bool CDeviceExchange::RankItems()
{
    if (m_sortedValid) {
        return false;
    }
    m_sortedItems = m_items;
    StableSortByKey(m_sortedItems);
    for (size_t i = 0; i < m_sortedItems.size(); ++i) {
        m_sortedItems[i]->SetRequestRank(static_cast<uint32_t>(i));
    }
    m_sortedValid = true;
    return true;
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
    CCriticalSection& itemLock = m_services->m_itemLock;
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
    const CLevelElementBase* group = tag->Group();
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
                RecoverFromLostDevice();
            }
            return false;
        }
        if (transaction->m_status != kTransactionStopped && transaction->m_expectedReplyLength != 0) {
            ReportLinkUp();
        }
    }
    return true;
}

void CDeviceExchange::RecoverFromLostDevice()
{
    ReportLinkDown();
    AllItemsBad();
    (void)WaitWhileRunning(m_recoveryWaitMs.load());
    m_channel->Close();
    (void)m_channel->Open();
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
    CCriticalSectionLock lock(m_services->m_itemLock);
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
        m_services->m_events.RecordCommEvent(kCommLinkUp, *m_channel);
    }
    m_linkUp = true;
    m_linkDown = false;
}

void CDeviceExchange::ReportLinkDown()
{
    if (!m_linkDown) {
        m_services->m_events.RecordCommEvent(kCommLinkDown, *m_channel);
    }
    m_linkDown = true;
    m_linkUp = false;
}

void CDeviceExchange::AllItemsBad()
{
    // Under the item lock too: the toolkit reads quality and time stamp under it.
    CCriticalSectionLock lock(m_services->m_itemLock);
    for (CDATag* item : m_items) {
        item->SetQuality(OPC_QUALITY_BAD);
    }
}
