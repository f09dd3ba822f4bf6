#pragma once
// The Modbus side of the kit's concentrator: functions 3, 4, 6 and 16 on the
// register bank, the write password and the commands.
#include "SimBank.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace VireoSim {

// What one request asked for and how it was answered (the request log).
struct SimRequestInfo {
    uint8_t unit = 0;
    uint8_t function = 0;
    uint16_t start = 0;
    uint16_t count = 0;
    uint8_t exception = 0;  // 0: normal reply
};

class CSimDevice {
   public:
    CSimDevice(CSimBank& bank, uint32_t password) : m_bank(bank), m_password(password) {}

    // Answers the PDU (function code and data) of a request addressed to this
    // device; fills info. The reply PDU is a normal reply or an exception.
    std::vector<uint8_t> Process(const uint8_t* pdu, size_t length, SimRequestInfo& info);

    // Exception reply for the request, without executing it.
    static std::vector<uint8_t> Exception(uint8_t function, uint8_t code);

    bool Unlocked() const { return m_written == m_password; }
    uint32_t WrittenPassword() const { return m_written; }
    uint32_t AcceptedCommands() const { return m_accepted; }
    uint32_t RefusedCommands() const { return m_refused; }

   private:
    uint8_t Read(uint8_t function, uint16_t start, uint16_t count, std::vector<uint8_t>& reply);
    uint8_t Write(uint16_t start, const uint16_t* values, uint16_t count);

    CSimBank& m_bank;
    uint32_t m_password;
    // What the client last wrote to 2600 (low word) and 2601 (high word);
    // those registers themselves read 0.
    uint32_t m_written = 0;
    uint32_t m_accepted = 0;
    uint32_t m_refused = 0;
};

}  // namespace VireoSim
