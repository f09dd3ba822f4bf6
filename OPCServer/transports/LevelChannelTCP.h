#pragma once
#include "config/LevelChannel.h"
#include "platform/CriticalSection.h"
#include "transports/TCPClient.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Connection settings of a TCP channel exactly as the configuration file
// stores them (12 bytes).
struct CTcpConnectionSettings {
    uint32_t m_ipAddress = 0;             // a.b.c.d as a * 2^24 + b * 2^16 + c * 2^8 + d
    uint32_t m_tcpPort = 502;             // remote port
    uint32_t m_connectionTimeout = 5000;  // ms allowed for connecting
};
static_assert(sizeof(CTcpConnectionSettings) == 12);
static_assert(offsetof(CTcpConnectionSettings, m_tcpPort) == 4);
static_assert(offsetof(CTcpConnectionSettings, m_connectionTimeout) == 8);

// Channel kind 3: Modbus TCP to one device address. Open only prepares the
// socket object; the first Send connects, within the connection timeout. A
// connection that fails or that the peer closes is made again by the next
// Send; time-outs keep it. Receive never connects.
//
// The transport lock guards the socket object: Open, Close, the connecting
// step and every socket operation of Send and Receive run under it (inside
// the exchange lock, which the device exchange holds around transactions).
class CLevelChannelTCP : public CLevelChannel {
   public:
    // What the TCP dialog accepts for the connection timeout.
    static constexpr uint32_t kMinConnectionTimeoutMs = 50;
    static constexpr uint32_t kMaxConnectionTimeoutMs = 60000;

    CLevelChannelTCP();
    ~CLevelChannelTCP() override;

    // The channel base's initialisation, then Open.
    void Initialise() override;

    // A fresh socket object (no connection yet), state 3; answers 0.
    int Open() override;
    // Drops the socket object and its connection; state 4.
    void Close() override;
    // 1 for a null buffer or length (the exchange's flush), or when no
    // connection can be made (*length 0); else the result of sending (0, 1,
    // 0x80004106) with *length the count sent.
    int Send(uint8_t* bytes, uint32_t* length) override;
    // One receive within the response timeout: 0, 1 or 0x80004106 with
    // *length the count. Without a connection: 1 with *length 0. A null
    // buffer or length drains whatever is pending without waiting.
    int Receive(uint8_t* bytes, uint32_t* length) override;
    bool Describe(uint32_t row, std::string& label, std::string& value) override;
    // Modbus TCP: the MBAP header instead of the address and CRC.
    int32_t FrameMode() const override { return CModbusFrame::kModeTcp; }

    CTcpConnectionSettings& ConnectionSettings() { return m_connection; }
    const CTcpConnectionSettings& ConnectionSettings() const { return m_connection; }
    // The connection timeout as connecting waits it: within the dialog's range.
    uint32_t ConnectionTimeoutMs() const;

    // Whether a socket object exists and holds a socket.
    bool IsConnected();

   protected:
    void SaveKindBlock(CConfigWriter& out) const override;
    void LoadKindBlock(CConfigReader& in) override;

   private:
    // The connecting step of Send; the caller holds the transport lock.
    bool ConnectLocked();

    CTcpConnectionSettings m_connection;
    std::unique_ptr<CTCPClient> m_client;
    CCriticalSection m_transportLock;
};
