#include "devicemaps/ValueCodec.h"

#include <cstring>

namespace {

struct CodeInfo {
    VARTYPE vt;  // VT_EMPTY: undefined code
    std::uint8_t registers;
};

constexpr CodeInfo kUndefined{VT_EMPTY, 0};

constexpr CodeInfo Info(std::uint32_t code)
{
    if (code == 1 || code == 3) return {VT_UI2, 2};
    if (code == 2) return {VT_UI4, 2};
    if (code == 4) return {VT_UI4, 3};
    if (code == 5) return {VT_UI1, 1};
    if (code >= 6 && code <= 21) return {VT_BOOL, 1};
    if (code >= 27 && code <= 40) return {VT_UI1, 1};
    if (code >= 43 && code <= 48) return {VT_UI1, 2};
    return kUndefined;
}

// Bit and field codes as a mask and shift in W (the image's first two bytes,
// little-endian): codes 6..13 are register bits 0..7, i.e. W bits 8..15.
struct FieldInW {
    std::uint16_t mask;  // unshifted: 1, 3, 15 or 255
    std::uint8_t shift;
};

constexpr bool FieldOf(std::uint32_t code, FieldInW* f)
{
    if (code >= 6 && code <= 13)
        *f = {1, static_cast<std::uint8_t>(code + 2)};
    else if (code >= 14 && code <= 21)
        *f = {1, static_cast<std::uint8_t>(code - 14)};
    else if (code >= 27 && code <= 30)
        *f = {3, static_cast<std::uint8_t>(2 * code - 46)};
    else if (code >= 31 && code <= 34)
        *f = {3, static_cast<std::uint8_t>(2 * code - 62)};
    else if (code == 35 || code == 36)
        *f = {15, static_cast<std::uint8_t>(4 * code - 132)};
    else if (code == 37 || code == 38)
        *f = {15, static_cast<std::uint8_t>(4 * code - 148)};
    else if (code == 39)
        *f = {255, 8};
    else if (code == 40)
        *f = {255, 0};
    else
        return false;
    return true;
}

std::uint32_t Reg(const std::uint8_t* b, int n)
{
    return b[2 * n] * 256u + b[2 * n + 1];
}

}  // namespace

bool ItemVarType(std::uint32_t code, VARTYPE* vt)
{
    const CodeInfo info = Info(code);
    if (info.registers == 0) return false;
    if (vt) *vt = info.vt;
    return true;
}

bool ItemRegisterCount(std::uint32_t code, std::uint32_t* count)
{
    const CodeInfo info = Info(code);
    if (info.registers == 0) return false;
    if (count) *count = info.registers;
    return true;
}

void DecodeItemValue(std::uint32_t offset, std::uint8_t* image, std::uint32_t code,
                     const std::uint8_t* buffer, VARIANT* value)
{
    const CodeInfo info = Info(code);
    if (info.registers == 0 || value == nullptr) return;
    VariantClear(value);
    std::memset(value, 0, sizeof(VARIANT));
    if (buffer == nullptr || offset > kMaxItemOffset) return;

    const std::uint8_t* b = buffer + offset;
    if (image) std::memcpy(image, b, info.registers * 2u);

    const std::uint32_t r0 = Reg(b, 0);
    std::uint32_t v = 0;
    if (code == 1)
        v = r0;
    else if (code == 2)
        v = r0 + 65536u * Reg(b, 1);
    // Codes 3 and 4 read the device's little-endian memory from its odd byte.
    else if (code == 3)
        v = b[0] + 256u * b[3];
    else if (code == 4)
        v = b[0] + 256u * b[3] + 65536u * b[2] + 16777216u * b[5];
    else if (code == 5)
        v = (b[0] >> 1) & 7u;
    else if (code <= 21)
        v = (r0 >> (code - 6)) & 1u;
    else if (code <= 30)
        v = (r0 >> (2 * (code - 27))) & 3u;
    else if (code <= 34)
        v = (r0 >> (8 + 2 * (code - 31))) & 3u;
    else if (code <= 38)
        v = (r0 >> (4 * (code - 35))) & 15u;
    else if (code == 39)
        v = b[1];
    else if (code == 40)
        v = b[0];
    else
        v = ((r0 + 65536u * Reg(b, 1)) >> (5 * (code - 43))) & 31u;

    value->vt = info.vt;
    switch (info.vt) {
        case VT_UI2:
            value->uiVal = static_cast<std::uint16_t>(v);
            break;
        case VT_UI4:
            value->ulVal = v;
            break;
        case VT_UI1:
            value->bVal = static_cast<std::uint8_t>(v);
            break;
        // A set bit reads as 1, not as VARIANT_TRUE: clients of the kit expect 1.
        case VT_BOOL:
            value->boolVal = static_cast<VARIANT_BOOL>(v);
            break;
        default:
            break;
    }
}

int EncodeItemValue(std::uint32_t offset, std::uint8_t* image, std::uint32_t code, std::uint8_t* buffer,
                    const VARIANT* value)
{
    const CodeInfo info = Info(code);
    if (info.registers == 0) return 0;
    if (offset > kMaxItemOffset || buffer == nullptr || value == nullptr) return 0;

    VARIANT converted;
    VariantInit(&converted);
    // A value that does not convert must not reach the device as undefined bytes.
    if (FAILED(VariantChangeType(&converted, value, 0, info.vt))) {
        VariantClear(&converted);
        return 0;
    }

    std::uint8_t* b = buffer + offset;
    int result = 1;
    FieldInW field{};
    if (code == 1) {
        b[0] = static_cast<std::uint8_t>(converted.uiVal >> 8);
        b[1] = static_cast<std::uint8_t>(converted.uiVal);
    } else if (code == 2) {
        const std::uint32_t u = converted.ulVal;
        b[0] = static_cast<std::uint8_t>(u >> 8);
        b[1] = static_cast<std::uint8_t>(u);
        b[2] = static_cast<std::uint8_t>(u >> 24);
        b[3] = static_cast<std::uint8_t>(u >> 16);
    } else if (FieldOf(code, &field)) {
        // Read-modify-write from the last bytes read; without them the other
        // bits of the register are unknown, so nothing is written.
        if (image == nullptr) {
            result = 0;
        } else {
            const std::uint32_t bits =
                info.vt == VT_BOOL ? (converted.boolVal != 0 ? 1u : 0u) : (converted.bVal & field.mask);
            std::uint32_t w = image[0] + 256u * image[1];
            w &= ~(static_cast<std::uint32_t>(field.mask) << field.shift);
            w |= bits << field.shift;
            b[0] = image[0] = static_cast<std::uint8_t>(w);
            b[1] = image[1] = static_cast<std::uint8_t>(w >> 8);
        }
    }
    // Codes 3, 4, 5 and 43..48 are read-only views: nothing to write.
    VariantClear(&converted);
    return result;
}
