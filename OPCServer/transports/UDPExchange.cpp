#include "transports/UDPExchange.h"

CUDPExchange::~CUDPExchange()
{
    CloseSocket();
}

bool CUDPExchange::IsOpen() const
{
    return m_socket != kInvalidSocket;
}

void CUDPExchange::SetAddress(uint32_t address, uint16_t remotePort, uint16_t localPort)
{
    m_remoteAddress = address;
    SetPorts(remotePort, localPort);
}

void CUDPExchange::SetPorts(uint16_t remotePort, uint16_t localPort)
{
    m_remotePort = remotePort;
    m_localPort = localPort;
}

void CUDPExchange::SetTimeout(uint32_t milliseconds)
{
    m_timeout = milliseconds;
}

int CUDPExchange::ReceiveBytes(uint8_t* buffer, uint32_t* length, int32_t milliseconds)
{
    if (m_socket == kInvalidSocket) {
        return kResultFailure;
    }
    if (buffer == nullptr || length == nullptr) {
        return kResultOk;
    }
    const uint32_t wait = milliseconds < 0 ? m_timeout : static_cast<uint32_t>(milliseconds);
    if (WaitSocketReadable(m_socket, wait) != SocketWait::Ready) {
        return kResultFailure;  // a time-out is a plain failure here
    }
    // The sender is not compared with the remote address: a device behind a
    // gateway may answer from another one.
    const SocketTransfer t = ReceiveDatagram(m_socket, buffer, *length, nullptr, nullptr);
    switch (t.kind) {
        case SocketTransfer::Done:
            if (!t.truncated) {
                *length = static_cast<uint32_t>(t.count);
            }
            return kResultOk;
        case SocketTransfer::Closed:
            *length = 0;
            return kResultFailure;
        case SocketTransfer::WouldBlock:
        case SocketTransfer::Failed:
            break;
    }
    return kResultFailure;
}

int CUDPExchange::SendBytes(const uint8_t* buffer, uint32_t* length, int32_t /*milliseconds*/)
{
    if (m_socket == kInvalidSocket) {
        return kResultFailure;
    }
    if (buffer == nullptr || length == nullptr) {
        return kResultOk;
    }
    const SocketTransfer t = SendDatagram(m_socket, buffer, *length, m_remoteAddress, m_remotePort);
    if (t.kind == SocketTransfer::Done && t.count > 0) {
        *length = static_cast<uint32_t>(t.count);
        return kResultOk;
    }
    *length = 0;
    return kResultFailure;
}

int CUDPExchange::OpenSocket()
{
    if (m_socket != kInvalidSocket) {
        return kResultOk;
    }
    m_socket = CreateDatagramSocket();
    if (m_socket == kInvalidSocket) {
        return kResultFailure;
    }
    return BindSocketAnyAddress(m_socket, m_localPort) ? kResultOk : kResultFailure;
}

void CUDPExchange::CloseSocket()
{
    CloseSocketHandle(m_socket);
    m_socket = kInvalidSocket;
}

int CUDPExchange::Reopen()
{
    CloseSocket();
    return OpenSocket();
}
