#pragma once
#include "platform/Socket.h"

#include <cstdint>

// A UDP socket bound to a local port, sending datagrams to one remote
// address (network byte order) and port and taking datagrams from anyone.
// The socket stays in blocking mode; receiving waits with a bounded poll.
//
// Not locked: the channel that owns it serialises every call.
class CUDPExchange {
   public:
    static constexpr int kResultOk = 0;
    static constexpr int kResultFailure = 1;  // failure, or nothing received
    static constexpr int32_t kUseTimeout = -1;

    CUDPExchange() = default;
    // Closes a socket still held.
    virtual ~CUDPExchange();
    CUDPExchange(const CUDPExchange&) = delete;
    CUDPExchange& operator=(const CUDPExchange&) = delete;

    virtual bool IsOpen() const;
    virtual void SetAddress(uint32_t address, uint16_t remotePort, uint16_t localPort);
    virtual void SetPorts(uint16_t remotePort, uint16_t localPort);
    virtual void SetTimeout(uint32_t milliseconds);
    // One datagram of at most *length bytes from any sender, waiting until
    // one is there for ms (-1: the timeout). 0 with *length the count, also
    // for a datagram longer than the buffer (*length unchanged, the rest is
    // lost); 1 for nothing within the wait, an empty datagram (*length 0) or
    // an error. No socket: 1. A null buffer or length: 0, nothing done.
    virtual int ReceiveBytes(uint8_t* buffer, uint32_t* length, int32_t milliseconds);
    // *length bytes as one datagram to the remote address and port. 0 with
    // *length the count; 1 with *length 0. The wait is not used.
    virtual int SendBytes(const uint8_t* buffer, uint32_t* length, int32_t milliseconds);

    // A socket held answers 0. Otherwise makes one and binds it to every
    // local interface at the local port; 1 when either fails (a socket that
    // would not bind stays: the caller closes it).
    int OpenSocket();
    void CloseSocket();
    // CloseSocket, then OpenSocket.
    int Reopen();

    uint32_t Timeout() const { return m_timeout; }
    SocketHandle Socket() const { return m_socket; }
    uint32_t RemoteAddress() const { return m_remoteAddress; }
    uint16_t RemotePort() const { return m_remotePort; }
    uint16_t LocalPort() const { return m_localPort; }

   private:
    uint32_t m_timeout = 5000;
    SocketHandle m_socket = kInvalidSocket;
    uint32_t m_remoteAddress = 0;
    uint16_t m_remotePort = 5001;
    uint16_t m_localPort = 0;
};
