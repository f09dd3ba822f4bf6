// AES-128 (FIPS-197) and the packet envelope around it. Everything a call
// works with lives on its own stack; the only shared data are the constant
// tables below, so calls from many threads need no locking.
#include "mardelCrypto.h"

#include <cstddef>

namespace {
constexpr int kBlock = 16;
constexpr int kRounds = 10;
constexpr int kRoundKeyBytes = kBlock * (kRounds + 1);
constexpr uint8_t kPacketMark = 0x55;
constexpr int kHeader = 5;              // mark, length (2), reserved (2)
constexpr int kOverhead = kHeader + 1;  // and the checksum byte

// Multiplication by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr uint8_t XTime(uint8_t a)
{
    return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0x00));
}

struct SBoxes {
    uint8_t forward[256];
    uint8_t inverse[256];
};

constexpr uint8_t RotateLeft(uint8_t a, int n)
{
    return static_cast<uint8_t>((a << n) | (a >> (8 - n)));
}

// S-box as FIPS-197 defines it: the multiplicative inverse, then the affine
// map. p walks all non-zero elements as powers of 3 while q walks the same
// powers of 3^-1, so q is always the inverse of p.
constexpr SBoxes MakeSBoxes()
{
    SBoxes boxes{};
    uint8_t p = 1;
    uint8_t q = 1;
    do {
        p = static_cast<uint8_t>(p ^ (p << 1) ^ ((p & 0x80) ? 0x1B : 0x00));
        q = static_cast<uint8_t>(q ^ (q << 1));
        q = static_cast<uint8_t>(q ^ (q << 2));
        q = static_cast<uint8_t>(q ^ (q << 4));
        if (q & 0x80) q ^= 0x09;
        const uint8_t s = static_cast<uint8_t>(q ^ RotateLeft(q, 1) ^ RotateLeft(q, 2) ^ RotateLeft(q, 3) ^
                                               RotateLeft(q, 4) ^ 0x63);
        boxes.forward[p] = s;
        boxes.inverse[s] = p;
    } while (p != 1);
    boxes.forward[0] = 0x63;  // 0 has no inverse and maps to the affine constant
    boxes.inverse[0x63] = 0;
    return boxes;
}

constexpr SBoxes kSBoxes = MakeSBoxes();
static_assert(kSBoxes.forward[0x00] == 0x63 && kSBoxes.forward[0x01] == 0x7C &&
              kSBoxes.forward[0x53] == 0xED && kSBoxes.forward[0xFF] == 0x16 &&
              kSBoxes.inverse[0xED] == 0x53);

void ExpandKey(const uint8_t* key, uint8_t* roundKeys)
{
    for (int i = 0; i < kBlock; ++i) roundKeys[i] = key[i];
    uint8_t rcon = 0x01;
    for (int i = kBlock; i < kRoundKeyBytes; i += 4) {
        uint8_t t0 = roundKeys[i - 4], t1 = roundKeys[i - 3], t2 = roundKeys[i - 2], t3 = roundKeys[i - 1];
        if (i % kBlock == 0) {
            // RotWord, SubWord, then the round constant.
            const uint8_t first = t0;
            t0 = static_cast<uint8_t>(kSBoxes.forward[t1] ^ rcon);
            t1 = kSBoxes.forward[t2];
            t2 = kSBoxes.forward[t3];
            t3 = kSBoxes.forward[first];
            rcon = XTime(rcon);
        }
        roundKeys[i] = roundKeys[i - kBlock] ^ t0;
        roundKeys[i + 1] = roundKeys[i - kBlock + 1] ^ t1;
        roundKeys[i + 2] = roundKeys[i - kBlock + 2] ^ t2;
        roundKeys[i + 3] = roundKeys[i - kBlock + 3] ^ t3;
    }
}

// The state is the block itself: byte r + 4c is row r of column c.
void AddRoundKey(uint8_t* s, const uint8_t* roundKey)
{
    for (int i = 0; i < kBlock; ++i) s[i] ^= roundKey[i];
}

void SubBytesShiftRows(uint8_t* s)
{
    uint8_t t[kBlock];
    for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 4; ++r) {
            t[r + 4 * c] = kSBoxes.forward[s[r + 4 * ((c + r) & 3)]];
        }
    }
    for (int i = 0; i < kBlock; ++i) s[i] = t[i];
}

void InvShiftRowsSubBytes(uint8_t* s)
{
    uint8_t t[kBlock];
    for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 4; ++r) {
            t[r + 4 * ((c + r) & 3)] = kSBoxes.inverse[s[r + 4 * c]];
        }
    }
    for (int i = 0; i < kBlock; ++i) s[i] = t[i];
}

