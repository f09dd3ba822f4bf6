#include "platform/Socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in MakeAddress(uint32_t address, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(port);
    return a;
}

bool SetIntOption(SocketHandle socket, int level, int name, int value)
{
    return ::setsockopt(socket, level, name, &value, sizeof value) == 0;
}

SocketWait Wait(SocketHandle socket, short events, uint32_t milliseconds)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{socket, events, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX)));
        if (ready > 0) {
            if ((p.revents & POLLNVAL) != 0) {
                errno = EBADF;
                return SocketWait::Failed;
            }
            return SocketWait::Ready;
        }
        if (ready == 0) {
            return SocketWait::TimedOut;
        }
        if (errno != EINTR) {
            return SocketWait::Failed;
        }
        if (left <= 0) {
            return SocketWait::TimedOut;
        }
    }
}

SocketTransfer FromResult(ssize_t n)
{
    SocketTransfer t;
    if (n > 0) {
        t.kind = SocketTransfer::Done;
        t.count = static_cast<size_t>(n);
    } else if (n == 0) {
        t.kind = SocketTransfer::Closed;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        t.kind = SocketTransfer::WouldBlock;
    } else {
        t.kind = SocketTransfer::Failed;
        t.error = errno;
    }
    return t;
}

}  // namespace

SocketHandle CreateStreamSocket()
{
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

SocketHandle CreateDatagramSocket()
{
    return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
}

void CloseSocketHandle(SocketHandle socket)
{
    if (socket != kInvalidSocket) {
        ::close(socket);
    }
}

bool SetSocketReuseAddress(SocketHandle socket)
{
    // Linux wants an int-sized value here; a one-byte one is refused.
    return SetIntOption(socket, SOL_SOCKET, SO_REUSEADDR, 1);
}

bool SetSocketNoDelay(SocketHandle socket)
{
    return SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
}

bool SetSocketNonBlocking(SocketHandle socket, bool nonBlocking)
{
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0) {
        return false;
    }
    const int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || ::fcntl(socket, F_SETFL, wanted) == 0;
}

bool BindSocketAnyAddress(SocketHandle socket, uint16_t port)
{
    const sockaddr_in a = MakeAddress(htonl(INADDR_ANY), port);
    return ::bind(socket, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

bool SocketLocalPort(SocketHandle socket, uint16_t* port)
{
    sockaddr_in a{};
    socklen_t size = sizeof a;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&a), &size) != 0 || a.sin_family != AF_INET) {
        return false;
    }
    *port = ntohs(a.sin_port);
    return *port != 0;
}

SocketConnect ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port)
{
    const sockaddr_in a = MakeAddress(address, port);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
        return SocketConnect::Connected;
    }
    switch (errno) {
        case EISCONN:
            return SocketConnect::Connected;
        case EINPROGRESS:
        case EALREADY:
        case EINTR:  // the connect goes on in the background
            return SocketConnect::InProgress;
        default:
            return SocketConnect::Failed;
    }
}

int SocketPendingError(SocketHandle socket)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return errno;
    }
    return error;
}

SocketWait WaitSocketReadable(SocketHandle socket, uint32_t milliseconds)
{
    return Wait(socket, POLLIN, milliseconds);
}

SocketWait WaitSocketWritable(SocketHandle socket, uint32_t milliseconds)
{
    return Wait(socket, POLLOUT, milliseconds);
}

SocketTransfer ReceiveFromSocket(SocketHandle socket, uint8_t* buffer, size_t length)
{
    return FromResult(::recv(socket, buffer, length, MSG_DONTWAIT));
}

SocketTransfer SendToSocket(SocketHandle socket, const uint8_t* bytes, size_t length)
{
    return FromResult(::send(socket, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL));
}

SocketTransfer ReceiveDatagram(SocketHandle socket, uint8_t* buffer, size_t length, uint32_t* senderAddress,
                               uint16_t* senderPort)
{
    sockaddr_in from{};
    socklen_t size = sizeof from;
    // MSG_TRUNC: the answer is the datagram's full length, so a cut one shows.
    const ssize_t n = ::recvfrom(socket, buffer, length, MSG_DONTWAIT | MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &size);
    SocketTransfer t = FromResult(n);
    if (t.kind == SocketTransfer::Done && t.count > length) {
        t.count = length;
        t.truncated = true;
    }
    if (n >= 0) {
        if (senderAddress != nullptr) *senderAddress = from.sin_addr.s_addr;
        if (senderPort != nullptr) *senderPort = ntohs(from.sin_port);
    }
    return t;
}

SocketTransfer SendDatagram(SocketHandle socket, const uint8_t* bytes, size_t length, uint32_t address,
                            uint16_t port)
{
    const sockaddr_in a = MakeAddress(address, port);
    return FromResult(::sendto(socket, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&a), sizeof a));
}

uint32_t HostToNetwork32(uint32_t value)
{
    return htonl(value);
}

uint32_t NetworkToHost32(uint32_t value)
{
    return ntohl(value);
}
