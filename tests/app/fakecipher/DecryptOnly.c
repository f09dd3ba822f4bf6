/* A stand-in cipher library that lacks the encrypt entry point. */
#include <stdint.h>

__attribute__((visibility("default"))) int32_t _decryptPacket(const uint8_t* key, const uint8_t* packet,
                                                               int32_t packetLength, uint8_t* plain,
                                                               int32_t* plainLength)
{
    (void)key;
    (void)packet;
    (void)plain;
    *plainLength = packetLength;
    return 7;
}
