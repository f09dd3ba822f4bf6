#include "app/SingleVectors.h"  // declares the same entry point types: they must agree
#include "mardelCrypto.h"
#include "polling/Crc16.h"
#include "polling/ModbusFrame.h"

#include <array>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <random>
#include <thread>
#include <type_traits>
#include <vector>

static_assert(std::is_same_v<decltype(&_encryptPacket), EncryptPacketFunction>);
static_assert(std::is_same_v<decltype(&_decryptPacket), DecryptPacketFunction>);

namespace {
using Bytes = std::vector<uint8_t>;
using Key = std::array<uint8_t, 16>;

Bytes Hex(const char* text)
{
    Bytes out;
    for (const char* p = text; p[0] && p[1]; p += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    }
    return out;
}

Key KeyOf(const Bytes& bytes)
{
    Key key{};
    std::copy(bytes.begin(), bytes.begin() + 16, key.begin());
    return key;
}

Bytes Encrypt(const uint8_t* key, const Bytes& plaintext)
{
    Bytes packet(plaintext.size() + 32, 0xEE);
    int32_t length = -1;
    _encryptPacket(key, plaintext.data(), static_cast<int32_t>(plaintext.size()), packet.data(), &length);
    EXPECT_GE(length, 0);
    packet.resize(static_cast<size_t>(length < 0 ? 0 : length));
    return packet;
}

struct Decrypted {
    int32_t answer = -1;
    int32_t length = -1;
    Bytes plaintext;  // the whole output buffer, canary bytes included
};

// The packet sits in a buffer of its exact size; the output buffer is the
// size the caller must provide plus canary bytes that must stay untouched.
Decrypted Decrypt(const uint8_t* key, const Bytes& packet, size_t canary = 16)
{
    Decrypted result;
    const size_t room = packet.size() >= 6 ? packet.size() - 6 : 0;
    result.plaintext.assign(room + canary, 0xEE);
    Bytes exact(packet);
    exact.shrink_to_fit();
    result.answer =
        _decryptPacket(key, exact.empty() ? nullptr : exact.data(), static_cast<int32_t>(exact.size()),
                       result.plaintext.data(), &result.length);
    return result;
}

uint8_t Sum(const uint8_t* bytes, size_t count)
{
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum);
}

Bytes Openssl(const Key& key, const Bytes& input, bool encrypt)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(input.size() + 16);
    int length = 0;
    int final = 0;
    EXPECT_EQ(EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &length, input.data(), static_cast<int>(input.size())), 1);
    EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data() + length, &final), 1);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(length + final));
    return out;
}

// A packet put together by hand from a body enciphered elsewhere.
Bytes Wrap(uint16_t lengthField, const Bytes& body)
{
    Bytes packet(body.size() + 6, 0);
    packet[0] = 0x55;
    packet[1] = static_cast<uint8_t>(lengthField >> 8);
    packet[2] = static_cast<uint8_t>(lengthField);
    std::copy(body.begin(), body.end(), packet.begin() + 5);
    packet.back() = Sum(packet.data(), packet.size() - 1);
    return packet;
}
}  // namespace

TEST(PacketCipher, Fips197Vectors)
{
    struct Vector {
        const char* key;
        const char* plaintext;
        const char* ciphertext;
    };
    // Appendix B (the cipher example) and Appendix C.1 (AES-128).
    for (const Vector& v : {Vector{"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
                                   "3925841d02dc09fbdc118597196a0b32"},
                            Vector{"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
                                   "69c4e0d86a7b0430d8cdb78070b4c55a"}}) {
        const Key key = KeyOf(Hex(v.key));
        const Bytes plaintext = Hex(v.plaintext);
        const Bytes packet = Encrypt(key.data(), plaintext);
        ASSERT_EQ(packet.size(), 22u);
        EXPECT_EQ(Bytes(packet.begin() + 5, packet.begin() + 21), Hex(v.ciphertext)) << v.key;
        const Decrypted d = Decrypt(key.data(), packet);
        EXPECT_EQ(d.answer, 0);
        EXPECT_EQ(d.length, 16);
        EXPECT_EQ(Bytes(d.plaintext.begin(), d.plaintext.begin() + 16), plaintext);
    }
}

