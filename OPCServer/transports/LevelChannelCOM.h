#pragma once
#include "config/LevelChannel.h"
#include "platform/CriticalSection.h"
#include "platform/SerialPort.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Port settings of a serial channel exactly as the configuration file stores
// them (12 bytes). Data bits are always 8, stop bits always 1.
struct CComPortSettings {
    uint32_t m_portNumber = 0;   // n of COM n
    uint32_t m_baudRate = 9600;  // bits per second
    uint32_t m_parity = 0;       // 0 none, 1 even, 2 odd, 3 mark, 4 space
};
static_assert(sizeof(CComPortSettings) == 12);
static_assert(offsetof(CComPortSettings, m_baudRate) == 4);
static_assert(offsetof(CComPortSettings, m_parity) == 8);

// Channel kind 2: a Modbus RTU line on a serial COM port, driven through the
// serial-port component (platform/SerialPort.h): the port manager makes the
// port, whose stream interface reads and writes and whose control interface
// purges.
//
// The transport lock guards the component references: Open, Close, Send,
// Receive and Purge run under it.
class CLevelChannelCOM : public CLevelChannel {
   public:
    // Results of Open.
    static constexpr int kOpenDone = 0;         // the channel state tells whether the port is usable
    static constexpr int kOpenNoComponent = 2;  // the component cannot be created
    static constexpr int kOpenPortFailed = 3;   // the port cannot be opened
    // The longest response timeout the serial dialog accepts.
    static constexpr uint32_t kMaxSerialResponseTimeoutMs = 30000;
    // What is purged before every attempt.
    static constexpr uint32_t kPurgeBeforeAttempt = kPurgeTxAbort | kPurgeRxAbort;

    CLevelChannelCOM();
    ~CLevelChannelCOM() override;

    // The channel base's initialisation, then Open.
    void Initialise() override;

    // Creates the component, opens "\\.\COM<n>" in the mode of the settings
    // with the response timeout and the inter-character timeout of the baud
    // rate. Open: 0, state 3. Port not openable: event 11, state 2, 3.
    // Component not creatable: 2, state unchanged, no event.
    int Open() override;
    // Releases every reference Open obtained; state 4.
    void Close() override;
    // Write and Read of the stream interface, with the traces; their status.
    // A null buffer or length goes to the component unchanged: Read then
    // discards the input waiting.
    int Send(uint8_t* bytes, uint32_t* length) override;
    int Receive(uint8_t* bytes, uint32_t* length) override;
    bool Describe(uint32_t row, std::string& label, std::string& value) override;
    // The drain, then a purge with kPurgeBeforeAttempt: the driver drops
    // what it holds in both directions.
    void DropPendingInput() override;

    // Purge of the control interface; E_FAIL when the port is not open.
    HRESULT Purge(uint32_t flags);

    CComPortSettings& PortSettings() { return m_portSettings; }
    const CComPortSettings& PortSettings() const { return m_portSettings; }

    // "N", "E", "O", "M", "S" for parity 0..4, "N" for anything else.
    static const char* ParityLetter(uint32_t parity);
    // "Нет", "Четный", "Нечетный", "Маркер", "Пробел"; "Нет" for anything else.
    static const char* ParityName(uint32_t parity);
    // Milliseconds the line may rest between two bytes of one reply.
    static uint32_t InterCharacterTimeout(uint32_t baudRate);
    // "\\.\COM<n>".
    static std::string DeviceName(uint32_t portNumber);
    // "baud=<b> data=8 parity=<letter> stop=1".
    static std::string ModeText(uint32_t baudRate, uint32_t parity);

    // Whether each reference is held (for the state checks of the tests).
    bool HoldsManager();
    bool HoldsPort();
    bool HoldsStream();
    bool HoldsControl();

   protected:
    void SaveKindBlock(CConfigWriter& out) const override;
    void LoadKindBlock(CConfigReader& in) override;
    uint32_t MaxResponseTimeoutMs() const override { return kMaxSerialResponseTimeoutMs; }

   private:
    void ReleaseLocked();

    ISerialPortManager* m_manager = nullptr;
    ISerialPort* m_port = nullptr;
    ISerialPortStream* m_stream = nullptr;
    ISerialPortControl* m_control = nullptr;
    uint32_t m_cookie = 0;
    CComPortSettings m_portSettings;
    CCriticalSection m_transportLock;
};
