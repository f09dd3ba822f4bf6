#pragma once
// Peers of the transport tests, each started by the test and stopped with it:
// a socat pseudo-terminal pair, libmodbus RTU and TCP servers, a pymodbus
// UDP server with RTU framing, and plain loopback sockets. Every wait here is
// bounded; a peer that does not come up fails the test instead of hanging it.

#include "polling/ModbusFrame.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <modbus.h>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The holding registers every server of these tests holds: register i is
// base + i * step (mod 65536). The odd step makes all 65536 distinct and
// changes both bytes from one register to the next, so a shifted or swapped
// register shows.
inline constexpr uint32_t kPeerRegisterBase = 0x1357;
inline constexpr uint32_t kPeerRegisterStep = 0x0F1D;
// Enough registers for every address of a channel's item space.
inline constexpr size_t kAllRegisters = 65536;
uint16_t PeerRegisterValue(size_t index);
std::vector<uint16_t> PeerRegisters(size_t count);
// The bytes of registers [start, start + count) as they travel (high byte first).
Bytes PeerRegisterBytes(size_t start, size_t count);

// A child process, optionally with its stdin, stdout or stderr on pipes.
// Stopped by its own id only: stdin closed, then SIGTERM, then SIGKILL,
// each wait bounded.
class CChildProcess {
   public:
    enum Pipes : unsigned { kNone = 0, kStdin = 1, kStdout = 2, kStderr = 4 };

    CChildProcess() = default;
    ~CChildProcess() { Stop(); }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // argv[0] is looked up in PATH. False when it cannot be spawned.
    bool Start(const std::vector<std::string>& argv, unsigned pipes);
    // The next line of stdout (or stderr) without its end, within the wait.
    bool ReadLine(bool fromStderr, std::string* line, std::chrono::milliseconds wait);
    void CloseStdin();
    void Stop();
    bool Running() const { return m_pid > 0; }

   private:
    bool WaitExit(std::chrono::milliseconds wait);

    pid_t m_pid = 0;
    int m_stdin = -1;
    int m_stdout = -1;
    int m_stderr = -1;
    std::string m_pending[2];
};

// Two linked pseudo-terminals made by socat. Both slave ends are also held
// open here, so that a channel closing and reopening its end does not end
// socat's transfer.
class CPtyPair {
   public:
    ~CPtyPair() { Stop(); }
    // False when socat does not report both ends within 5 s.
    bool Start();
    void Stop();
    const std::string& EndA() const { return m_ends[0]; }
    const std::string& EndB() const { return m_ends[1]; }
    // The descriptors held on the two ends (for reading the line settings).
    int KeeperA() const { return m_keepers[0]; }
    int KeeperB() const { return m_keepers[1]; }

   private:
    CChildProcess m_socat;
    std::string m_ends[2];
    int m_keepers[2] = {-1, -1};
};

// A libmodbus RTU server answering slave address 1 from PeerRegisters on
// one end of a line, on a thread of its own.
class CModbusRtuServer {
   public:
    ~CModbusRtuServer() { Stop(); }
    bool Start(const std::string& device, int baud, char parity, size_t registers = 300, int slave = 1);
    void Stop();