TEST(PacketCipher, EveryBlockMatchesOpensslAes128Ecb)
{
    std::mt19937 random(20240601);
    for (int round = 0; round < 3000; ++round) {
        Key key;
        for (auto& b : key) b = static_cast<uint8_t>(random());
        Bytes frame(random() % 261);
        for (auto& b : frame) b = static_cast<uint8_t>(random());
        const size_t padded = (frame.size() + 15) / 16 * 16;

        const Bytes packet = Encrypt(key.data(), frame);
        ASSERT_EQ(packet.size(), padded + 6);
        Bytes zeroFilled(frame);
        zeroFilled.resize(padded, 0);
        ASSERT_EQ(Bytes(packet.begin() + 5, packet.end() - 1), Openssl(key, zeroFilled, true))
            << "round " << round << ", " << frame.size() << " bytes";

        // Our decipher against OpenSSL's encipher, independent of our own.
        const Decrypted d =
            Decrypt(key.data(), Wrap(static_cast<uint16_t>(frame.size()), Openssl(key, zeroFilled, true)));
        ASSERT_EQ(d.answer, 0);
        ASSERT_EQ(d.length, static_cast<int32_t>(frame.size()));
        ASSERT_EQ(Bytes(d.plaintext.begin(), d.plaintext.begin() + padded), zeroFilled);
    }
}

TEST(PacketCipher, PacketLayoutAndLengths)
{
    const Key key = KeyOf(Hex("000102030405060708090a0b0c0d0e0f"));
    const Bytes eight{1, 3, 0, 0, 0, 10, 0xC5, 0xCD};
    const Bytes packet = Encrypt(key.data(), eight);
    ASSERT_EQ(packet.size(), 22u);
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 5), (Bytes{0x55, 0x00, 0x08, 0x00, 0x00}));
    EXPECT_EQ(packet[21], Sum(packet.data(), 21));
    EXPECT_EQ(Encrypt(key.data(), Bytes(16, 7)).size(), 22u);
    EXPECT_EQ(Encrypt(key.data(), Bytes(17, 7)).size(), 38u);
    EXPECT_EQ(Encrypt(key.data(), Bytes(260, 7)).size(), 278u);
    EXPECT_EQ(Encrypt(key.data(), Bytes{}), (Bytes{0x55, 0, 0, 0, 0, 0x55}));
    const Bytes big = Encrypt(key.data(), Bytes(300, 1));
    EXPECT_EQ(big[1], 0x01);  // 300 = 0x012C, high byte first
    EXPECT_EQ(big[2], 0x2C);
}

