// Enciphering and deciphering one 260-byte frame (the longest Modbus frame):
// the packet cipher library against OpenSSL's EVP AES-128-ECB on the same
// zero-filled bytes with the same key, each setting its key on every call as
// the library does.
#include "mardelCrypto.h"

#include <array>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <vector>

namespace {
constexpr int kFrame = 260;
constexpr int kPadded = 272;

std::array<uint8_t, 16> Key()
{
    std::array<uint8_t, 16> key{};
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0xA5 ^ (i * 17));
    return key;
}

std::vector<uint8_t> Frame()
{
    std::vector<uint8_t> frame(kPadded, 0);
    for (int i = 0; i < kFrame; ++i) frame[i] = static_cast<uint8_t>(i * 13 + 1);
    return frame;
}
}  // namespace

static void BM_PacketCipher260(benchmark::State& state)
{
    const auto key = Key();
    const auto frame = Frame();
    std::vector<uint8_t> packet(kPadded + 6);
    std::vector<uint8_t> plaintext(kPadded);
    for (auto _ : state) {
        int32_t packetLength = 0;
        int32_t plaintextLength = 0;
        _encryptPacket(key.data(), frame.data(), kFrame, packet.data(), &packetLength);
        if (_decryptPacket(key.data(), packet.data(), packetLength, plaintext.data(), &plaintextLength) !=
            0) {
            state.SkipWithError("packet refused");
            break;
        }
        benchmark::DoNotOptimize(plaintext.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrame);
}
BENCHMARK(BM_PacketCipher260);

static void BM_OpensslAes128Ecb260(benchmark::State& state)
{
    const auto key = Key();
    const auto frame = Frame();
    std::vector<uint8_t> cipher(kPadded + 16);
    std::vector<uint8_t> plaintext(kPadded + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        int length = 0;
        int final = 0;
        EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr, 1);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_CipherUpdate(ctx, cipher.data(), &length, frame.data(), kPadded);
        EVP_CipherFinal_ex(ctx, cipher.data() + length, &final);
        EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr, 0);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_CipherUpdate(ctx, plaintext.data(), &length, cipher.data(), kPadded);
        EVP_CipherFinal_ex(ctx, plaintext.data() + length, &final);
        benchmark::DoNotOptimize(plaintext.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    if (plaintext[0] != frame[0] || plaintext[kFrame - 1] != frame[kFrame - 1])
        state.SkipWithError("no round trip");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrame);
}
BENCHMARK(BM_OpensslAes128Ecb260);
