#include "polling/DeviceExchange.h"

#include "app/CommEvents.h"
#include "app/SingleVectors.h"
#include "config/LevelChannel.h"
#include "platform/Text.h"
#include "polling/FrameTrace.h"
#include "transports/LevelChannelCOM.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Sleeps in short slices so that a stop of the channel ends the pause early;
// false when the run flag was cleared.
bool PauseWhileRunning(const CLevelChannel& channel, uint32_t ms)
{
    using Clock = std::chrono::steady_clock;
    constexpr auto kSlice = std::chrono::milliseconds(10);
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (channel.RunFlag() == 0) {
            return false;
        }
        const auto now = Clock::now();
        if (now >= end) {
            return true;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(kSlice, end - now));
    }
}

}  // namespace

CDeviceExchange::CDeviceExchange() = default;
CDeviceExchange::~CDeviceExchange() = default;

void CDeviceExchange::SetCipher(EncryptPacketFunction encrypt, DecryptPacketFunction decrypt)
{
    m_cipherOverride = true;
    m_encrypt = encrypt;
    m_decrypt = decrypt;
}

void CDeviceExchange::CipherEntries(EncryptPacketFunction* encrypt, DecryptPacketFunction* decrypt) const
{
    if (m_cipherOverride) {
        *encrypt = m_encrypt;
        *decrypt = m_decrypt;
        return;
    }
    const CSingleVectors& app = CSingleVectors::Instance();
    *encrypt = app.EncryptPacket();
    *decrypt = app.DecryptPacket();
}

void CDeviceExchange::PrepareFrame()
{
    // TCP channels speak Modbus TCP; serial and UDP channels carry RTU frames.
    if (m_channel == nullptr) {
        m_frame.SetMode(CModbusFrame::kModeRtu);
        m_frame.SetSlaveAddress(1);
        return;
    }
    m_frame.SetMode(m_channel->Kind() == kKindChannelTCP ? CModbusFrame::kModeTcp : CModbusFrame::kModeRtu);
    m_frame.SetSlaveAddress(m_channel->Settings().m_slaveAddress);
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

bool CDeviceExchange::RunTransaction(CTransaction& transaction)
{
    CLevelChannel* channel = m_channel;
    if (channel == nullptr) {
        return false;
    }
    CCriticalSectionLock exchangeLock(channel->ExchangeLock());

    // A key longer than the buffer is cut: the cipher only ever uses its
    // first 16 bytes, so nothing of the AES key is lost.
    uint8_t key[kKeyBufferSize] = {};
    const std::string ansiKey = Utf8ToCp1251(channel->GetKey());
    std::memcpy(key, ansiKey.data(), std::min<size_t>(ansiKey.size(), kKeyBufferSize - 1));

    if (channel->State() != kChannelOpen) {
        return false;
    }

    EncryptPacketFunction encrypt = nullptr;
    DecryptPacketFunction decrypt = nullptr;
    CipherEntries(&encrypt, &decrypt);
    CSingleVectors& app = CSingleVectors::Instance();
    const CChannelSettings& settings = channel->Settings();
    CExchangeBuffer& response = transaction.m_response;
    CExchangeBuffer& request = transaction.m_request;
    constexpr uint32_t kCapacity = CExchangeBuffer::kCapacity;

    for (uint32_t attempt = 0; attempt < settings.m_attempts; ++attempt) {
        if (channel->RunFlag() == 0) {
            transaction.m_status = kTransactionStopped;
            return false;
        }
        if (settings.m_pauseBeforeRequest != 0 &&
            !PauseWhileRunning(*channel, settings.m_pauseBeforeRequest)) {
            transaction.m_status = kTransactionStopped;
            return false;
        }
        app.RestartLastExchangeTimer();

        // Whatever arrived since the last transaction belongs to no request.
        (void)channel->Receive(nullptr, nullptr);
        (void)channel->Send(nullptr, nullptr);
        // A serial line also drops what its driver holds in both directions.
        if (auto* serial = dynamic_cast<CLevelChannelCOM*>(channel)) {
            (void)serial->Purge(CLevelChannelCOM::kPurgeBeforeAttempt);
        }
        response.Clear();
        m_work.Clear();

        if (encrypt != nullptr) {
            TraceFrameWrite(request.m_data.data(), request.m_length);
            int32_t packetLength = 0;
            encrypt(key, request.m_data.data(), static_cast<int32_t>(request.m_length), m_work.m_data.data(),
                    &packetLength);
            uint32_t sendLength = static_cast<uint32_t>(std::clamp<int32_t>(packetLength, 0, kCapacity));
            (void)channel->Send(m_work.m_data.data(), &sendLength);
            m_work.Clear();
        } else {
            uint32_t sendLength = request.m_length;
            (void)channel->Send(request.m_data.data(), &sendLength);
        }
        app.RestartLastExchangeTimer();

        if (transaction.m_expectedReplyLength == 0) {
            transaction.m_status = kTransactionDone;
            break;
        }

        // The status is not reset between attempts: an attempt that receives
        // nothing reports the previous attempt's fault again.
        do {
            if (decrypt != nullptr) {
                if (m_work.m_length >= kCapacity) {
                    break;
                }
                const uint32_t room = kCapacity - m_work.m_length;
                uint32_t received = room;
                (void)channel->Receive(m_work.m_data.data() + m_work.m_length, &received);
                if (received == 0) {
                    break;
                }
                m_work.m_length += std::min(received, room);
                int32_t plainLength = 0;
                if (decrypt(key, m_work.m_data.data(), static_cast<int32_t>(m_work.m_length),
                            response.m_data.data(), &plainLength) != 0) {
                    transaction.m_status = kTransactionIncomplete;
                    continue;
                }
                // The length field may claim more than was deciphered; only
                // deciphered bytes count.
                const int32_t deciphered =
                    m_work.m_length >= 6 ? static_cast<int32_t>(m_work.m_length - 6) : 0;
                response.m_length = static_cast<uint32_t>(std::clamp(plainLength, 0, deciphered));
                TraceFrameRead(response.m_data.data(), response.m_length);
                transaction.m_status = CheckReply(response);
            } else {
                if (response.m_length >= transaction.m_expectedReplyLength) {
                    break;
                }
                const uint32_t missing = transaction.m_expectedReplyLength - response.m_length;
                uint32_t received = missing;
                (void)channel->Receive(response.m_data.data() + response.m_length, &received);
                if (received == 0) {
                    break;
                }
                response.m_length += std::min(received, missing);
                transaction.m_status = CheckReply(response);
            }
        } while (transaction.m_status == kTransactionIncomplete);

        switch (transaction.m_status) {
            case kTransactionNone:
                app.RecordCommEvent(kCommNoAnswer, channel);
                break;
            case kTransactionBadReply:
                app.RecordCommEvent(kCommKeyMismatch, channel);
                break;
            case kTransactionIncomplete:
                app.RecordCommEvent(kCommBadPacket, channel);
                break;
            default:
                break;
        }
        if (transaction.m_status == kTransactionDone) {
            break;
        }
    }
    return transaction.m_status == kTransactionDone;
}
