#include "polling/ModbusFrame.h"

#include "polling/Crc16.h"

namespace {
constexpr uint8_t kReadHolding = 3;
constexpr uint8_t kReadInput = 4;
constexpr uint8_t kWriteSingle = 6;
constexpr uint8_t kWriteMultiple = 16;
constexpr uint8_t kExceptionBit = 0x80;

// Function code and four bytes: the shortest PDU any request here has.
constexpr size_t kMinRequestPdu = 5;
// Unit identifier byte of the MBAP header; the PDU follows it.
constexpr size_t kMbapLength = 7;

void PutHighFirst(std::vector<uint8_t>& out, uint16_t word)
{
    out.push_back(static_cast<uint8_t>(word >> 8));
    out.push_back(static_cast<uint8_t>(word & 0xFFu));
}

// Values are held in wire order: low half first.
void PutLowFirst(std::vector<uint8_t>& out, uint16_t word)
{
    out.push_back(static_cast<uint8_t>(word & 0xFFu));
    out.push_back(static_cast<uint8_t>(word >> 8));
}

uint16_t HighFirst(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
}  // namespace

void CModbusFrame::SetSlaveAddress(int32_t address)
{
    // 0 is broadcast and 248..255 are reserved: neither names one slave.
    m_slaveAddress = (address >= 1 && address <= 247) ? static_cast<uint8_t>(address) : 0;
}

bool CModbusFrame::BuildRequest()
{
    m_pdu.clear();
    m_frame.clear();
    m_expectedReplyLength = 0;

    uint32_t expected = 0;
    switch (m_functionCode) {
        case kReadHolding:
        case kReadInput:
            m_pdu.push_back(m_functionCode);
            PutHighFirst(m_pdu, m_startAddress);
            PutHighFirst(m_pdu, m_quantity);
            expected = 2u * m_quantity + 3u;
            break;
        case kWriteSingle:
            if (!m_values.empty()) {
                m_pdu.push_back(m_functionCode);
                PutHighFirst(m_pdu, m_startAddress);
                PutLowFirst(m_pdu, m_values.front());
            }
            expected = 6;
            break;
        case kWriteMultiple:
            if (!m_values.empty()) {
                m_quantity = static_cast<uint16_t>(m_values.size());
                m_pdu.push_back(m_functionCode);
                PutHighFirst(m_pdu, m_startAddress);
                PutHighFirst(m_pdu, m_quantity);
                m_pdu.push_back(static_cast<uint8_t>(2u * m_quantity));
                for (uint16_t word : m_values) {
                    PutLowFirst(m_pdu, word);
                }
            }
            expected = 6;
            break;
        default:
            break;
    }
    m_expectedReplyLength = static_cast<uint16_t>(expected);
    if (m_pdu.size() < kMinRequestPdu) {
        return false;
    }

    if (m_mode == kModeRtu) {
        m_frame.push_back(m_slaveAddress);
        m_frame.insert(m_frame.end(), m_pdu.begin(), m_pdu.end());
        PutLowFirst(m_frame, ModbusCrc16(m_frame.data(), m_frame.size()));
        expected += 2;
    } else if (m_mode == kModeTcp) {
        ++m_transactionId;
        PutHighFirst(m_frame, m_transactionId);
        PutHighFirst(m_frame, m_protocolId);
        PutHighFirst(m_frame, static_cast<uint16_t>(m_pdu.size() + 1));
        m_frame.push_back(m_slaveAddress);
        m_frame.insert(m_frame.end(), m_pdu.begin(), m_pdu.end());
        expected += 6;
    } else {
        return false;
    }
    // A read of more than 32765 registers would wrap the 16-bit reply length
    // and make the caller wait for the wrong number of bytes.
    if (expected > UINT16_MAX) {
        m_expectedReplyLength = 0;
        return false;
    }
    m_expectedReplyLength = static_cast<uint16_t>(expected);
    return !m_frame.empty() && m_frame.size() <= kMaxFrameLength;
}

int CModbusFrame::CheckReply(const uint8_t* bytes, size_t length) const
{
    if (m_mode == kModeRtu) {
        if (length < 2) {
            return kCheckIncomplete;
        }
        const uint16_t received = static_cast<uint16_t>(bytes[length - 2] | (bytes[length - 1] << 8));
        if (ModbusCrc16(bytes, length - 2) != received) {
            return kCheckBad;
        }
        if (bytes[0] != m_slaveAddress) {
            return kCheckWrongAddress;
        }
        size_t required = 0;
        const uint8_t function = bytes[1];
        if (function == kReadHolding || function == kReadInput) {
            if (length < 3) {  // no byte count yet
                return kCheckIncomplete;
            }
            required = static_cast<size_t>(bytes[2]) + 5;
        } else if (function == kWriteSingle || function == kWriteMultiple) {
            required = 8;
        } else if (function & kExceptionBit) {
            required = 5;
        } else {
            return kCheckUnknownFunction;
        }
        if (length < required) {
            return kCheckIncomplete;
        }
        return length > required ? kCheckBad : kCheckComplete;
    }
    if (m_mode == kModeTcp) {
        if (length < kMbapLength) {
            return kCheckIncomplete;
        }
        if (bytes[6] != m_slaveAddress) {
            return kCheckWrongAddress;
        }
        const size_t required = static_cast<size_t>(HighFirst(bytes + 4)) + 6;
        if (length < required) {
            return kCheckIncomplete;
        }
        return length > required ? kCheckBad : kCheckComplete;
    }
    return kCheckNoMode;
}

bool CModbusFrame::ParseReply(const uint8_t* bytes, size_t length)
{
    // Cleared even when the check fails, so no caller can copy registers of
    // an earlier reply as if this one had carried them.
    m_values.clear();
    if (CheckReply(bytes, length) != kCheckComplete) {
        return false;
    }
    m_frame.assign(bytes, bytes + length);
    const uint8_t* pdu = nullptr;
    size_t pduLength = 0;
    if (m_mode == kModeRtu) {
        pdu = m_frame.data() + 1;
        pduLength = length - 3;
    } else {
        pdu = m_frame.data() + kMbapLength;
        pduLength = length - kMbapLength;
    }
    // A TCP reply whose length field is 1 is complete but has no PDU at all.
    if (pduLength == 0) {
        return false;
    }
    m_functionCode = pdu[0];

    switch (m_functionCode) {
        case kReadHolding:
        case kReadInput: {
            if (pduLength < 2) {
                return false;
            }
            const size_t byteCount = pdu[1];
            if (pduLength >= byteCount + 2) {
                // Whole registers only: an odd last byte has no partner in the PDU.
                for (size_t i = 0; i + 1 < byteCount; i += 2) {
                    m_values.push_back(static_cast<uint16_t>(pdu[2 + i] | (pdu[3 + i] << 8)));
                }
            }
            return !m_values.empty();
        }
        case kWriteSingle:
            if (pduLength < 5) {
                return false;
            }
            m_startAddress = HighFirst(pdu + 1);
            m_values.push_back(HighFirst(pdu + 3));
            return true;
        case kWriteMultiple:
            if (pduLength < 5) {
                return false;
            }
            m_startAddress = HighFirst(pdu + 1);
            return HighFirst(pdu + 3) != 0;
        default:
            // Exception replies (bit 7) and functions this frame never asks for.
            return false;
    }
}

size_t CModbusFrame::CopyValues(uint8_t* dest, size_t wordCount) const
{
    const size_t count = wordCount < m_values.size() ? wordCount : m_values.size();
    for (size_t i = 0; i < count; ++i) {
        dest[2 * i] = static_cast<uint8_t>(m_values[i] & 0xFFu);
        dest[2 * i + 1] = static_cast<uint8_t>(m_values[i] >> 8);
    }
    return count;
}
