#include "transports/LevelChannelUDP.h"

#include "transports/ChannelDescribe.h"

namespace {

constexpr uint32_t kDrainChunk = 100;
// A peer that never stops sending must not hold the drain for ever.
constexpr int kDrainLimit = 1000;

}  // namespace

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
    m_socket->SetTimeout(Settings().m_responseTimeout);
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
    m_socket->SetTimeout(Settings().m_responseTimeout);
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
            m_socket->SetTimeout(Settings().m_responseTimeout);
            if (bytes != nullptr && length != nullptr) {
                result = m_socket->ReceiveBytes(bytes, length, CUDPExchange::kUseTimeout);
                if (result != CUDPExchange::kResultOk) {
                    *length = 0;
                }
            } else {
                // Late replies of earlier requests: discard every datagram waiting.
                uint8_t scratch[kDrainChunk];
                uint32_t chunk = kDrainChunk;
                for (int i = 0;
                     i < kDrainLimit && m_socket->ReceiveBytes(scratch, &chunk, 0) == CUDPExchange::kResultOk;
                     ++i) {
                    chunk = kDrainChunk;
                }
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
    const CChannelSettings& s = Settings();
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
        case 3:
            label = "Таймаут ожидания ответа";
            value = FormatMilliseconds(s.m_responseTimeout);
            return true;
        case 4:
            label = "Количество попыток";
            value = std::to_string(s.m_attempts);
            return true;
        case 5:
            label = "Пауза перед запросом";
            value = FormatMilliseconds(s.m_pauseBeforeRequest);
            return true;
        case 6:
            label = "Период опроса";
            value = FormatMilliseconds(s.m_pollPeriod);
            return true;
        case 7:
            label = "Ключ шифрования";
            value = FormatKeyState(!GetKey().empty());
            return true;
        default:
            return false;
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
