#pragma once
// The cipher library's two C entry points over the OpenSSL reference of the
// test support, for driving the simulator's engine in-process.
#include "support/PacketEnvelope.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace SimTest {

inline void ReferenceEncrypt(const uint8_t* key, const uint8_t* plain, int32_t n, uint8_t* packet,
                             int32_t* length)
{
    CipherKey k;
    std::copy(key, key + 16, k.begin());
    std::vector<uint8_t> p = WrapPacket(k, std::vector<uint8_t>(plain, plain + n));
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
    CipherKey k;
    std::copy(key, key + 16, k.begin());
    std::vector<uint8_t> body = Aes128Ecb(k, std::vector<uint8_t>(packet + 5, packet + m - 1), false);
    std::copy(body.begin(), body.end(), plain);
    *n = packet[1] << 8 | packet[2];
    return 0;
}

}  // namespace SimTest
