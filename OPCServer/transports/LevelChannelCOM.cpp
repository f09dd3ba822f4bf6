#include "transports/LevelChannelCOM.h"

#include "app/CommEvents.h"
#include "app/SingleVectors.h"
#include "config/ConfigStream.h"
#include "transports/ChannelDescribe.h"

CLevelChannelCOM::CLevelChannelCOM() : CLevelChannel(kKindChannelCOM) {}

CLevelChannelCOM::~CLevelChannelCOM()
{
    Shutdown();
}

void CLevelChannelCOM::Initialise()
{
    CLevelChannel::Initialise();
    (void)Open();
}

const char* CLevelChannelCOM::ParityLetter(uint32_t parity)
{
    static const char* const kLetters[] = {"N", "E", "O", "M", "S"};
    return parity < 5 ? kLetters[parity] : "N";
}

const char* CLevelChannelCOM::ParityName(uint32_t parity)
{
    static const char* const kNames[] = {"Нет", "Четный", "Нечетный", "Маркер", "Пробел"};
    return parity < 5 ? kNames[parity] : "Нет";
}

uint32_t CLevelChannelCOM::InterCharacterTimeout(uint32_t baudRate)
{
    switch (baudRate) {
        case 300:
            return 300;
        case 600:
            return 160;
        case 1200:
            return 40;
        case 2400:
            return 20;
        case 4800:
        case 9600:
            return 10;
        case 19200:
        case 38400:
        case 57600:
        case 115200:
            return 5;
        default:
            return 300;
    }
}

std::string CLevelChannelCOM::DeviceName(uint32_t portNumber)
{
    return "\\\\.\\COM" + std::to_string(portNumber);
}

std::string CLevelChannelCOM::ModeText(uint32_t baudRate, uint32_t parity)
{
    return "baud=" + std::to_string(baudRate) + " data=8 parity=" + ParityLetter(parity) + " stop=1";
}

void CLevelChannelCOM::ReleaseLocked()
{
    if (m_port != nullptr) {
        m_port->Release();
        m_port = nullptr;
    }
    if (m_stream != nullptr) {
        m_stream->Release();
        m_stream = nullptr;
    }
    if (m_control != nullptr) {
        m_control->Release();
        m_control = nullptr;
    }
    if (m_manager != nullptr && m_cookie != 0) {
        (void)m_manager->ReleasePort(m_cookie);
    }
    m_cookie = 0;
    if (m_manager != nullptr) {
        m_manager->Release();
        m_manager = nullptr;
    }
}

int CLevelChannelCOM::Open()
{
    CCriticalSectionLock lock(m_transportLock);
    // Reopening without a Close in between must not leak the old port.
    ReleaseLocked();

    const uint32_t baudRate = m_portSettings.m_baudRate;
    void* object = nullptr;
    if (FAILED(CreateSerialComponent(kClsidSerialComponent, kIidSerialPortManager, &object)) ||
        object == nullptr) {
        return kOpenNoComponent;
    }
    m_manager = static_cast<ISerialPortManager*>(object);

    object = nullptr;
    (void)m_manager->CreatePort(kSerialPortKind, kIidSerialPort, &m_cookie, &object);
    m_port = static_cast<ISerialPort*>(object);
    if (m_port != nullptr) {
        object = nullptr;
        (void)m_port->QueryInterface(kIidSerialPortStream, &object);
        m_stream = static_cast<ISerialPortStream*>(object);
    }

    // A port the manager would not make, or one without a stream, cannot be
    // used any more than one that will not open.
    const std::string device = DeviceName(m_portSettings.m_portNumber);
    if (m_port == nullptr || m_stream == nullptr || FAILED(m_port->OpenPort(device.c_str()))) {
        CSingleVectors::Instance().RecordCommEvent(kCommPortOpenError, this);
        SetState(kChannelOpeningFailed);
        return kOpenPortFailed;
    }

    const std::string mode = ModeText(baudRate, m_portSettings.m_parity);
    (void)m_port->SetMode(mode.c_str());
    (void)m_stream->SetTimeouts(ResponseTimeoutMs(), InterCharacterTimeout(baudRate));

    object = nullptr;
    if (SUCCEEDED(m_port->QueryInterface(kIidSerialPortControl, &object)) && object != nullptr) {
        m_control = static_cast<ISerialPortControl*>(object);
        SetState(kChannelOpen);
    }
    return kOpenDone;
}

void CLevelChannelCOM::Close()
{
    CCriticalSectionLock lock(m_transportLock);
    ReleaseLocked();
    SetState(kChannelClosed);
}

int CLevelChannelCOM::Send(uint8_t* bytes, uint32_t* length)
{
    (void)CLevelChannel::Send(bytes, length);  // the frame trace
    CCriticalSectionLock lock(m_transportLock);
    if (m_stream == nullptr) {
        if (length != nullptr) *length = 0;
        return E_FAIL;
    }
    return m_stream->Write(bytes, length);
}

int CLevelChannelCOM::Receive(uint8_t* bytes, uint32_t* length)
{
    HRESULT result = E_FAIL;
    {
        CCriticalSectionLock lock(m_transportLock);
        if (m_stream != nullptr) {
            result = m_stream->Read(bytes, length);
        } else if (length != nullptr) {
            *length = 0;
        }
    }
    (void)CLevelChannel::Receive(bytes, length);  // the frame trace
    return result;
}

void CLevelChannelCOM::DropPendingInput()
{
    CLevelChannel::DropPendingInput();
    (void)Purge(kPurgeBeforeAttempt);
}

HRESULT CLevelChannelCOM::Purge(uint32_t flags)
{
    CCriticalSectionLock lock(m_transportLock);
    return m_control != nullptr ? m_control->Purge(flags) : E_FAIL;
}

bool CLevelChannelCOM::Describe(uint32_t row, std::string& label, std::string& value)
{
    const CChannelSettings& s = Settings();
    switch (row) {
        case 0:
            label = "Номер COM-порта";
            value = "COM" + std::to_string(m_portSettings.m_portNumber);
            return true;
        case 1:
            label = "Скорость обмена";
            value = std::to_string(m_portSettings.m_baudRate);
            return true;
        case 2:
            label = "Контроль четности";
            value = ParityName(m_portSettings.m_parity);
            return true;
        case 3:
            label = "Количество попыток";
            value = std::to_string(s.m_attempts);
            return true;
        case 4:
            label = "Ожидание ответа";
            value = FormatMilliseconds(s.m_responseTimeout);
            return true;
        case 5:
            label = "Пауза перед запросом";
            value = FormatMilliseconds(s.m_pauseBeforeRequest);
            return true;
        default:
            return false;
    }
}

bool CLevelChannelCOM::HoldsManager()
{
    CCriticalSectionLock lock(m_transportLock);
    return m_manager != nullptr;
}

bool CLevelChannelCOM::HoldsPort()
{
    CCriticalSectionLock lock(m_transportLock);
    return m_port != nullptr;
}

bool CLevelChannelCOM::HoldsStream()
{
    CCriticalSectionLock lock(m_transportLock);
    return m_stream != nullptr;
}

bool CLevelChannelCOM::HoldsControl()
{
    CCriticalSectionLock lock(m_transportLock);
    return m_control != nullptr;
}

void CLevelChannelCOM::SaveKindBlock(CConfigWriter& out) const
{
    out.Words(m_portSettings);
}

void CLevelChannelCOM::LoadKindBlock(CConfigReader& in)
{
    (void)in.Words(m_portSettings);
}
