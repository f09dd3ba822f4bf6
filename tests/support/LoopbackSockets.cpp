#include "support/LoopbackSockets.h"

#include "support/Deadline.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using TestSupport::Clock;
using TestSupport::WaitReadable;

namespace {

sockaddr_in Loopback(const char* address, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

}  // namespace

namespace TestSupport {

uint16_t BoundPort(int fd)
{
    sockaddr_in a{};
    socklen_t size = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0) return 0;
    return ntohs(a.sin_port);
}

}  // namespace TestSupport

bool CTcpListener::Listen(uint16_t port, int backlog)
{
    Close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    const int one = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = Loopback("127.0.0.1", port);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(m_fd, backlog) != 0) {
        Close();
        return false;
    }
    m_port = TestSupport::BoundPort(m_fd);
    return true;
}

int CTcpListener::Accept(std::chrono::milliseconds wait)
{
    if (m_fd < 0 || !WaitReadable(m_fd, Clock::now() + wait)) return -1;
    return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

bool CTcpListener::Pending(std::chrono::milliseconds wait) const
{
    return m_fd >= 0 && WaitReadable(m_fd, Clock::now() + wait);
}

void CTcpListener::Close()
{
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

bool CUdpPeer::Bind(const char* address, uint16_t port)
{
    Close();
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    const sockaddr_in a = Loopback(address, port);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        Close();
        return false;
    }
    m_port = TestSupport::BoundPort(m_fd);
    return true;
}

void CUdpPeer::Close()
{
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

bool CUdpPeer::Receive(std::vector<uint8_t>* datagram, std::chrono::milliseconds wait, uint16_t* fromPort)
{
    if (m_fd < 0 || !WaitReadable(m_fd, Clock::now() + wait)) return false;
    uint8_t buffer[2048];
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const ssize_t n = ::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
    if (n < 0) return false;
    datagram->assign(buffer, buffer + n);
    if (fromPort != nullptr) *fromPort = ntohs(from.sin_port);
    return true;
}

bool CUdpPeer::SendTo(const std::vector<uint8_t>& datagram, uint16_t port, const char* address)
{
    const sockaddr_in a = Loopback(address, port);
    return ::sendto(m_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&a),
                    sizeof a) == static_cast<ssize_t>(datagram.size());
}

bool UdpPortFree(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool free = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return free;
}
