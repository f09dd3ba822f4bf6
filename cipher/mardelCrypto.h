#pragma once
// The packet cipher library (libmardelCrypto.so): wraps a Modbus frame into
// an AES-128 packet and unwraps it. C linkage; the program binds both
// functions by name at run time and runs without them when the library is
// missing. The library keeps no state: the caller passes the key every time,
// and calls may run on any number of threads at once.
//
// Packet (n = plaintext length, L = n rounded up to a multiple of 16):
//   [0] 0x55  [1..2] n, high byte first  [3..4] 0
//   [5 .. 5+L) the plaintext zero-filled to L bytes, AES-128 ECB
//   [5+L] sum of bytes 0 .. 4+L, modulo 256
// Total L + 6 bytes. The key is the first 16 bytes at the key pointer.
#include <cstdint>

extern "C" {

// Writes the packet of plaintext[0..plaintextLength) to packet, which must
// hold L + 6 bytes, and its length to *packetLength. A length below 0 or
// above 65535 (which the length field cannot carry) writes nothing to packet
// and 0 to *packetLength.
__attribute__((visibility("default"))) void _encryptPacket(const uint8_t* key, const uint8_t* plaintext,
                                                           int32_t plaintextLength, uint8_t* packet,
                                                           int32_t* packetLength);

// Unwraps packet[0..packetLength) into plaintext, which must hold
// packetLength - 6 bytes. Answers, tested in this order:
//   1  no first byte 0x55 (also a null packet or a length below 1)
//   2  the last byte is not the sum of the bytes before it
//   3  fewer than 6 bytes, or packetLength - 6 not a multiple of 16
//   0  accepted: every block deciphered, padding included, and
//      *plaintextLength := the length field, clipped to packetLength - 6 so
//      that a caller never reads beyond the bytes written
// Nothing is written to the outputs unless the answer is 0, and nothing is
// read outside packet[0..packetLength).
__attribute__((visibility("default"))) int32_t _decryptPacket(const uint8_t* key, const uint8_t* packet,
                                                              int32_t packetLength, uint8_t* plaintext,
                                                              int32_t* plaintextLength);

}  // extern "C"

// The two entry points as the program looks them up.
using EncryptPacketFunction = void (*)(const uint8_t*, const uint8_t*, int32_t, uint8_t*, int32_t*);
using DecryptPacketFunction = int32_t (*)(const uint8_t*, const uint8_t*, int32_t, uint8_t*, int32_t*);
