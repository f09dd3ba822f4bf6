#pragma once
// IPv4 sockets for the channel transports, with POSIX sockets underneath.
// A socket is a file descriptor, kInvalidSocket when there is none. Waits are
// poll() calls bounded by the time given; an interrupted wait resumes for the
// rest of that time. Nothing here raises SIGPIPE. Addresses are given in
// network byte order, ports in host order.

#include <cstddef>
#include <cstdint>

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

// How a bounded wait ended.
enum class SocketWait {
    Ready,     // readable / writable (an error or hang-up counts: the next call reports it)
    TimedOut,  // nothing within the time
    Failed,    // the wait itself failed (bad handle); errno tells why
};

// How a connect call ended.
enum class SocketConnect {
    Connected,   // at once, or the socket was connected already
    InProgress,  // non-blocking connect under way: wait until writable, then ask SocketPendingError
    Failed,      // errno tells why
};

// How one receive or send call ended.
struct SocketTransfer {
    enum Kind {
        Done,        // count bytes moved (a datagram longer than the buffer sets truncated)
        Closed,      // stream: the peer closed the connection; datagram: an empty datagram
        WouldBlock,  // nothing to move now
        Failed,      // error holds the errno
    };
    Kind kind = Failed;
    size_t count = 0;
    bool truncated = false;
    int error = 0;
};

// Stream (TCP) and datagram (UDP) sockets of the IPv4 family, close-on-exec.
// kInvalidSocket on failure.
SocketHandle CreateStreamSocket();
SocketHandle CreateDatagramSocket();
// Closes a handle; kInvalidSocket is ignored.
void CloseSocketHandle(SocketHandle socket);

[[nodiscard]] bool SetSocketReuseAddress(SocketHandle socket);
[[nodiscard]] bool SetSocketNoDelay(SocketHandle socket);
[[nodiscard]] bool SetSocketNonBlocking(SocketHandle socket, bool nonBlocking);

// Binds to every local interface at the port (0: the kernel picks one).
[[nodiscard]] bool BindSocketAnyAddress(SocketHandle socket, uint16_t port);
// The local port the socket is bound to; false when unbound or on error.
[[nodiscard]] bool SocketLocalPort(SocketHandle socket, uint16_t* port);

SocketConnect ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port);
// The socket's pending error (SO_ERROR), cleared by reading it: 0 for a
// connect that succeeded, ECONNREFUSED and the like for one that failed.
int SocketPendingError(SocketHandle socket);

SocketWait WaitSocketReadable(SocketHandle socket, uint32_t milliseconds);
SocketWait WaitSocketWritable(SocketHandle socket, uint32_t milliseconds);

// One recv / send call, never waiting on a non-blocking socket.
SocketTransfer ReceiveFromSocket(SocketHandle socket, uint8_t* buffer, size_t length);
SocketTransfer SendToSocket(SocketHandle socket, const uint8_t* bytes, size_t length);

// One datagram from any sender; its first length bytes land in the buffer.
// The sender's address and port are given when the pointers are not null.
SocketTransfer ReceiveDatagram(SocketHandle socket, uint8_t* buffer, size_t length, uint32_t* senderAddress,
                               uint16_t* senderPort);
// One datagram to address:port.
SocketTransfer SendDatagram(SocketHandle socket, const uint8_t* bytes, size_t length, uint32_t address,
                            uint16_t port);

// Byte order of addresses and ports.
uint32_t HostToNetwork32(uint32_t value);
uint32_t NetworkToHost32(uint32_t value);
