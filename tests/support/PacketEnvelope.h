#pragma once
// The packet envelope built with OpenSSL's AES-128 (ECB, no padding): a
// reference that shares no code with the cipher library, and a Modbus TCP
// device behind it.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <modbus.h>
#include <mutex>
#include <thread>
#include <vector>

using CipherKey = std::array<uint8_t, 16>;

std::vector<uint8_t> Aes128Ecb(const CipherKey& key, const std::vector<uint8_t>& in, bool encrypt);
std::vector<uint8_t> WrapPacket(const CipherKey& key, const std::vector<uint8_t>& frame);
// The frame of a whole, well-formed packet; false for anything else.
bool UnwrapPacket(const CipherKey& key, const std::vector<uint8_t>& packet, std::vector<uint8_t>* frame);
// The same, empty for anything but a whole, well-formed packet.
std::vector<uint8_t> UnwrapPacket(const CipherKey& key, const std::vector<uint8_t>& packet);
// The length of the packet that carries a frame of this length.
size_t PacketLength(size_t frameLength);

// A Modbus TCP device behind the envelope on 127.0.0.1: every packet that
// arrives is unwrapped with OpenSSL, answered by libmodbus from the peers'
// register pattern, and the reply goes back wrapped under the same key.
// Packets that do not unwrap, and bytes that are not packets, get no answer.
class CEnvelopeTcpPeer {
   public:
    ~CEnvelopeTcpPeer() { Stop(); }
    bool Start(const CipherKey& key, size_t registers = 300);
    void Stop();
    uint16_t Port() const { return m_port; }
    // Packets that unwrapped into a Modbus request, and those that did not.
    int Packets() const { return m_packets.load(); }
    int Rejected() const { return m_rejected.load(); }
    // Waits until packets and rejections together reach the count; false when
    // the wait ran out first.
    bool WaitSeen(int count, std::chrono::milliseconds wait);

   private:
    void Serve();
    void Seen(std::atomic<int>& counter);
    // Answers one unwrapped request; empty when libmodbus gives nothing.
    std::vector<uint8_t> Answer(const std::vector<uint8_t>& request);

    CipherKey m_key{};
    modbus_t* m_ctx = nullptr;
    modbus_mapping_t* m_mapping = nullptr;
    int m_pair[2] = {-1, -1};
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_packets{0};
    std::atomic<int> m_rejected{0};
    std::mutex m_seenMutex;
    std::condition_variable m_seenChanged;
};
