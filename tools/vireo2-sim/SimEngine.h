#pragma once
// Turns the bytes that arrive on a link into the bytes to send back: framing
// (RTU, Modbus TCP), the packet envelope, the device and the faults. No I/O
// here; the caller moves the bytes and keeps the time.
#include "SimDevice.h"
#include "SimFaults.h"
#include "cipher/mardelCrypto.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace VireoSim {

// The cipher library's two entry points and the key they are called with.
struct SimCipher {
    using EncryptFn = decltype(&_encryptPacket);
    using DecryptFn = decltype(&_decryptPacket);
    EncryptFn encrypt = nullptr;
    DecryptFn decrypt = nullptr;
    uint8_t key[18] = {};

    bool Enabled() const { return encrypt != nullptr && decrypt != nullptr; }
};

enum class SimLink { Tcp, Udp, Serial };
const char* LinkName(SimLink link);

// Bytes to send, `delayMs` after the previous piece of the same reply (the
// first piece: after the request arrived).
struct SimPiece {
    uint32_t delayMs = 0;
    std::vector<uint8_t> bytes;
};

struct SimReply {
    std::vector<SimPiece> pieces;
    bool closeAfter = false;     // TCP: close the connection once it is sent
    bool fromOtherPort = false;  // UDP: send from the second socket
};

// Input collected on a stream link (TCP connection, serial line).
struct SimStream {
    std::vector<uint8_t> buffer;
    uint32_t replies = 0;  // replies sent on this TCP connection
};

class CSimEngine {
   public:
    using LogFn = std::function<void(const std::string&)>;

    CSimEngine(CSimDevice& device, uint8_t slave, const SimCipher& cipher, LogFn log)
        : m_device(device), m_slave(slave), m_cipher(cipher), m_log(std::move(log))
    {
    }

    SimFaults& Faults() { return m_faults; }
    // With both entry points set, every frame travels in the envelope.
    void SetCipher(const SimCipher& cipher) { m_cipher = cipher; }

    // Feed what arrived; replies for every complete request are appended.
    // Answers false when a TCP stream cannot be framed any more (close it).
    bool OnTcpBytes(SimStream& stream, const uint8_t* data, size_t length, uint64_t nowMs,
                    std::vector<SimReply>& out);
    void OnSerialBytes(SimStream& stream, const uint8_t* data, size_t length, uint64_t nowMs,
                       std::vector<SimReply>& out);
    // The line was quiet long enough to end a frame: what is left is dropped.
    void OnSerialGap(SimStream& stream, uint64_t nowMs);
    void OnDatagram(const uint8_t* data, size_t length, uint64_t nowMs, std::vector<SimReply>& out);

    uint64_t Requests() const { return m_requests; }
    uint64_t Drops() const { return m_drops; }

   private:
    // An RTU frame (address, PDU, CRC) or a Modbus TCP frame, unwrapped.
    void OnRtuFrame(SimLink link, const uint8_t* frame, size_t length, uint64_t nowMs, SimStream* stream,
                    std::vector<SimReply>& out);
    void OnTcpFrame(const uint8_t* frame, size_t length, uint64_t nowMs, SimStream& stream,
                    std::vector<SimReply>& out);
    // Answers the PDU; false when no reply goes out (not ours, silenced).
    bool Answer(SimLink link, uint8_t unit, const uint8_t* pdu, size_t length, uint64_t nowMs,
                std::vector<uint8_t>& reply);
    // Envelope, truncation, pieces and delay for a finished reply frame.
    SimReply Finish(SimLink link, std::vector<uint8_t> frame, SimStream* stream);
    // Length of the envelope packet at the front of buffer: 0 when more bytes
    // are needed, otherwise the packet length; leading garbage is dropped.
    size_t FramePacket(SimLink link, std::vector<uint8_t>& buffer, uint64_t nowMs);
    // Deciphers a whole packet; false (logged) when it is refused.
    bool Unwrap(SimLink link, const uint8_t* packet, size_t length, uint64_t nowMs,
                std::vector<uint8_t>& plain);
    void Drop(SimLink link, uint64_t nowMs, const char* reason);
    void CountFaultUse();

    CSimDevice& m_device;
    uint8_t m_slave;
    SimCipher m_cipher;
    LogFn m_log;
    SimFaults m_faults;
    uint64_t m_requests = 0;
    uint64_t m_drops = 0;
};

}  // namespace VireoSim
