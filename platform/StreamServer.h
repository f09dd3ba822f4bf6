#pragma once
// Listening TCP sockets and the readiness poller that a network server runs
// on: IPv4 or IPv6, close-on-exec and non-blocking throughout.

#include "platform/Socket.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Binds and listens on host:port (a numeric address, a host name, "*" or
// "0.0.0.0" for every IPv4 interface, "::" for every interface). Port 0 takes a
// free one. kInvalidSocket on failure, with the errno in *error (EADDRINUSE,
// EADDRNOTAVAIL, EACCES ...) or EAI_ errors as their negative values.
SocketHandle CreateListeningSocket(const std::string& host, uint16_t port, int* error);
// Text for a CreateListeningSocket error.
std::string ListenErrorText(int error);
// The port a listening socket took; 0 on error.
uint16_t ListeningPort(SocketHandle socket);
// True for a socket in the listening state (one handed over by a service manager).
bool IsListeningStreamSocket(SocketHandle socket);
// One pending connection, non-blocking, without Nagle's delay; kInvalidSocket
// when there is none (or on error).
SocketHandle AcceptConnection(SocketHandle listener, std::string* peer);
// Ends both directions at once; the handle stays open until closed.
void ShutdownSocket(SocketHandle socket);
// Ends our sending side: the peer reads what was sent, then the end.
void ShutdownSocketSending(SocketHandle socket);
// The machine's host name ("localhost" when it has none).
std::string LocalHostName();
// Bytes from the kernel's random source.
void RandomBytes(void* out, size_t size);

// Waits for readiness of many sockets at once (epoll). Wake may be called from
// any thread; the rest from the thread that waits.
class CSocketPoller {
   public:
    struct Event {
        uint64_t key;  // as registered
        bool readable;
        bool writable;
        bool hangUp;  // error or hang-up
    };

    CSocketPoller();
    ~CSocketPoller();
    CSocketPoller(const CSocketPoller&) = delete;
    CSocketPoller& operator=(const CSocketPoller&) = delete;

    bool IsOpen() const { return m_epoll >= 0 && m_wake >= 0; }
    // Registration; safe from any thread.
    bool Add(SocketHandle socket, uint64_t key, bool wantWrite);
    bool SetWantWrite(SocketHandle socket, uint64_t key, bool wantWrite);
    void Remove(SocketHandle socket);
    // Up to timeoutMs; a Wake ends the wait early (and is reported as no event).
    void Wait(uint32_t timeoutMs, std::vector<Event>* events);
    void Wake();

   private:
    int m_epoll = -1;
    int m_wake = -1;
};
