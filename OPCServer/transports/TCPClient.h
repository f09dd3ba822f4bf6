#pragma once
#include "transports/TCPExchange.h"

// The client end of a TCP connection.
class CTCPClient : public CTCPExchange {
   public:
    // Makes the socket when there is none and connects it to the remote
    // address and port. 0 when connected (at once, already, or within ms;
    // -1: the timeout); 0x80004106 when the connect is still under way after
    // the wait (the socket stays); 1 when it failed (the socket is closed).
    // A refused connection is a failure, never a connection: when the socket
    // becomes writable its pending error decides.
    virtual int Connect(bool noDelay, bool nonBlocking, int32_t milliseconds);
};