void MixColumns(uint8_t* s)
{
    for (int c = 0; c < 4; ++c) {
        uint8_t* col = s + 4 * c;
        const uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
        const uint8_t all = a0 ^ a1 ^ a2 ^ a3;
        col[0] = a0 ^ all ^ XTime(a0 ^ a1);
        col[1] = a1 ^ all ^ XTime(a1 ^ a2);
        col[2] = a2 ^ all ^ XTime(a2 ^ a3);
        col[3] = a3 ^ all ^ XTime(a3 ^ a0);
    }
}

void InvMixColumns(uint8_t* s)
{
    for (int c = 0; c < 4; ++c) {
        uint8_t* col = s + 4 * c;
        // The inverse matrix {0e,0b,0d,09} is MixColumns times the sparse
        // matrix {05,00,04,00}: two doublings per column pair, then MixColumns.
        const uint8_t u = XTime(XTime(col[0] ^ col[2]));
        const uint8_t v = XTime(XTime(col[1] ^ col[3]));
        col[0] ^= u;
        col[1] ^= v;
        col[2] ^= u;
        col[3] ^= v;
    }
    MixColumns(s);
}

void EncryptBlock(const uint8_t* roundKeys, uint8_t* s)
{
    AddRoundKey(s, roundKeys);
    for (int round = 1; round < kRounds; ++round) {
        SubBytesShiftRows(s);
        MixColumns(s);
        AddRoundKey(s, roundKeys + kBlock * round);
    }
    SubBytesShiftRows(s);
    AddRoundKey(s, roundKeys + kBlock * kRounds);
}

void DecryptBlock(const uint8_t* roundKeys, uint8_t* s)
{
    AddRoundKey(s, roundKeys + kBlock * kRounds);
    for (int round = kRounds - 1; round > 0; --round) {
        InvShiftRowsSubBytes(s);
        AddRoundKey(s, roundKeys + kBlock * round);
        InvMixColumns(s);
    }
    InvShiftRowsSubBytes(s);
    AddRoundKey(s, roundKeys);
}

uint8_t ByteSum(const uint8_t* bytes, int32_t count)
{
    unsigned sum = 0;
    for (int32_t i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum);
}
}  // namespace

extern "C" void _encryptPacket(const uint8_t* key, const uint8_t* plaintext, int32_t plaintextLength,
                               uint8_t* packet, int32_t* packetLength)
{
    if (packetLength == nullptr) return;
    if (key == nullptr || packet == nullptr || plaintextLength < 0 || plaintextLength > 0xFFFF ||
        (plaintextLength > 0 && plaintext == nullptr)) {
        *packetLength = 0;
        return;
    }
    const int32_t n = plaintextLength;
    const int32_t padded = (n + kBlock - 1) / kBlock * kBlock;

    uint8_t roundKeys[kRoundKeyBytes];
    ExpandKey(key, roundKeys);
    packet[0] = kPacketMark;
    packet[1] = static_cast<uint8_t>(n >> 8);
    packet[2] = static_cast<uint8_t>(n & 0xFF);
    packet[3] = 0;
    packet[4] = 0;
    for (int32_t offset = 0; offset < padded; offset += kBlock) {
        uint8_t* block = packet + kHeader + offset;
        for (int i = 0; i < kBlock; ++i) {
            block[i] = offset + i < n ? plaintext[offset + i] : 0;
        }
        EncryptBlock(roundKeys, block);
    }
    packet[kHeader + padded] = ByteSum(packet, kHeader + padded);
    *packetLength = padded + kOverhead;
}

extern "C" int32_t _decryptPacket(const uint8_t* key, const uint8_t* packet, int32_t packetLength,
                                  uint8_t* plaintext, int32_t* plaintextLength)
{
    if (packet == nullptr || packetLength < 1 || packet[0] != kPacketMark) return 1;
    if (ByteSum(packet, packetLength - 1) != packet[packetLength - 1]) return 2;
    if (packetLength < kOverhead || (packetLength - kOverhead) % kBlock != 0) return 3;

    const int32_t cipherLength = packetLength - kOverhead;
    uint8_t roundKeys[kRoundKeyBytes];
    ExpandKey(key, roundKeys);
    for (int32_t offset = 0; offset < cipherLength; offset += kBlock) {
        uint8_t block[kBlock];
        for (int i = 0; i < kBlock; ++i) block[i] = packet[kHeader + offset + i];
        DecryptBlock(roundKeys, block);
        for (int i = 0; i < kBlock; ++i) plaintext[offset + i] = block[i];
    }
    const int32_t field = (packet[1] << 8) | packet[2];
    *plaintextLength = field < cipherLength ? field : cipherLength;
    return 0;
}
