// One transaction of the device exchange: attempts, the pause before each,
// the drain, the envelope, the receive loop and the reply check.
#include "config/LevelChannel.h"
#include "platform/Text.h"
#include "polling/DeviceExchange.h"
#include "polling/FrameTrace.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// A key longer than the buffer is cut: the cipher only ever uses its first
// 16 bytes, so nothing of the AES key is lost.
std::array<uint8_t, CDeviceExchange::kKeyBufferSize> KeyOf(const CLevelChannel& channel)
{
    std::array<uint8_t, CDeviceExchange::kKeyBufferSize> key{};
    const std::string ansi = Utf8ToCp1251(channel.GetKey());
    std::memcpy(key.data(), ansi.data(), std::min<size_t>(ansi.size(), key.size() - 1));
    return key;
}

}  // namespace

bool CDeviceExchange::RunTransaction(CTransaction& transaction)
{
    CLevelChannel* channel = m_channel;
    if (channel == nullptr) {
        return false;
    }
    CCriticalSectionLock exchangeLock(channel->ExchangeLock());
    // Stopped first: a restart closes the transport after the stop, and a
    // closed channel would otherwise count as a lost device and be reopened.
    if (channel->RunFlag() == 0) {
        transaction.m_status = kTransactionStopped;
        return false;
    }
    if (channel->State() != kChannelOpen) {
        return false;
    }
    const Key key = KeyOf(*channel);
    const CChannelSettings& settings = channel->Settings();
    for (uint32_t attempt = 0; attempt < settings.m_attempts; ++attempt) {
        if (!WaitWhileRunning(channel->PauseBeforeRequestMs())) {
            transaction.m_status = kTransactionStopped;
            return false;
        }
        m_services->m_lastExchangeTimer.Restart();
        // Whatever arrived since the last transaction belongs to no request.
        channel->DropPendingInput();
        transaction.m_response.Clear();
        m_work.Clear();
        SendRequest(transaction, key);
        m_services->m_lastExchangeTimer.Restart();

        if (transaction.m_expectedReplyLength == 0) {
            transaction.m_status = kTransactionDone;
            break;
        }
        ReceiveReply(transaction, key);
        RecordAttempt(transaction.m_status);
        if (transaction.m_status == kTransactionDone) {
            break;
        }
    }
    return transaction.m_status == kTransactionDone;
}

void CDeviceExchange::SendRequest(CTransaction& transaction, const Key& key)
{
    CExchangeBuffer& request = transaction.m_request;
    const EncryptPacketFunction encrypt = m_services->m_encrypt;
    if (encrypt == nullptr) {
        uint32_t length = request.m_length;
        (void)m_channel->Send(request.m_data.data(), &length);
        return;
    }
    TraceFrameWrite(m_services->m_events, request.m_data.data(), request.m_length);
    int32_t packetLength = 0;
    encrypt(key.data(), request.m_data.data(), static_cast<int32_t>(request.m_length), m_work.m_data.data(),
            &packetLength);
    uint32_t length = static_cast<uint32_t>(std::clamp<int32_t>(packetLength, 0, CExchangeBuffer::kCapacity));
    (void)m_channel->Send(m_work.m_data.data(), &length);
    m_work.Clear();
}

void CDeviceExchange::ReceiveReply(CTransaction& transaction, const Key& key)
{
    // The status is not reset between attempts: an attempt that receives
    // nothing reports the previous attempt's fault again.
    const DecryptPacketFunction decrypt = m_services->m_decrypt;
    do {
        const bool received =
            decrypt != nullptr ? ReceiveEnciphered(transaction, decrypt, key) : ReceivePlain(transaction);
        if (!received) {
            break;
        }
    } while (transaction.m_status == kTransactionIncomplete);
}

bool CDeviceExchange::ReceiveEnciphered(CTransaction& transaction, DecryptPacketFunction decrypt,
                                        const Key& key)
{
    constexpr uint32_t kCapacity = CExchangeBuffer::kCapacity;
    if (m_work.m_length >= kCapacity) {
        return false;
    }
    const uint32_t room = kCapacity - m_work.m_length;
    uint32_t received = room;
    (void)m_channel->Receive(m_work.m_data.data() + m_work.m_length, &received);
    if (received == 0) {
        return false;
    }
    m_work.m_length += std::min(received, room);
    CExchangeBuffer& response = transaction.m_response;
    int32_t plainLength = 0;
    if (decrypt(key.data(), m_work.m_data.data(), static_cast<int32_t>(m_work.m_length),
                response.m_data.data(), &plainLength) != 0) {
        transaction.m_status = kTransactionIncomplete;
        return true;
    }
    // The length field may claim more than was deciphered; only deciphered
    // bytes count.
    const int32_t deciphered = m_work.m_length >= 6 ? static_cast<int32_t>(m_work.m_length - 6) : 0;
    response.m_length = static_cast<uint32_t>(std::clamp(plainLength, 0, deciphered));
    TraceFrameRead(m_services->m_events, response.m_data.data(), response.m_length);
    transaction.m_status = CheckReply(response);
    return true;
}

bool CDeviceExchange::ReceivePlain(CTransaction& transaction)
{
    CExchangeBuffer& response = transaction.m_response;
    if (response.m_length >= transaction.m_expectedReplyLength) {
        return false;
    }
    const uint32_t missing = transaction.m_expectedReplyLength - response.m_length;
    uint32_t received = missing;
    (void)m_channel->Receive(response.m_data.data() + response.m_length, &received);
    if (received == 0) {
        return false;
    }
    response.m_length += std::min(received, missing);
    transaction.m_status = CheckReply(response);
    return true;
}

void CDeviceExchange::RecordAttempt(uint8_t status)
{
    IExchangeEvents& events = m_services->m_events;
    switch (status) {
        case kTransactionNone:
            events.RecordCommEvent(kCommNoAnswer, *m_channel);
            break;
        case kTransactionBadReply:
            events.RecordCommEvent(kCommKeyMismatch, *m_channel);
            break;
        case kTransactionIncomplete:
            events.RecordCommEvent(kCommBadPacket, *m_channel);
            break;
        default:
            break;
    }
}

void CDeviceExchange::PrepareFrame()
{
    m_frame.SetMode(m_channel != nullptr ? m_channel->FrameMode() : CModbusFrame::kModeRtu);
    m_frame.SetSlaveAddress(m_channel != nullptr ? m_channel->Settings().m_slaveAddress : 1);
}

uint8_t CDeviceExchange::CheckReply(const CExchangeBuffer& response)
{
    PrepareFrame();
    switch (m_frame.CheckReply(response.m_data.data(), response.m_length)) {
        case CModbusFrame::kCheckComplete:
            return kTransactionDone;
        case CModbusFrame::kCheckIncomplete:
            return kTransactionIncomplete;
        case CModbusFrame::kCheckBad:
            return kTransactionBadReply;
        default:
            return kTransactionFailed;
    }
}
