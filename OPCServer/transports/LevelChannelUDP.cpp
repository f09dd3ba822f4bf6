#include "transports/LevelChannelUDP.h"

#include "config/ConfigStream.h"
#include "transports/ChannelDescribe.h"
#include "transports/ChannelDrain.h"

CLevelChannelUDP::CLevelChannelUDP() : CLevelChannel(kKindChannelUDP) {}

CLevelChannelUDP::~CLevelChannelUDP()
{
    Shutdown();
}

void CLevelChannelUDP::Initialise()
{
    CLevelChannel::Initialise();
    (void)Open();
}

int CLevelChannelUDP::Open()
{
    CCriticalSectionLock lock(m_transportLock);
    m_socket = std::make_unique<CUDPExchange>();
    SetState(kChannelOpen);
    return 0;
}

void CLevelChannelUDP::Close()
{
    CCriticalSectionLock lock(m_transportLock);
    if (m_socket) {
        m_socket->CloseSocket();
        m_socket.reset();
    }
    SetState(kChannelClosed);
}

bool CLevelChannelUDP::MakeSocketLocked()
{
    if (!m_socket) {
        return false;
    }
    if (m_socket->IsOpen()) {
        return true;
    }
    m_socket->SetTimeout(ResponseTimeoutMs());
    m_socket->SetAddress(HostToNetwork32(m_datagram.m_ipAddress),
                         static_cast<uint16_t>(m_datagram.m_remotePort),
                         static_cast<uint16_t>(m_datagram.m_localPort));
    if (m_socket->Reopen() != CUDPExchange::kResultOk) {
        m_socket->CloseSocket();  // the local port is taken: the next Send binds again
    }
    return m_socket->IsOpen();
}

int CLevelChannelUDP::Send(uint8_t* bytes, uint32_t* length)
{
    if (bytes == nullptr || length == nullptr) {
        return CUDPExchange::kResultFailure;
    }
    (void)CLevelChannel::Send(bytes, length);  // the frame trace
    CCriticalSectionLock lock(m_transportLock);
    if (!MakeSocketLocked()) {
        *length = 0;  // nothing went out
        return CUDPExchange::kResultFailure;
    }
    m_socket->SetTimeout(ResponseTimeoutMs());
    const int result = m_socket->SendBytes(bytes, length, CUDPExchange::kUseTimeout);
    if (result != CUDPExchange::kResultOk) {
        *length = 0;
    }
    return result;
}

int CLevelChannelUDP::Receive(uint8_t* bytes, uint32_t* length)
{
    int result = CUDPExchange::kResultFailure;
    {
        CCriticalSectionLock lock(m_transportLock);
        if (m_socket && m_socket->IsOpen()) {
            m_socket->SetTimeout(ResponseTimeoutMs());
            if (bytes != nullptr && length != nullptr) {
                result = m_socket->ReceiveBytes(bytes, length, CUDPExchange::kUseTimeout);
                if (result != CUDPExchange::kResultOk) {
                    *length = 0;
                }
            } else {
                // Late replies of earlier requests: discard every datagram waiting.
                DrainPending(*m_socket, CUDPExchange::kResultOk);
                result = CUDPExchange::kResultOk;
            }
        } else if (length != nullptr) {
            *length = 0;
        }
    }
    (void)CLevelChannel::Receive(bytes, length);  // the frame trace
    return result;
}

bool CLevelChannelUDP::Describe(uint32_t row, std::string& label, std::string& value)
{
    switch (row) {
        case 0:
            label = "IP-адрес";
            value = FormatIpAddress(m_datagram.m_ipAddress);
            return true;
        case 1:
            label = "Удалённый UDP-порт";
            value = std::to_string(m_datagram.m_remotePort);
            return true;
        case 2:
            label = "Локальный UDP-порт";
            value = std::to_string(m_datagram.m_localPort);
            return true;
        default:
            return DescribeNetworkSettingsRow(*this, row, label, value);
    }
}

bool CLevelChannelUDP::HasSocket()
{
    CCriticalSectionLock lock(m_transportLock);
    return m_socket && m_socket->IsOpen();
}

uint16_t CLevelChannelUDP::BoundPort()
{
    CCriticalSectionLock lock(m_transportLock);
    uint16_t port = 0;
    if (m_socket && m_socket->IsOpen() && SocketLocalPort(m_socket->Socket(), &port)) {
        return port;
    }
    return 0;
}

void CLevelChannelUDP::SaveKindBlock(CConfigWriter& out) const
{
    out.Words(m_datagram);
}

void CLevelChannelUDP::LoadKindBlock(CConfigReader& in)
{
    (void)in.Words(m_datagram);
}
