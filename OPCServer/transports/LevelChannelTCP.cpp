#include "transports/LevelChannelTCP.h"

#include "config/ConfigStream.h"
#include "transports/ChannelDescribe.h"
#include "transports/ChannelDrain.h"

#include <algorithm>

CLevelChannelTCP::CLevelChannelTCP() : CLevelChannel(kKindChannelTCP) {}

CLevelChannelTCP::~CLevelChannelTCP()
{
    Shutdown();
}

void CLevelChannelTCP::Initialise()
{
    CLevelChannel::Initialise();
    (void)Open();
}

int CLevelChannelTCP::Open()
{
    CCriticalSectionLock lock(m_transportLock);
    // A new object has the no-delay and non-blocking flags set and no
    // socket: the first Send connects.
    m_client = std::make_unique<CTCPClient>();
    SetState(kChannelOpen);
    return 0;
}

void CLevelChannelTCP::Close()
{
    CCriticalSectionLock lock(m_transportLock);
    m_client.reset();
    SetState(kChannelClosed);
}

uint32_t CLevelChannelTCP::ConnectionTimeoutMs() const
{
    return std::clamp(m_connection.m_connectionTimeout, kMinConnectionTimeoutMs, kMaxConnectionTimeoutMs);
}

bool CLevelChannelTCP::ConnectLocked()
{
    if (!m_client) {
        return false;
    }
    if (m_client->IsOpen()) {
        return true;
    }
    m_client->SetTimeout(ConnectionTimeoutMs());
    m_client->SetAddress(HostToNetwork32(m_connection.m_ipAddress),
                         static_cast<uint16_t>(m_connection.m_tcpPort));
    (void)m_client->Recreate();
    if (m_client->Connect(true, true, CTCPExchange::kUseTimeout) != CTCPExchange::kResultOk) {
        m_client->CloseSocket();
    }
    return m_client->IsOpen();
}

int CLevelChannelTCP::Send(uint8_t* bytes, uint32_t* length)
{
    if (bytes == nullptr || length == nullptr) {
        return CTCPExchange::kResultFailure;
    }
    (void)CLevelChannel::Send(bytes, length);  // the frame trace
    CCriticalSectionLock lock(m_transportLock);
    if (!ConnectLocked()) {
        *length = 0;  // nothing went out
        return CTCPExchange::kResultFailure;
    }
    m_client->SetTimeout(ResponseTimeoutMs());
    return m_client->SendBytes(bytes, length, CTCPExchange::kUseTimeout);
}

int CLevelChannelTCP::Receive(uint8_t* bytes, uint32_t* length)
{
    int result = CTCPExchange::kResultFailure;
    {
        CCriticalSectionLock lock(m_transportLock);
        if (m_client && m_client->IsOpen()) {
            m_client->SetTimeout(ResponseTimeoutMs());
            if (bytes != nullptr && length != nullptr) {
                result = m_client->ReceiveBytes(bytes, length, CTCPExchange::kUseTimeout);
            } else {
                // Stale bytes belong to no request: read them away without waiting.
                DrainPending(*m_client, CTCPExchange::kResultOk);
                result = CTCPExchange::kResultOk;
            }
        } else if (length != nullptr) {
            *length = 0;
        }
    }
    (void)CLevelChannel::Receive(bytes, length);  // the frame trace
    return result;
}

bool CLevelChannelTCP::Describe(uint32_t row, std::string& label, std::string& value)
{
    switch (row) {
        case 0:
            label = "IP-адрес";
            value = FormatIpAddress(m_connection.m_ipAddress);
            return true;
        case 1:
            label = "Порт";
            value = std::to_string(m_connection.m_tcpPort);
            return true;
        case 2:
            label = "Таймаут установки соединения";
            value = FormatMilliseconds(m_connection.m_connectionTimeout);
            return true;
        default:
            return DescribeNetworkSettingsRow(*this, row, label, value);
    }
}

bool CLevelChannelTCP::IsConnected()
{
    CCriticalSectionLock lock(m_transportLock);
    return m_client && m_client->IsOpen();
}

void CLevelChannelTCP::SaveKindBlock(CConfigWriter& out) const
{
    out.Words(m_connection);
}

void CLevelChannelTCP::LoadKindBlock(CConfigReader& in)
{
    (void)in.Words(m_connection);
}