   private:
    modbus_t* m_ctx = nullptr;
    modbus_mapping_t* m_mapping = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

// A libmodbus TCP server on 127.0.0.1 holding PeerRegisters, serving one
// connection at a time on a thread of its own; a new connection replaces the
// old one. Can be stopped and started again on the same port.
class CModbusTcpServer {
   public:
    ~CModbusTcpServer() { Stop(); }
    // Port 0: the kernel picks one (Port() tells which).
    bool Start(uint16_t port = 0, size_t registers = 300);
    void Stop();
    uint16_t Port() const { return m_port; }
    // Connections and requests served, counted across restarts.
    int Accepted() const { return m_accepted.load(); }
    uint64_t Requests() const { return m_requests.load(); }

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

// pymodbus (system python3) answering RTU frames in UDP datagrams from
// PeerRegisters, on a loopback port it picks.
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

// The packet envelope built with OpenSSL's AES-128 (ECB, no padding): a
// reference that shares no code with the cipher library.
using CipherKey = std::array<uint8_t, 16>;
Bytes WrapPacket(const CipherKey& key, const Bytes& frame);
// The frame of a whole, well-formed packet; false for anything else.
bool UnwrapPacket(const CipherKey& key, const Bytes& packet, Bytes* frame);

// A Modbus TCP device behind the envelope on 127.0.0.1: every packet that
// arrives is unwrapped with OpenSSL, answered by libmodbus from
// PeerRegisters, and the reply goes back wrapped under the same key.
// Packets that do not unwrap, and bytes that are not packets, get no answer.
class CEnvelopeTcpPeer {
   public:
    ~CEnvelopeTcpPeer() { Stop(); }
    bool Start(const CipherKey& key, size_t registers = 300);
    void Stop();
    uint16_t Port() const { return m_port; }
    // Packets that unwrapped into a Modbus request, and those that did not.
    int Packets() const { return m_packets.load(); }
    int Rejected() const { return m_rejected.load(); }
    // Waits until packets and rejections together reach the count; false when
    // the wait ran out first.
    bool WaitSeen(int count, std::chrono::milliseconds wait);

   private:
    void Serve();
    void Seen(std::atomic<int>& counter);
    // Answers one unwrapped request; empty when libmodbus gives nothing.
    Bytes Answer(const Bytes& request);

    CipherKey m_key{};
    modbus_t* m_ctx = nullptr;
    modbus_mapping_t* m_mapping = nullptr;
    int m_pair[2] = {-1, -1};
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_packets{0};
    std::atomic<int> m_rejected{0};
    std::mutex m_seenMutex;
    std::condition_variable m_seenChanged;
};

// A loopback TCP listener that accepts and keeps connections but never
// answers unless told to.
class CTcpListener {
   public:
    ~CTcpListener() { Close(); }
    // Listens on 127.0.0.1:port (0: any free port) with the backlog.
    bool Listen(uint16_t port = 0, int backlog = 8);
    // Accepts one connection within the wait; its descriptor or -1.
    int Accept(std::chrono::milliseconds wait);
    // Whether a connection waits to be accepted within the wait.
    bool Pending(std::chrono::milliseconds wait) const;
    void Close();
    uint16_t Port() const { return m_port; }
    int Fd() const { return m_fd; }

   private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// A loopback UDP socket on 127.0.0.x (any free port when 0).
class CUdpPeer {
   public:
    ~CUdpPeer() { Close(); }
    bool Bind(const char* address = "127.0.0.1", uint16_t port = 0);
    void Close();
    // One datagram within the wait; false when none came.
    bool Receive(Bytes* datagram, std::chrono::milliseconds wait, uint16_t* fromPort = nullptr);
    bool SendTo(const Bytes& datagram, uint16_t port, const char* address = "127.0.0.1");
    uint16_t Port() const { return m_port; }

   private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// Whether nothing is bound to the UDP port on any interface right now.
bool UdpPortFree(uint16_t port);

// Reads one reply through a receive function the way the device exchange
// does: asks for the missing bytes again and again until the reply checks
// complete, the expected length is there, or a call brings nothing.
Bytes ReceiveReply(const std::function<int(uint8_t*, uint32_t*)>& receive, const CModbusFrame& frame);

// Sets an environment variable for the life of the object.
class CScopedEnv {
   public:
    CScopedEnv(const char* name, const std::string& value);
    ~CScopedEnv();
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

   private:
    std::string m_name;
    bool m_had = false;
    std::string m_old;
};

// Milliseconds since the first call (steady clock).
int64_t ElapsedMs(std::chrono::steady_clock::time_point since);
