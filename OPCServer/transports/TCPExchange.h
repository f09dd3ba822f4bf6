#pragma once
#include "platform/Socket.h"

#include <cstdint>

// A TCP socket with its settings: the flags it is made with, the wait used
// when an operation is given -1, and the remote address (network byte
// order) and port (host order). Every wait is bounded by the time given.
//
// Not locked: the channel that owns it serialises every call.
class CTCPExchange {
   public:
    // Results of the socket operations.
    static constexpr int kResultOk = 0;
    static constexpr int kResultFailure = 1;
    static constexpr int kResultTimeout = static_cast<int>(0x80004106u);  // nothing happened within the wait
    // An operation given this wait uses the object's timeout.
    static constexpr int32_t kUseTimeout = -1;

    CTCPExchange() = default;
    // Closes a socket still held.
    virtual ~CTCPExchange();
    CTCPExchange(const CTCPExchange&) = delete;
    CTCPExchange& operator=(const CTCPExchange&) = delete;

    virtual void SetAddress(uint32_t address, uint16_t port);
    virtual void SetPort(uint16_t port);
    virtual void SetTimeout(uint32_t milliseconds);
    // Takes the handle over; one held before is closed.
    virtual void SetSocket(SocketHandle socket);
    virtual uint32_t GetAddress() const;
    virtual void GetAddressAndPort(uint32_t* address, uint16_t* port) const;
    virtual uint32_t GetTimeout() const;
    virtual SocketHandle GetSocket() const;
    virtual uint16_t GetPort() const;

    // Stores the flags; with a socket held answers 0 and leaves its options.
    // Otherwise makes the socket with SO_REUSEADDR, TCP_NODELAY when asked
    // and the blocking mode asked; any failing step closes it and answers 1.
    virtual int CreateSocket(bool noDelay, bool nonBlocking, bool client);
    // Answers 0.
    virtual int CloseSocket();
    // CloseSocket, then CreateSocket with the stored flags as a client.
    virtual int Recreate();
    virtual bool IsOpen() const;

    // One receive of at most *length bytes after waiting until readable for
    // ms (-1: the timeout). 0 with *length the count; 0x80004106 with
    // *length 0 when nothing came; 1 with *length 0 and the socket closed
    // when the peer closed or the socket failed. No socket: 1. A null buffer
    // or length: 0, nothing done.
    virtual int ReceiveBytes(uint8_t* buffer, uint32_t* length, int32_t milliseconds);
    // Sends *length bytes within ms (-1: the timeout). 0 with *length the
    // count; 0x80004106 with *length the count sent when the wait ran out
    // first; 1 with *length 0 and the socket closed on an error.
    virtual int SendBytes(const uint8_t* buffer, uint32_t* length, int32_t milliseconds);
    // The flags, timeout, address and port of the other object (not its socket).
    virtual void CopySettings(const CTCPExchange& other);

    bool NoDelay() const { return m_noDelay != 0; }
    bool NonBlocking() const { return m_nonBlocking != 0; }
    bool Client() const { return m_client != 0; }

   protected:
    uint32_t WaitFor(int32_t milliseconds) const
    {
        return milliseconds < 0 ? m_timeout : static_cast<uint32_t>(milliseconds);
    }

    uint8_t m_noDelay = 1;
    uint8_t m_nonBlocking = 1;
    uint8_t m_client = 1;
    uint32_t m_timeout = 5000;
    SocketHandle m_socket = kInvalidSocket;
    uint32_t m_remoteAddress = 0;
    uint16_t m_remotePort = 0;
};
