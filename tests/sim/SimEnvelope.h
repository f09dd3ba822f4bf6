#pragma once
// The packet envelope built with OpenSSL's AES-128 (ECB, no padding): a
// reference that shares no code with the cipher library.
#include <array>
#include <cstdint>
#include <openssl/evp.h>
#include <vector>

namespace SimTest {

using Key = std::array<uint8_t, 16>;

inline std::vector<uint8_t> Aes(const Key& key, const std::vector<uint8_t>& in, bool encrypt)
{
    std::vector<uint8_t> out(in.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0, tail = 0;
    EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), int(in.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n, &tail);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(size_t(n + tail));
    return out;
}

inline std::vector<uint8_t> Wrap(const Key& key, const std::vector<uint8_t>& frame)
{
    std::vector<uint8_t> plain = frame;
    plain.resize((frame.size() + 15) / 16 * 16, 0);
    std::vector<uint8_t> packet{0x55, uint8_t(frame.size() >> 8), uint8_t(frame.size()), 0, 0};
    std::vector<uint8_t> body = Aes(key, plain, true);
    packet.insert(packet.end(), body.begin(), body.end());
    uint8_t sum = 0;
    for (uint8_t b : packet) sum = uint8_t(sum + b);
    packet.push_back(sum);
    return packet;
}

// The frame inside a whole packet; empty when the packet is not well formed.
inline std::vector<uint8_t> Unwrap(const Key& key, const std::vector<uint8_t>& packet)
{
    if (packet.size() < 6 || packet[0] != 0x55 || (packet.size() - 6) % 16 != 0) return {};
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < packet.size(); ++i) sum = uint8_t(sum + packet[i]);
    if (sum != packet.back()) return {};
    size_t n = size_t(packet[1] << 8 | packet[2]);
    if (n > packet.size() - 6) return {};
    std::vector<uint8_t> plain = Aes(key, std::vector<uint8_t>(packet.begin() + 5, packet.end() - 1), false);
    plain.resize(n);
    return plain;
}

inline size_t PacketLength(size_t frameLength)
{
    return (frameLength + 15) / 16 * 16 + 6;
}

// C entry points over the reference, for driving the engine in-process.
inline void ReferenceEncrypt(const uint8_t* key, const uint8_t* plain, int32_t n, uint8_t* packet,
                             int32_t* length)
{
    Key k;
    std::copy(key, key + 16, k.begin());
    std::vector<uint8_t> p = Wrap(k, std::vector<uint8_t>(plain, plain + n));
    std::copy(p.begin(), p.end(), packet);
    *length = int32_t(p.size());
}

inline int32_t ReferenceDecrypt(const uint8_t* key, const uint8_t* packet, int32_t m, uint8_t* plain,
                                int32_t* n)
{
    if (m < 1 || packet[0] != 0x55) return 1;
    uint8_t sum = 0;
    for (int32_t i = 0; i + 1 < m; ++i) sum = uint8_t(sum + packet[i]);
    if (sum != packet[m - 1]) return 2;
    if (m < 6 || (m - 6) % 16 != 0) return 3;
    Key k;
    std::copy(key, key + 16, k.begin());
    std::vector<uint8_t> body = Aes(k, std::vector<uint8_t>(packet + 5, packet + m - 1), false);
    std::copy(body.begin(), body.end(), plain);
    *n = packet[1] << 8 | packet[2];
    return 0;
}

}  // namespace SimTest
