#pragma once
#include "platform/HResult.h"
#include "platform/Variant.h"
#include "polling/ModbusFrame.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

class CDATag;
class CLevelChannel;

// Entry points of the packet cipher library, as the singleton holds them.
using EncryptPacketFunction = void (*)(const uint8_t* key, const uint8_t* plain, int32_t plainLength,
                                       uint8_t* packet, int32_t* packetLength);
using DecryptPacketFunction = int32_t (*)(const uint8_t* key, const uint8_t* packet, int32_t packetLength,
                                          uint8_t* plain, int32_t* plainLength);

// Status of one transaction.
inline constexpr uint8_t kTransactionNone = 0;        // nothing received (yet)
inline constexpr uint8_t kTransactionDone = 1;        // a valid reply, or none expected
inline constexpr uint8_t kTransactionBadReply = 2;    // CRC mismatch or too long
inline constexpr uint8_t kTransactionIncomplete = 3;  // more bytes needed (or not yet decipherable)
inline constexpr uint8_t kTransactionStopped = 5;     // the channel's run flag was cleared
inline constexpr uint8_t kTransactionFailed = 7;      // any other reply check failure

// A fixed byte buffer of a transaction or of enciphered traffic.
struct CExchangeBuffer {
    static constexpr uint32_t kCapacity = 4000;
    std::array<uint8_t, kCapacity> m_data{};
    uint32_t m_length = 0;

    void Clear()
    {
        m_data.fill(0);
        m_length = 0;
    }
};

// One Modbus request and its reply.
struct CTransaction {
    CExchangeBuffer m_response;
    CExchangeBuffer m_request;
    uint32_t m_start = 0;   // first register requested
    uint32_t m_count = 0;   // registers requested
    uint16_t m_expectedReplyLength = 0;
    uint8_t m_status = kTransactionNone;
};

// Turns the items of a channel into Modbus transactions and their replies into
// item values. Every channel embeds one. It runs its transactions in the
// calling thread: the channel's polling thread, or a toolkit thread reading or
// writing on demand.
//
// Locks: every pass and every transaction holds the channel's exchange lock
// (re-entrant); item values, qualities and time stamps change under the item
// lock, taken inside the exchange lock, never the other way round. Statistics
// and debug lines are written with the exchange lock held.
class CDeviceExchange {
public:
    static constexpr uint32_t kRegisterBufferSize = 512;
    // Registers of a read request before the last item merged.
    static constexpr uint32_t kRequestLimit = 120;
    // The channel's key in the ANSI code page, zero-padded; the cipher takes
    // the first 16 bytes.
    static constexpr uint32_t kKeyBufferSize = 18;
    static constexpr uint32_t kCipherKeyBytes = 16;

    CDeviceExchange();
    ~CDeviceExchange();
    CDeviceExchange(const CDeviceExchange&) = delete;
    CDeviceExchange& operator=(const CDeviceExchange&) = delete;

    void SetChannel(CLevelChannel* channel) { m_channel = channel; }
    CLevelChannel* Channel() const { return m_channel; }

    // The items polled and served by this exchange, filled when the channel
    // is built (before any client or thread can reach them) and emptied by
    // its teardown.
    void AddItem(CDATag* item);
    const std::vector<CDATag*>& Items() const { return m_items; }
    // Items emptied and the write password item forgotten.
    void ClearItems();

    // The item "Write_Password" of the device, or null.
    void SetWritePasswordItem(CDATag* item) { m_writePasswordItem = item; }
    CDATag* WritePasswordItem() const { return m_writePasswordItem; }

    // Runs one transaction over the channel: attempts, pause, drain, the
    // envelope, the receive loop, the reply check and its statistics event.
    // True when the status is done. The caller fills the request and its
    // expected reply length.
    [[nodiscard]] bool RunTransaction(CTransaction& transaction);

    // Cipher entry points used instead of the singleton's (tests choose the
    // envelope that way); either may be null.
    void SetCipher(EncryptPacketFunction encrypt, DecryptPacketFunction decrypt);
    void UseSingletonCipher() { m_cipherOverride = false; }

private:
    void PrepareFrame();
    uint8_t CheckReply(const CExchangeBuffer& response);
    void CipherEntries(EncryptPacketFunction* encrypt, DecryptPacketFunction* decrypt) const;

    CDATag* m_writePasswordItem = nullptr;
    CModbusFrame m_frame;
    CLevelChannel* m_channel = nullptr;
    std::vector<CDATag*> m_items;

    // Enciphered traffic of the transaction in progress (exchange lock held).
    CExchangeBuffer m_work;

    bool m_cipherOverride = false;
    EncryptPacketFunction m_encrypt = nullptr;
    DecryptPacketFunction m_decrypt = nullptr;
};
