// _decryptPacket on arbitrary packets, and _encryptPacket/_decryptPacket round
// trips. Input: 16 key bytes, then the packet. Every buffer has the exact size
// the caller must provide, so a read or write outside it is caught by
// AddressSanitizer.
#include "mardelCrypto.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 16 || size > 16 + 8000) return 0;
    const uint8_t* key = data;
    const int32_t m = static_cast<int32_t>(size - 16);
    std::unique_ptr<uint8_t[]> packet(new uint8_t[m > 0 ? m : 1]);
    std::memcpy(packet.get(), data + 16, static_cast<size_t>(m));

    const size_t room = m > 6 ? static_cast<size_t>(m - 6) : 0;
    std::unique_ptr<uint8_t[]> plaintext(new uint8_t[room + 1]);
    int32_t length = -1;
    const int32_t answer = _decryptPacket(key, packet.get(), m, room ? plaintext.get() : nullptr, &length);
    if (answer < 0 || answer > 3) __builtin_trap();
    if (answer != 0 && length != -1) __builtin_trap();
    if (answer == 0 && (length < 0 || static_cast<size_t>(length) > room)) __builtin_trap();

    // Whatever the bytes, enciphering and deciphering them gives them back.
    const int32_t padded = (m + 15) / 16 * 16;
    std::unique_ptr<uint8_t[]> wrapped(new uint8_t[padded + 6]);
    int32_t wrappedLength = -1;
    _encryptPacket(key, packet.get(), m, wrapped.get(), &wrappedLength);
    if (wrappedLength != padded + 6) __builtin_trap();
    std::unique_ptr<uint8_t[]> back(new uint8_t[padded + 1]);
    int32_t backLength = -1;
    if (_decryptPacket(key, wrapped.get(), wrappedLength, back.get(), &backLength) != 0) __builtin_trap();
    if (backLength != m || std::memcmp(back.get(), packet.get(), static_cast<size_t>(m)) != 0)
        __builtin_trap();
    for (int32_t i = m; i < padded; ++i) {
        if (back[i] != 0) __builtin_trap();
    }
    return 0;
}
