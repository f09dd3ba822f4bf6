#pragma once
#include "config/LevelChannel.h"
#include "platform/CriticalSection.h"
#include "transports/UDPExchange.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Datagram settings of a UDP channel exactly as the configuration file
// stores them (12 bytes).
struct CUdpDatagramSettings {
    uint32_t m_ipAddress = 0;      // remote a.b.c.d as a * 2^24 + b * 2^16 + c * 2^8 + d
    uint32_t m_remotePort = 5001;  // destination port of every datagram
    uint32_t m_localPort = 6001;   // port the socket is bound to
};
static_assert(sizeof(CUdpDatagramSettings) == 12);
static_assert(offsetof(CUdpDatagramSettings, m_remotePort) == 4);
static_assert(offsetof(CUdpDatagramSettings, m_localPort) == 8);

// Channel kind 4: Modbus RTU frames in UDP datagrams between a local port and
// one remote address and port. Open only prepares the socket object; the
// first Send makes and binds the socket, which then lives until Close (or a
// failed bind). Replies are taken from any sender.
//
// The transport lock guards the socket object: Open, Close, making the socket
// and every socket operation of Send and Receive run under it.
class CLevelChannelUDP : public CLevelChannel {
   public:
    CLevelChannelUDP();
    ~CLevelChannelUDP() override;

    // The channel base's initialisation, then Open.
    void Initialise() override;

    // A fresh socket object (no socket yet), state 3; answers 0.
    int Open() override;
    // Drops the socket object and its socket; state 4.
    void Close() override;
    // One datagram: 0 with *length the count, 1 with *length 0. 1 for a null
    // buffer or length, or when the socket cannot be made and bound.
    int Send(uint8_t* bytes, uint32_t* length) override;
    // One datagram within the response timeout: 0 with *length the count,
    // 1 with *length 0 for nothing, an empty datagram or no socket. A null
    // buffer or length drains every datagram waiting, without waiting.
    int Receive(uint8_t* bytes, uint32_t* length) override;
    bool Describe(uint32_t row, std::string& label, std::string& value) override;

    CUdpDatagramSettings& DatagramSettings() { return m_datagram; }
    const CUdpDatagramSettings& DatagramSettings() const { return m_datagram; }

    // Whether a socket object exists and holds a socket.
    bool HasSocket();
    // The local port the socket is bound to; 0 without a socket.
    uint16_t BoundPort();

   protected:
    void SaveKindBlock(CConfigWriter& out) const override;
    void LoadKindBlock(CConfigReader& in) override;

   private:
    // Making the socket in Send; the caller holds the transport lock.
    bool MakeSocketLocked();

    CUdpDatagramSettings m_datagram;
    std::unique_ptr<CUDPExchange> m_socket;
    CCriticalSection m_transportLock;
};
