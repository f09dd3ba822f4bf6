#pragma once
// A channel whose transport is a script: Send records every frame and hands
// the request to a small Modbus device of the test's own (a register bank);
// Receive replays what the next scripted action makes of the device's reply:
// the whole reply, the reply in pieces, silence, a bad CRC, a foreign address,
// an exception, fewer registers, or bytes given outright. With no action
// queued the device answers normally.
//
// The device speaks RTU on serial and UDP channels and TCP framing on TCP
// channels, parses requests with its own code (not CModbusFrame's) and, when
// given the cipher entries, unwraps requests and wraps replies in the packet
// envelope with the channel's key.
#include "config/LevelChannel.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The Modbus CRC-16, written out here so the device does not lean on the code under test.
uint16_t TestCrc16(const uint8_t* data, size_t length);
void AppendTestCrc(Bytes& frame);

struct DeviceAction {
    enum class Kind {
        kAnswer,          // the device's normal reply
        kSilence,         // nothing comes back
        kBadCrc,          // RTU: last CRC byte flipped; TCP: one byte too many
        kForeignAddress,  // reply from the next slave address (valid otherwise)
        kException,       // function | 0x80 with the exception code
        kFewer,           // a read reply with `count` registers fewer
        kRaw,             // `bytes` as they stand (after the envelope, when on)
        kCutShort,        // only the first `count` bytes of the reply arrive
    };
    Kind m_kind = Kind::kAnswer;
    uint32_t m_count = 0;
    uint8_t m_exceptionCode = 2;
    Bytes m_bytes;
    // Bytes of the reply (after the envelope) per arrival; empty: all at once.
    std::vector<size_t> m_pieces;
    // The reply arrives this long after the request.
    uint32_t m_delayMs = 0;

    static DeviceAction Of(Kind kind)
    {
        DeviceAction a;
        a.m_kind = kind;
        return a;
    }
    static DeviceAction Answer() { return {}; }
    static DeviceAction Silence() { return Of(Kind::kSilence); }
    static DeviceAction BadCrc() { return Of(Kind::kBadCrc); }
    static DeviceAction ForeignAddress() { return Of(Kind::kForeignAddress); }
    static DeviceAction Exception(uint8_t code)
    {
        DeviceAction a = Of(Kind::kException);
        a.m_exceptionCode = code;
        return a;
    }
    static DeviceAction Fewer(uint32_t registers)
    {
        DeviceAction a = Of(Kind::kFewer);
        a.m_count = registers;
        return a;
    }
    static DeviceAction Raw(Bytes bytes)
    {
        DeviceAction a = Of(Kind::kRaw);
        a.m_bytes = std::move(bytes);
        return a;
    }
    static DeviceAction CutShort(uint32_t bytes)
    {
        DeviceAction a = Of(Kind::kCutShort);
        a.m_count = bytes;
        return a;
    }
    static DeviceAction Pieces(std::vector<size_t> pieces)
    {
        DeviceAction a;
        a.m_pieces = std::move(pieces);
        return a;
    }
    static DeviceAction Delayed(uint32_t ms)
    {
        DeviceAction a;
        a.m_delayMs = ms;
        return a;
    }
};

// A request as the device understood it.
struct DeviceRequest {
    uint8_t m_function = 0;
    uint16_t m_start = 0;
    uint16_t m_count = 0;
    std::vector<uint16_t> m_values;  // register values of a write
    bool m_valid = false;
};

class ScriptedChannel : public CLevelChannel {
   public:
    explicit ScriptedChannel(uint8_t kind = kKindChannelCOM, const char* name = "Vireo-2_1");
    ~ScriptedChannel() override;

    int Open() override;
    void Close() override;
    int Send(uint8_t* bytes, uint32_t* length) override;
    int Receive(uint8_t* bytes, uint32_t* length) override;
    int32_t FrameMode() const override { return IsTcp() ? CModbusFrame::kModeTcp : CModbusFrame::kModeRtu; }

    // Actions for the next requests, in order.
    void Script(DeviceAction action);
    void Script(std::initializer_list<DeviceAction> actions);
    // Every reply without a delay of its own arrives this long after its request.
    void SetReplyDelay(uint32_t ms);
    // With nothing scripted, every n-th request (0: none) goes unanswered.
    void SetSilentEvery(size_t n);
    // Opens fail (state 2) while set.
    void SetOpenFails(bool fails);
    // The device side of the envelope (both null: plain frames).
    void SetDeviceCipher(EncryptPacketFunction encrypt, DecryptPacketFunction decrypt, std::string ansiKey);
    // Called in Send with the number of the request (from 1), outside the channel's own lock.
    void OnRequest(std::function<void(size_t)> hook);
    // Silence lasts the response timeout, as with a real transport; set it short in tests.

    // The device's holding registers (values as numbers).
    void SetRegister(uint16_t address, uint16_t value);
    uint16_t Register(uint16_t address) const;

    // What went over the wire and what the device made of it.
    std::vector<Bytes> Wire() const;
    std::vector<Bytes> Requests() const;  // after the envelope
    std::vector<DeviceRequest> Parsed() const;
    std::vector<uint32_t> ReceiveAsks() const;  // lengths the exchange asked Receive for
    size_t RequestCount() const;
    // "Open" and "Close" in the order they ran.
    std::vector<std::string> Calls() const;
    int Opens() const;
    int Closes() const;
    int Drains() const;
    std::vector<std::chrono::steady_clock::time_point> RequestTimes() const;
    // Waits (bounded) until at least n requests were sent.
    bool WaitForRequests(size_t n, std::chrono::milliseconds limit) const;
    void ClearRecords();

   private:
    struct Arrival {
        Bytes m_bytes;
        std::chrono::steady_clock::time_point m_at;
    };
    DeviceRequest ParseRequest(const Bytes& frame) const;
    Bytes BuildReply(const Bytes& request, const DeviceRequest& parsed, const DeviceAction& action);
    bool IsTcp() const { return Kind() == kKindChannelTCP; }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_sent;
    std::deque<DeviceAction> m_script;
    std::deque<Arrival> m_arrivals;
    std::vector<uint16_t> m_registers;
    std::vector<Bytes> m_wire;
    std::vector<Bytes> m_requests;
    std::vector<DeviceRequest> m_parsed;
    std::vector<uint32_t> m_receiveAsks;
    std::vector<std::chrono::steady_clock::time_point> m_requestTimes;
    std::function<void(size_t)> m_onRequest;
    std::vector<std::string> m_calls;
    EncryptPacketFunction m_encrypt = nullptr;
    DecryptPacketFunction m_decrypt = nullptr;
    uint8_t m_key[16] = {};
    uint32_t m_replyDelayMs = 0;
    size_t m_silentEvery = 0;
    bool m_openFails = false;
    int m_opens = 0;
    int m_closes = 0;
    int m_drains = 0;
};
