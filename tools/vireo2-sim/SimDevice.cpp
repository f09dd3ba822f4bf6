#include "SimDevice.h"

#include "SimRegisters.h"

namespace VireoSim {

namespace {
uint16_t Be16(const uint8_t* p)
{
    return uint16_t(p[0] << 8 | p[1]);
}
void PushBe16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v & 0xFFu));
}
}  // namespace

std::vector<uint8_t> CSimDevice::Exception(uint8_t function, uint8_t code)
{
    return {uint8_t(function | 0x80u), code};
}

std::vector<uint8_t> CSimDevice::Process(const uint8_t* pdu, size_t length, SimRequestInfo& info)
{
    info.function = length > 0 ? pdu[0] : 0;
    info.start = length >= 3 ? Be16(pdu + 1) : 0;
    info.count = 0;
    info.exception = 0;
    std::vector<uint8_t> reply;
    uint8_t code = 0;
    switch (info.function) {
        case 3:
        case 4:
            info.count = length >= 5 ? Be16(pdu + 3) : 0;
            if (length != 5 || info.count < 1 || info.count > 125) {
                code = kExceptionIllegalValue;
            } else {
                code = Read(info.function, info.start, info.count, reply);
            }
            break;
        case 6:
            info.count = 1;
            if (length != 5) {
                code = kExceptionIllegalValue;
            } else {
                uint16_t value = Be16(pdu + 3);
                code = Write(info.start, &value, 1);
                if (code == 0) reply.assign(pdu, pdu + 5);
            }
            break;
        case 16: {
            info.count = length >= 5 ? Be16(pdu + 3) : 0;
            if (length < 6 || info.count < 1 || info.count > 123 || pdu[5] != 2 * info.count ||
                length != 6 + size_t(2) * info.count) {
                code = kExceptionIllegalValue;
                break;
            }
            std::vector<uint16_t> values(info.count);
            for (size_t i = 0; i < info.count; ++i) values[i] = Be16(pdu + 6 + 2 * i);
            code = Write(info.start, values.data(), info.count);
            if (code == 0) reply.assign(pdu, pdu + 5);
            break;
        }
        default:
            code = kExceptionIllegalFunction;
            break;
    }
    if (code != 0) {
        info.exception = code;
        return Exception(info.function, code);
    }
    return reply;
}

uint8_t CSimDevice::Read(uint8_t function, uint16_t start, uint16_t count, std::vector<uint8_t>& reply)
{
    if (!m_bank.AllMapped(start, count)) return kExceptionIllegalAddress;
    reply.push_back(function);
    reply.push_back(uint8_t(2 * count));
    for (uint32_t a = start; a < uint32_t(start) + count; ++a) PushBe16(reply, m_bank.Get(a));
    return 0;
}

uint8_t CSimDevice::Write(uint16_t start, const uint16_t* values, uint16_t count)
{
    if (!m_bank.AllWritable(start, count)) return kExceptionIllegalAddress;
    bool command = false;
    for (uint32_t i = 0; i < count; ++i) command = command || IsCommandRegister(start + i);
    if (command && !Unlocked()) {
        ++m_refused;
        return kExceptionWriteLocked;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t a = start + i;
        if (a == kPasswordLow) {
            m_written = (m_written & 0xFFFF0000u) | values[i];
        } else if (a == kPasswordHigh) {
            m_written = (m_written & 0x0000FFFFu) | uint32_t(values[i]) << 16;
        } else {
            m_bank.Store(a, values[i]);
        }
    }
    if (command) {
        ++m_accepted;
        m_bank.Store(kMyPinStatusFirst, uint16_t(m_bank.Get(kMyPinStatusFirst) | 1u << kMyPinCommandModeBit));
    }
    return 0;
}

}  // namespace VireoSim
