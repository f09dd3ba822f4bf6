#include "transports/TCPExchange.h"

#include <chrono>

CTCPExchange::~CTCPExchange()
{
    CloseSocketHandle(m_socket);
}

void CTCPExchange::SetAddress(uint32_t address, uint16_t port)
{
    m_remoteAddress = address;
    m_remotePort = port;
}

void CTCPExchange::SetPort(uint16_t port)
{
    m_remotePort = port;
}

void CTCPExchange::SetTimeout(uint32_t milliseconds)
{
    m_timeout = milliseconds;
}

void CTCPExchange::SetSocket(SocketHandle socket)
{
    if (m_socket != socket) {
        CloseSocketHandle(m_socket);
    }
    m_socket = socket;
}

uint32_t CTCPExchange::GetAddress() const
{
    return m_remoteAddress;
}

void CTCPExchange::GetAddressAndPort(uint32_t* address, uint16_t* port) const
{
    if (address != nullptr) *address = m_remoteAddress;
    if (port != nullptr) *port = m_remotePort;
}

uint32_t CTCPExchange::GetTimeout() const
{
    return m_timeout;
}

SocketHandle CTCPExchange::GetSocket() const
{
    return m_socket;
}

uint16_t CTCPExchange::GetPort() const
{
    return m_remotePort;
}

int CTCPExchange::CreateSocket(bool noDelay, bool nonBlocking, bool client)
{
    m_noDelay = noDelay ? 1 : 0;
    m_nonBlocking = nonBlocking ? 1 : 0;
    m_client = client ? 1 : 0;
    if (m_socket != kInvalidSocket) {
        return kResultOk;
    }
    const SocketHandle socket = CreateStreamSocket();
    if (socket == kInvalidSocket) {
        return kResultFailure;
    }
    if (!SetSocketReuseAddress(socket) || (noDelay && !SetSocketNoDelay(socket)) ||
        !SetSocketNonBlocking(socket, nonBlocking)) {
        CloseSocketHandle(socket);
        return kResultFailure;
    }
    m_socket = socket;
    return kResultOk;
}

int CTCPExchange::CloseSocket()
{
    CloseSocketHandle(m_socket);
    m_socket = kInvalidSocket;
    return kResultOk;
}

int CTCPExchange::Recreate()
{
    CloseSocket();
    return CreateSocket(m_noDelay != 0, m_nonBlocking != 0, true);
}

bool CTCPExchange::IsOpen() const
{
    return m_socket != kInvalidSocket;
}

int CTCPExchange::ReceiveBytes(uint8_t* buffer, uint32_t* length, int32_t milliseconds)
{
    if (m_socket == kInvalidSocket) {
        return kResultFailure;
    }
    if (buffer == nullptr || length == nullptr) {
        return kResultOk;
    }
    // A blocking socket waits as well: no receive may outlast its wait.
    switch (WaitSocketReadable(m_socket, WaitFor(milliseconds))) {
        case SocketWait::Ready:
            break;
        case SocketWait::TimedOut:
            *length = 0;
            return kResultTimeout;
        case SocketWait::Failed:
            *length = 0;
            CloseSocket();
            return kResultFailure;
    }
    const SocketTransfer t = ReceiveFromSocket(m_socket, buffer, *length);
    switch (t.kind) {
        case SocketTransfer::Done:
            *length = static_cast<uint32_t>(t.count);
            return kResultOk;
        case SocketTransfer::WouldBlock:  // readable, and then not: nothing came after all
            *length = 0;
            return kResultTimeout;
        case SocketTransfer::Closed:
        case SocketTransfer::Failed:
            break;
    }
    *length = 0;
    CloseSocket();
    return kResultFailure;
}

int CTCPExchange::SendBytes(const uint8_t* buffer, uint32_t* length, int32_t milliseconds)
{
    if (m_socket == kInvalidSocket) {
        return kResultFailure;
    }
    if (buffer == nullptr || length == nullptr) {
        return kResultOk;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(WaitFor(milliseconds));
    const uint32_t wanted = *length;
    uint32_t sent = 0;
    // A frame sent in part is a broken frame: the rest follows as soon as
    // the socket takes it, within the same wait. The socket is only waited
    // for when it has no room: a request mostly goes out at once.
    while (sent < wanted) {
        const SocketTransfer t = SendToSocket(m_socket, buffer + sent, wanted - sent);
        if (t.kind == SocketTransfer::Done) {
            sent += static_cast<uint32_t>(t.count);
            continue;
        }
        if (t.kind != SocketTransfer::WouldBlock) {
            *length = 0;
            CloseSocket();
            return kResultFailure;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        switch (WaitSocketWritable(m_socket, left > 0 ? static_cast<uint32_t>(left) : 0)) {
            case SocketWait::Ready:
                break;
            case SocketWait::TimedOut:
                *length = sent;
                return kResultTimeout;
            case SocketWait::Failed:
                *length = 0;
                CloseSocket();
                return kResultFailure;
        }
    }
    *length = sent;
    return kResultOk;
}

void CTCPExchange::CopySettings(const CTCPExchange& other)
{
    m_noDelay = other.m_noDelay;
    m_nonBlocking = other.m_nonBlocking;
    m_client = other.m_client;
    m_timeout = other.m_timeout;
    m_remoteAddress = other.m_remoteAddress;
    m_remotePort = other.m_remotePort;
}
