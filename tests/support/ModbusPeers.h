#pragma once
// libmodbus and pymodbus servers, each started by the test and stopped with
// it, answering from one shared register pattern. Every wait is bounded; a
// peer that does not come up makes Start fail instead of hanging the test.
#include "support/ChildProcess.h"

#include <atomic>
#include <cstdint>
#include <modbus.h>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The registers every server here holds: holding register i is base + i *
// step (mod 65536), input register i the same from another base. The odd
// step makes all 65536 distinct and changes both bytes from one register to
// the next, so a shifted or swapped register shows.
inline constexpr uint32_t kPeerRegisterBase = 0x1357;
inline constexpr uint32_t kPeerInputBase = 0x8642;
inline constexpr uint32_t kPeerRegisterStep = 0x0F1D;
// Enough registers for every address of a channel's item space.
inline constexpr size_t kAllRegisters = 65536;
uint16_t PeerRegisterValue(size_t index);
uint16_t PeerInputValue(size_t index);
std::vector<uint16_t> PeerRegisters(size_t count);
// The bytes of holding registers [start, start + count) as they travel (high byte first).
Bytes PeerRegisterBytes(size_t start, size_t count);

// A libmodbus RTU server answering one slave address from the pattern on one
// end of a line, on a thread of its own.
class CModbusRtuServer {
   public:
    ~CModbusRtuServer();
    bool Start(const std::string& device, int baud, char parity, size_t registers = 300, int slave = 1);
    void Stop();
    // The holding registers as the server left them; only after Stop.
    std::vector<uint16_t> Holding() const;

   private:
    modbus_t* m_ctx = nullptr;
    modbus_mapping_t* m_mapping = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

// A libmodbus TCP server on 127.0.0.1 holding the pattern, serving one
// connection at a time on a thread of its own; a new connection replaces the
// old one. Can be stopped and started again on the same port.
class CModbusTcpServer {
   public:
    ~CModbusTcpServer();
    // Port 0: the kernel picks one (Port() tells which).
    bool Start(uint16_t port = 0, size_t registers = 300);
    void Stop();
    uint16_t Port() const { return m_port; }
    // Connections and requests served, counted across restarts.
    int Accepted() const { return m_accepted.load(); }
    uint64_t Requests() const { return m_requests.load(); }
    // The holding registers as the server left them; only after Stop.
    std::vector<uint16_t> Holding() const;

   private:
    void Serve();

    modbus_t* m_ctx = nullptr;
    modbus_mapping_t* m_mapping = nullptr;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::atomic<uint64_t> m_requests{0};
};

// pymodbus (system python3) answering RTU frames in UDP datagrams from the
// holding register pattern, on a loopback port it picks.
class CPymodbusUdpServer {
   public:
    ~CPymodbusUdpServer() { Stop(); }
    bool Start(size_t registers = 300);
    void Stop();
    uint16_t Port() const { return m_port; }

   private:
    CChildProcess m_python;
    uint16_t m_port = 0;
};

namespace TestSupport {
// A map of the pattern with the number of holding and input registers.
modbus_mapping_t* MakeMapping(size_t registers);
}  // namespace TestSupport
