#include "support/PacketEnvelope.h"

#include "support/Deadline.h"
#include "support/LoopbackSockets.h"
#include "support/ModbusPeers.h"

#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using TestSupport::Clock;

Bytes Aes128Ecb(const CipherKey& key, const Bytes& in, bool encrypt)
{
    Bytes out(in.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0, tail = 0;
    EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n, &tail);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n + tail));
    return out;
}

size_t PacketLength(size_t frameLength)
{
    return (frameLength + 15) / 16 * 16 + 6;
}

Bytes WrapPacket(const CipherKey& key, const Bytes& frame)
{
    Bytes plain = frame;
    plain.resize((frame.size() + 15) / 16 * 16, 0);
    Bytes packet{0x55, static_cast<uint8_t>(frame.size() >> 8), static_cast<uint8_t>(frame.size()), 0, 0};
    const Bytes body = Aes128Ecb(key, plain, true);
    packet.insert(packet.end(), body.begin(), body.end());
    uint8_t sum = 0;
    for (uint8_t b : packet) sum = static_cast<uint8_t>(sum + b);
    packet.push_back(sum);
    return packet;
}

bool UnwrapPacket(const CipherKey& key, const Bytes& packet, Bytes* frame)
{
    if (packet.size() < 6 || packet[0] != 0x55 || (packet.size() - 6) % 16 != 0) return false;
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < packet.size(); ++i) sum = static_cast<uint8_t>(sum + packet[i]);
    if (sum != packet.back()) return false;
    const size_t n = static_cast<size_t>(packet[1] << 8 | packet[2]);
    if (n > packet.size() - 6) return false;
    *frame = Aes128Ecb(key, Bytes(packet.begin() + 5, packet.end() - 1), false);
    frame->resize(n);
    return true;
}

Bytes UnwrapPacket(const CipherKey& key, const Bytes& packet)
{
    Bytes frame;
    return UnwrapPacket(key, packet, &frame) ? frame : Bytes();
}

bool CEnvelopeTcpPeer::Start(const CipherKey& key, size_t registers)
{
    Stop();
    m_key = key;
    m_mapping = TestSupport::MakeMapping(registers);
    m_ctx = modbus_new_tcp("127.0.0.1", 0);
    if (m_mapping == nullptr || m_ctx == nullptr ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_pair) != 0) {
        Stop();
        return false;
    }
    m_listen = modbus_tcp_listen(m_ctx, 4);
    // libmodbus writes its replies into one end of the pair; we read them at the other.
    modbus_set_socket(m_ctx, m_pair[0]);
    if (m_listen < 0) {
        Stop();
        return false;
    }
    m_port = TestSupport::BoundPort(m_listen);
    m_stop = false;
    m_thread = std::thread([this] { Serve(); });
    return true;
}

Bytes CEnvelopeTcpPeer::Answer(const Bytes& request)
{
    if (modbus_reply(m_ctx, request.data(), static_cast<int>(request.size()), m_mapping) <= 0) return {};
    Bytes reply;
    if (!TestSupport::WaitReadable(m_pair[1], Clock::now() + std::chrono::seconds(1))) return reply;
    uint8_t chunk[512];
    const ssize_t n = ::read(m_pair[1], chunk, sizeof chunk);
    if (n > 0) reply.assign(chunk, chunk + n);
    return reply;
}

void CEnvelopeTcpPeer::Serve()
{
    int connection = -1;
    Bytes pending;
    while (!m_stop) {
        pollfd fds[2] = {{m_listen, POLLIN, 0}, {connection, POLLIN, 0}};
        if (::poll(fds, connection >= 0 ? 2 : 1, 100) <= 0) continue;
        if ((fds[0].revents & POLLIN) != 0) {
            if (connection >= 0) ::close(connection);
            connection = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            pending.clear();
            continue;
        }
        if (connection < 0 || fds[1].revents == 0) continue;
        uint8_t chunk[1024];
        const ssize_t n = ::read(connection, chunk, sizeof chunk);
        if (n <= 0) {
            ::close(connection);
            connection = -1;
            continue;
        }
        pending.insert(pending.end(), chunk, chunk + n);
        // Whole packets off the front; a byte that cannot start one is dropped.
        while (!pending.empty()) {
            if (pending[0] != 0x55) {
                Seen(m_rejected);
                pending.erase(pending.begin());
                continue;
            }
            if (pending.size() < 5) break;
            const size_t total = PacketLength(static_cast<size_t>(pending[1] << 8 | pending[2]));
            if (pending.size() < total) break;
            const Bytes packet(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
            Bytes request;
            if (!UnwrapPacket(m_key, packet, &request)) {
                Seen(m_rejected);
                continue;
            }
            Seen(m_packets);
            const Bytes reply = Answer(request);
            if (reply.empty()) continue;
            const Bytes wrapped = WrapPacket(m_key, reply);
            (void)::send(connection, wrapped.data(), wrapped.size(), MSG_NOSIGNAL);
        }
    }
    if (connection >= 0) ::close(connection);
}

void CEnvelopeTcpPeer::Seen(std::atomic<int>& counter)
{
    std::lock_guard<std::mutex> guard(m_seenMutex);
    ++counter;
    m_seenChanged.notify_all();
}

bool CEnvelopeTcpPeer::WaitSeen(int count, std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(m_seenMutex);
    return m_seenChanged.wait_for(lock, wait, [&] { return m_packets.load() + m_rejected.load() >= count; });
}

void CEnvelopeTcpPeer::Stop()
{
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_ctx != nullptr) {
        modbus_set_socket(m_ctx, -1);
        modbus_free(m_ctx);
        m_ctx = nullptr;
    }
    for (int& fd : m_pair) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    if (m_listen >= 0) ::close(m_listen);
    m_listen = -1;
    if (m_mapping != nullptr) modbus_mapping_free(m_mapping);
    m_mapping = nullptr;
}