TEST(PacketCipher, DecryptWritesPaddingToo)
{
    const Key key = KeyOf(Hex("2b7e151628aed2a6abf7158809cf4f3c"));
    const Bytes eight{9, 8, 7, 6, 5, 4, 3, 2};
    const Decrypted d = Decrypt(key.data(), Encrypt(key.data(), eight));
    ASSERT_EQ(d.answer, 0);
    EXPECT_EQ(d.length, 8);
    EXPECT_EQ(Bytes(d.plaintext.begin(), d.plaintext.begin() + 16),
              (Bytes{9, 8, 7, 6, 5, 4, 3, 2, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(d.plaintext.begin() + 16, d.plaintext.end()), Bytes(16, 0xEE));
}

TEST(PacketCipher, AnswersInOrderAndWritesNothingOnRefusal)
{
    const Key key{};
    const Bytes good = Encrypt(key.data(), Bytes(8, 1));

    Bytes badMarkBadSum = good;
    badMarkBadSum[0] = 0x54;
    badMarkBadSum[21] ^= 0x10;
    Bytes badSumBadLength(good.begin(), good.begin() + 21);  // also 15 bytes of blocks
    badSumBadLength[20] ^= 0xFF;
    Bytes badSum = good;
    badSum[10] ^= 1;
    Bytes badLength(good.begin(), good.begin() + 20);
    badLength.push_back(Sum(badLength.data(), badLength.size()));  // 21 bytes, valid sum

    struct Case {
        const Bytes* packet;
        int32_t answer;
    };
    for (const Case& c :
         {Case{&badMarkBadSum, 1}, Case{&badSumBadLength, 2}, Case{&badSum, 2}, Case{&badLength, 3}}) {
        const Decrypted d = Decrypt(key.data(), *c.packet);
        EXPECT_EQ(d.answer, c.answer) << c.packet->size() << " bytes";
        EXPECT_EQ(d.length, -1);
        EXPECT_EQ(d.plaintext, Bytes(d.plaintext.size(), 0xEE));
    }
}

TEST(PacketCipher, PacketsShorterThanSixBytes)
{
    const Key key{};
    EXPECT_EQ(Decrypt(key.data(), {}).answer, 1);
    EXPECT_EQ(_decryptPacket(key.data(), nullptr, 22, nullptr, nullptr), 1);
    const uint8_t one = 0x55;
    int32_t length = -1;
    EXPECT_EQ(_decryptPacket(key.data(), &one, -16, nullptr, &length), 1);
    EXPECT_EQ(_decryptPacket(key.data(), &one, 0, nullptr, &length), 1);
    EXPECT_EQ(Decrypt(key.data(), {0x55}).answer, 2);  // the sum of no bytes is 0
    for (size_t size = 2; size < 6; ++size) {
        Bytes packet(size - 1, 0);
        packet[0] = 0x55;
        packet.push_back(Sum(packet.data(), packet.size()));
        const Decrypted d = Decrypt(key.data(), packet);
        EXPECT_EQ(d.answer, 3) << size << " bytes";
        EXPECT_EQ(d.length, -1);
    }
}

TEST(PacketCipher, SixBytePacketWritesOnlyItsLength)
{
    const Key key{};
    const Decrypted empty = Decrypt(key.data(), {0x55, 0, 0, 0, 0, 0x55});
    EXPECT_EQ(empty.answer, 0);
    EXPECT_EQ(empty.length, 0);
    EXPECT_EQ(empty.plaintext, Bytes(16, 0xEE));
    // A length field that promises bytes the packet does not carry is clipped.
    const Decrypted promising = Decrypt(key.data(), Wrap(8, {}));
    EXPECT_EQ(promising.answer, 0);
    EXPECT_EQ(promising.length, 0);
    EXPECT_EQ(promising.plaintext, Bytes(16, 0xEE));
}

TEST(PacketCipher, LengthFieldIsClippedToTheDecipheredBytes)
{
    const Key key = KeyOf(Hex("000102030405060708090a0b0c0d0e0f"));
    Bytes body = Openssl(key, Bytes(32, 0x42), true);
    for (uint16_t field : {33, 300, 65535}) {
        const Decrypted d = Decrypt(key.data(), Wrap(field, body));
        EXPECT_EQ(d.answer, 0);
        EXPECT_EQ(d.length, 32) << field;
        EXPECT_EQ(Bytes(d.plaintext.begin(), d.plaintext.begin() + 32), Bytes(32, 0x42));
    }
    EXPECT_EQ(Decrypt(key.data(), Wrap(32, body)).length, 32);
    EXPECT_EQ(Decrypt(key.data(), Wrap(5, body)).length, 5);  // shorter: padding, taken as it stands
}

TEST(PacketCipher, EncryptRefusesLengthsTheFieldCannotCarry)
{
    const Key key{};
    Bytes plaintext(70000, 1);
    for (int32_t n : {-1, -16, 65536, 70000}) {
        Bytes packet(16, 0xEE);
        int32_t length = -1;
        _encryptPacket(key.data(), plaintext.data(), n, packet.data(), &length);
        EXPECT_EQ(length, 0) << n;
        EXPECT_EQ(packet, Bytes(16, 0xEE)) << n;
    }
    Bytes packet(65535 + 32);
    int32_t length = 0;
    _encryptPacket(key.data(), plaintext.data(), 65535, packet.data(), &length);
    EXPECT_EQ(length, 65536 + 6);
    EXPECT_EQ(packet[1], 0xFF);
    EXPECT_EQ(packet[2], 0xFF);
}

TEST(PacketCipher, OnlyTheFirstSixteenKeyBytesCount)
{
    // The program passes 18 bytes: the key string and zeros after it.
    std::array<uint8_t, 18> a{};
    std::array<uint8_t, 18> b{};
    for (size_t i = 0; i < 16; ++i) a[i] = b[i] = static_cast<uint8_t>('A' + i);
    a[16] = 'x';
    b[16] = 'y';
    b[17] = 'z';
    const Bytes frame(40, 0x5A);
    EXPECT_EQ(Encrypt(a.data(), frame), Encrypt(b.data(), frame));
    b[15] ^= 1;
    EXPECT_NE(Encrypt(a.data(), frame), Encrypt(b.data(), frame));
}

TEST(PacketCipher, WrongKeyPassesThePacketChecksButNotTheModbusCrc)
{
    Key right{};
    Key wrong{};
    for (size_t i = 0; i < 16; ++i) {
        right[i] = static_cast<uint8_t>(i + 1);
        wrong[i] = static_cast<uint8_t>(i + 2);
    }
    // A read reply of two registers from slave 1, with its CRC.
    Bytes reply{0x01, 0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B};
    const uint16_t crc = ModbusCrc16(reply.data(), reply.size());
    reply.push_back(static_cast<uint8_t>(crc & 0xFF));
    reply.push_back(static_cast<uint8_t>(crc >> 8));
    CModbusFrame frame;
    frame.SetMode(CModbusFrame::kModeRtu);
    frame.SetSlaveAddress(1);
    ASSERT_EQ(frame.CheckReply(reply.data(), reply.size()), CModbusFrame::kCheckComplete);

    const Bytes packet = Encrypt(right.data(), reply);
    const Decrypted good = Decrypt(right.data(), packet);
    ASSERT_EQ(good.answer, 0);
    EXPECT_EQ(frame.CheckReply(good.plaintext.data(), static_cast<size_t>(good.length)),
              CModbusFrame::kCheckComplete);

    const Decrypted bad = Decrypt(wrong.data(), packet);
    ASSERT_EQ(bad.answer, 0);
    EXPECT_EQ(bad.length, 9);
    EXPECT_NE(Bytes(bad.plaintext.begin(), bad.plaintext.begin() + 9), reply);
    EXPECT_EQ(frame.CheckReply(bad.plaintext.data(), static_cast<size_t>(bad.length)),
              CModbusFrame::kCheckBad);
}

TEST(PacketCipher, ConcurrentCallsWithDifferentKeys)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 400;
    std::vector<Key> keys(kThreads);
    std::vector<Bytes> frames(kThreads);
    std::vector<Bytes> expected(kThreads);
    std::mt19937 random(5);
    for (int t = 0; t < kThreads; ++t) {
        for (auto& b : keys[t]) b = static_cast<uint8_t>(random());
        frames[t].resize(100 + 20 * t);
        for (auto& b : frames[t]) b = static_cast<uint8_t>(random());
        expected[t] = Encrypt(keys[t].data(), frames[t]);  // alone, before any thread runs
    }
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Bytes packet(frames[t].size() + 32);
            Bytes plaintext(packet.size());
            for (int r = 0; r < kRounds; ++r) {
                int32_t length = 0;
                _encryptPacket(keys[t].data(), frames[t].data(), static_cast<int32_t>(frames[t].size()),
                               packet.data(), &length);
                if (Bytes(packet.begin(), packet.begin() + length) != expected[t]) ++mismatches[t];
                int32_t plainLength = 0;
                if (_decryptPacket(keys[t].data(), packet.data(), length, plaintext.data(), &plainLength) !=
                        0 ||
                    plainLength != static_cast<int32_t>(frames[t].size()) ||
                    !std::equal(frames[t].begin(), frames[t].end(), plaintext.begin())) {
                    ++mismatches[t];
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}
