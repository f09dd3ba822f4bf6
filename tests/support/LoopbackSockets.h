#pragma once
// Plain loopback sockets for the tests' side of a connection.
#include <chrono>
#include <cstdint>
#include <vector>

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
    bool Receive(std::vector<uint8_t>* datagram, std::chrono::milliseconds wait,
                 uint16_t* fromPort = nullptr);
    bool SendTo(const std::vector<uint8_t>& datagram, uint16_t port, const char* address = "127.0.0.1");
    uint16_t Port() const { return m_port; }

   private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// Whether nothing is bound to the UDP port on any interface right now.
bool UdpPortFree(uint16_t port);

namespace TestSupport {
// The local port a socket is bound to; 0 when unknown.
uint16_t BoundPort(int fd);
}  // namespace TestSupport
