#include "SimEngine.h"

#include "polling/Crc16.h"

#include <algorithm>
#include <cstdio>

namespace VireoSim {

namespace {
uint16_t Be16(const uint8_t* p)
{
    return uint16_t(p[0] << 8 | p[1]);
}

bool CrcOk(const uint8_t* frame, size_t length)
{
    if (length < 4) return false;
    uint16_t crc = ModbusCrc16(frame, length - 2);
    return frame[length - 2] == (crc & 0xFFu) && frame[length - 1] == (crc >> 8);
}

void AppendCrc(std::vector<uint8_t>& frame, bool corrupt)
{
    uint16_t crc = ModbusCrc16(frame.data(), frame.size());
    if (corrupt) crc ^= 0xFFFFu;
    frame.push_back(uint8_t(crc & 0xFFu));
    frame.push_back(uint8_t(crc >> 8));
}

// Enciphered packet length for a plaintext of n bytes.
size_t PacketLength(size_t n)
{
    return (n + 15) / 16 * 16 + 6;
}
// Longest Modbus frame that goes into an envelope (the TCP ADU limit).
constexpr size_t kMaxPlain = 260;

// Function, start and count of a request PDU, for the log, without executing it.
void Describe(const uint8_t* pdu, size_t length, SimRequestInfo& info)
{
    info.function = length > 0 ? pdu[0] : 0;
    info.start = length >= 3 ? Be16(pdu + 1) : 0;
    info.count = info.function == 6 ? 1 : (length >= 5 ? Be16(pdu + 3) : 0);
}
}  // namespace

const char* LinkName(SimLink link)
{
    switch (link) {
        case SimLink::Tcp:
            return "tcp";
        case SimLink::Udp:
            return "udp";
        case SimLink::Serial:
            return "serial";
    }
    return "?";
}

void CSimEngine::Drop(SimLink link, uint64_t nowMs, const char* reason)
{
    ++m_drops;
    char line[128];
    std::snprintf(line, sizeof line, "drop t=%llu link=%s reason=%s", static_cast<unsigned long long>(nowMs),
                  LinkName(link), reason);
    m_log(line);
}

void CSimEngine::CountFaultUse()
{
    if (m_faults.limit == 0 || !m_faults.Any()) return;
    if (--m_faults.limit == 0) m_faults = SimFaults{};
}

bool CSimEngine::Answer(SimLink link, uint8_t unit, const uint8_t* pdu, size_t length, uint64_t nowMs,
                        std::vector<uint8_t>& reply)
{
    ++m_requests;
    SimRequestInfo info;
    info.unit = unit;
    const char* result = nullptr;
    if (unit != m_slave) {
        Describe(pdu, length, info);
        result = "ignored";
    } else if (m_faults.silence) {
        Describe(pdu, length, info);
        result = "silent";
    } else if (m_faults.exception != 0) {
        Describe(pdu, length, info);
        info.exception = m_faults.exception;
        reply = CSimDevice::Exception(info.function, m_faults.exception);
    } else {
        reply = m_device.Process(pdu, length, info);
    }
    char text[24];
    if (result == nullptr) {
        if (info.exception != 0) {
            std::snprintf(text, sizeof text, "exception=%02X", info.exception);
            result = text;
        } else {
            result = "ok";
        }
    }
    char line[160];
    std::snprintf(line, sizeof line, "req t=%llu link=%s unit=%u fc=%u start=%u count=%u result=%s",
                  static_cast<unsigned long long>(nowMs), LinkName(link), unsigned(info.unit),
                  unsigned(info.function), unsigned(info.start), unsigned(info.count), result);
    m_log(line);
    return unit == m_slave && !m_faults.silence;
}

SimReply CSimEngine::Finish(SimLink link, std::vector<uint8_t> frame, SimStream* stream)
{
    SimReply reply;
    std::vector<uint8_t> bytes;
    if (m_cipher.Enabled()) {
        bytes.resize(PacketLength(frame.size()));
        int32_t packetLength = 0;
        m_cipher.encrypt(m_cipher.key, frame.data(), int32_t(frame.size()), bytes.data(), &packetLength);
        bytes.resize(std::min(bytes.size(), size_t(std::max(packetLength, 0))));
    } else {
        bytes = std::move(frame);
    }
    if (m_faults.truncate != 0 && !bytes.empty()) {
        bytes.resize(bytes.size() - std::min<size_t>(m_faults.truncate, bytes.size() - 1));
    }
    if (link == SimLink::Tcp && stream != nullptr) {
        ++stream->replies;
        reply.closeAfter = m_faults.closeAfter != 0 && stream->replies >= m_faults.closeAfter;
    }
    reply.fromOtherPort = link == SimLink::Udp && m_faults.udpOtherPort;
    size_t piece = m_faults.splitBytes != 0 ? m_faults.splitBytes : bytes.size();
    for (size_t at = 0; at < bytes.size(); at += piece) {
        SimPiece p;
        p.delayMs = at == 0 ? m_faults.delayMs : m_faults.splitGapMs;
        p.bytes.assign(bytes.begin() + long(at), bytes.begin() + long(std::min(bytes.size(), at + piece)));
        reply.pieces.push_back(std::move(p));
    }
    return reply;
}

void CSimEngine::OnRtuFrame(SimLink link, const uint8_t* frame, size_t length, uint64_t nowMs,
                            SimStream* stream, std::vector<SimReply>& out)
{
    std::vector<uint8_t> pdu;
    bool forUs = frame[0] == m_slave;
    if (Answer(link, frame[0], frame + 1, length - 3, nowMs, pdu)) {
        std::vector<uint8_t> reply;
        reply.push_back(m_faults.foreignUnit != 0 ? m_faults.foreignUnit : m_slave);
        reply.insert(reply.end(), pdu.begin(), pdu.end());
        AppendCrc(reply, m_faults.corruptCrc);
        out.push_back(Finish(link, std::move(reply), stream));
    }
    if (forUs) CountFaultUse();
}

void CSimEngine::OnTcpFrame(const uint8_t* frame, size_t length, uint64_t nowMs, SimStream& stream,
                            std::vector<SimReply>& out)
{
    std::vector<uint8_t> pdu;
    bool forUs = frame[6] == m_slave;
    if (Answer(SimLink::Tcp, frame[6], frame + 7, length - 7, nowMs, pdu)) {
        std::vector<uint8_t> reply{frame[0], frame[1], 0, 0};
        size_t mbapLength = pdu.size() + 1;
        reply.push_back(uint8_t(mbapLength >> 8));
        reply.push_back(uint8_t(mbapLength & 0xFFu));
        reply.push_back(m_faults.foreignUnit != 0 ? m_faults.foreignUnit : m_slave);
        reply.insert(reply.end(), pdu.begin(), pdu.end());
        out.push_back(Finish(SimLink::Tcp, std::move(reply), &stream));
    }
    if (forUs) CountFaultUse();
}

size_t CSimEngine::FramePacket(SimLink link, std::vector<uint8_t>& buffer, uint64_t nowMs)
{
    while (!buffer.empty()) {
        if (buffer[0] != 0x55) {
            auto next = std::find(buffer.begin() + 1, buffer.end(), uint8_t(0x55));
            buffer.erase(buffer.begin(), next);
            Drop(link, nowMs, "envelope");
            continue;
        }
        if (buffer.size() < 5) return 0;
        size_t n = Be16(buffer.data() + 1);
        if (n < 4 || n > kMaxPlain || buffer[3] != 0 || buffer[4] != 0) {
            // Not a packet header after all: look for the next one.
            buffer.erase(buffer.begin());
            Drop(link, nowMs, "envelope");
            continue;
        }
        size_t total = PacketLength(n);
        return buffer.size() >= total ? total : 0;
    }
    return 0;
}

bool CSimEngine::Unwrap(SimLink link, const uint8_t* packet, size_t length, uint64_t nowMs,
                        std::vector<uint8_t>& plain)
{
    if (length < 6) {
        Drop(link, nowMs, "envelope");
        return false;
    }
    plain.assign(length, 0);
    int32_t plainLength = 0;
    int32_t code = m_cipher.decrypt(m_cipher.key, packet, int32_t(length), plain.data(), &plainLength);
    if (code != 0) {
        Drop(link, nowMs, code == 2 ? "envelope-checksum" : "envelope");
        return false;
    }
    // The length field is not covered by the checksum check of the block
    // count: never trust it beyond what was deciphered.
    if (plainLength < 0 || size_t(plainLength) > length - 6) {
        Drop(link, nowMs, "envelope-length");
        return false;
    }
    plain.resize(size_t(plainLength));
    return true;
}

bool CSimEngine::OnTcpBytes(SimStream& stream, const uint8_t* data, size_t length, uint64_t nowMs,
                            std::vector<SimReply>& out)
{
    std::vector<uint8_t>& buf = stream.buffer;
    buf.insert(buf.end(), data, data + length);
    for (;;) {
        if (m_cipher.Enabled()) {
            size_t total = FramePacket(SimLink::Tcp, buf, nowMs);
            if (total == 0) return true;
            std::vector<uint8_t> plain;
            bool ok = Unwrap(SimLink::Tcp, buf.data(), total, nowMs, plain);
            buf.erase(buf.begin(), buf.begin() + long(total));
            if (!ok) continue;
            // A packet under another key deciphers into noise: refuse it
            // quietly, as the device does, and keep the connection.
            if (plain.size() < 8 || Be16(plain.data() + 2) != 0 ||
                Be16(plain.data() + 4) + 6u != plain.size()) {
                Drop(SimLink::Tcp, nowMs, "key");
                continue;
            }
            OnTcpFrame(plain.data(), plain.size(), nowMs, stream, out);
            continue;
        }
        if (buf.size() < 7) return true;
        size_t mbapLength = Be16(buf.data() + 4);
        if (Be16(buf.data() + 2) != 0 || mbapLength < 2 || mbapLength > 254) {
            // Without a valid header the stream cannot be re-synchronised.
            Drop(SimLink::Tcp, nowMs, "mbap");
            buf.clear();
            return false;
        }
        size_t total = mbapLength + 6;
        if (buf.size() < total) return true;
        std::vector<uint8_t> frame(buf.begin(), buf.begin() + long(total));
        buf.erase(buf.begin(), buf.begin() + long(total));
        OnTcpFrame(frame.data(), frame.size(), nowMs, stream, out);
    }
}

void CSimEngine::OnSerialBytes(SimStream& stream, const uint8_t* data, size_t length, uint64_t nowMs,
                               std::vector<SimReply>& out)
{
    std::vector<uint8_t>& buf = stream.buffer;
    buf.insert(buf.end(), data, data + length);
    for (;;) {
        if (m_cipher.Enabled()) {
            size_t total = FramePacket(SimLink::Serial, buf, nowMs);
            if (total == 0) return;
            std::vector<uint8_t> plain;
            bool ok = Unwrap(SimLink::Serial, buf.data(), total, nowMs, plain);
            buf.erase(buf.begin(), buf.begin() + long(total));
            if (!ok) continue;
            if (!CrcOk(plain.data(), plain.size())) {
                Drop(SimLink::Serial, nowMs, "key");
                continue;
            }
            OnRtuFrame(SimLink::Serial, plain.data(), plain.size(), nowMs, nullptr, out);
            continue;
        }
        if (buf.size() < 4) return;
        size_t need = 0;
        uint8_t function = buf[1];
        if (function == 3 || function == 4 || function == 6) {
            need = 8;
        } else if (function == 16) {
            if (buf.size() < 7) return;
            need = 9 + size_t(buf[6]);
        } else {
            // Length unknown for this function: the first prefix with a good
            // CRC is the frame; otherwise the gap after it ends it.
            for (size_t n = 4; n <= buf.size() && need == 0; ++n) {
                if (CrcOk(buf.data(), n)) need = n;
            }
            if (need == 0) return;
        }
        if (buf.size() < need) return;
        if (!CrcOk(buf.data(), need)) {
            Drop(SimLink::Serial, nowMs, "crc");
            buf.clear();
            return;
        }
        std::vector<uint8_t> frame(buf.begin(), buf.begin() + long(need));
        buf.erase(buf.begin(), buf.begin() + long(need));
        OnRtuFrame(SimLink::Serial, frame.data(), frame.size(), nowMs, nullptr, out);
    }
}

void CSimEngine::OnSerialGap(SimStream& stream, uint64_t nowMs)
{
    if (stream.buffer.empty()) return;
    stream.buffer.clear();
    Drop(SimLink::Serial, nowMs, "incomplete");
}

void CSimEngine::OnDatagram(const uint8_t* data, size_t length, uint64_t nowMs, std::vector<SimReply>& out)
{
    if (m_cipher.Enabled()) {
        std::vector<uint8_t> plain;
        if (length < 5 || data[0] != 0x55 || PacketLength(Be16(data + 1)) != length) {
            Drop(SimLink::Udp, nowMs, "envelope");
            return;
        }
        if (!Unwrap(SimLink::Udp, data, length, nowMs, plain)) return;
        if (!CrcOk(plain.data(), plain.size())) {
            Drop(SimLink::Udp, nowMs, "key");
            return;
        }
        OnRtuFrame(SimLink::Udp, plain.data(), plain.size(), nowMs, nullptr, out);
        return;
    }
    if (!CrcOk(data, length)) {
        Drop(SimLink::Udp, nowMs, "crc");
        return;
    }
    OnRtuFrame(SimLink::Udp, data, length, nowMs, nullptr, out);
}

}  // namespace VireoSim
