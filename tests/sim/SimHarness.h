#pragma once
// Starts the simulator as a process and talks to it over raw sockets.
#include "support/ChildProcess.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace SimTest {

// Folder of the built programs (VIREO_TEST_BIN).
std::string BinFolder();

// A running simulator. Start waits (bounded) for its "ready" line.
class SimProcess {
   public:
    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // False (with the reason in Error()) when it exits or is not ready in time.
    bool Start(const std::vector<std::string>& args, int timeoutMs = 10000);
    // SIGTERM and a bounded wait; answers the exit status (-1 if it had to be killed).
    int Stop(int signal = 0);
    void Signal(int signal);

    int TcpPort() const { return m_tcpPort; }
    int UdpPort() const { return m_udpPort; }
    int UdpOtherPort() const { return m_udpOtherPort; }
    const std::string& PtyPath() const { return m_ptyPath; }
    const std::string& Error() const { return m_error; }
    int Pid() const { return m_child.Pid(); }

   private:
    CChildProcess m_child;
    int m_tcpPort = 0;
    int m_udpPort = 0;
    int m_udpOtherPort = 0;
    std::string m_ptyPath;
    std::string m_error;
};

// One command line to the control socket; answers its reply line ("" on failure).
std::string Control(const std::string& socketPath, const std::string& line, int timeoutMs = 3000);

// What arrived, and when, on a raw socket.
struct Chunk {
    std::vector<uint8_t> bytes;
    std::chrono::steady_clock::time_point at;
    int fromPort = 0;  // UDP only
};

class TcpClient {
   public:
    explicit TcpClient(int port);
    ~TcpClient();
    bool Connected() const { return m_fd >= 0; }
    bool Send(const std::vector<uint8_t>& bytes);
    // Collects chunks until `want` bytes came, the peer closed, or `idleMs`
    // passed without a byte.
    std::vector<Chunk> Receive(size_t want, int idleMs);
    // Bytes of Receive in one vector.
    std::vector<uint8_t> ReceiveBytes(size_t want, int idleMs);
    bool PeerClosed() const { return m_closed; }

   private:
    int m_fd = -1;
    bool m_closed = false;
};

class UdpClient {
   public:
    UdpClient();
    ~UdpClient();
    bool SendTo(int port, const std::vector<uint8_t>& bytes);
    // Datagrams until `count` came or idleMs passed without one.
    std::vector<Chunk> Receive(size_t count, int idleMs);

   private:
    int m_fd = -1;
};

// Raw bytes on a pseudo-terminal (for frames libmodbus cannot send).
class PtyClient {
   public:
    explicit PtyClient(const std::string& path);
    ~PtyClient();
    bool Opened() const { return m_fd >= 0; }
    bool Send(const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> Receive(size_t want, int idleMs);

   private:
    int m_fd = -1;
};

// Lines of a text file (the request log), read now.
std::vector<std::string> ReadLines(const std::string& path);

}  // namespace SimTest
