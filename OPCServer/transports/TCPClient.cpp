#include "transports/TCPClient.h"

int CTCPClient::Connect(bool noDelay, bool nonBlocking, int32_t milliseconds)
{
    m_client = 1;
    if (CreateSocket(noDelay, nonBlocking, true) != kResultOk) {
        return kResultFailure;
    }
    switch (ConnectSocket(m_socket, m_remoteAddress, m_remotePort)) {
        case SocketConnect::Connected:
            return kResultOk;
        case SocketConnect::Failed:
            CloseSocket();
            return kResultFailure;
        case SocketConnect::InProgress:
            break;
    }
    if (m_nonBlocking == 0) {
        CloseSocket();
        return kResultFailure;
    }
    switch (WaitSocketWritable(m_socket, WaitFor(milliseconds))) {
        case SocketWait::Ready:
            break;
        case SocketWait::TimedOut:
            return kResultTimeout;
        case SocketWait::Failed:
            CloseSocket();
            return kResultFailure;
    }
    if (SocketPendingError(m_socket) != 0) {
        CloseSocket();
        return kResultFailure;
    }
    return kResultOk;
}
