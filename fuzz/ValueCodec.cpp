// Decodes and encodes arbitrary register bytes and client values with every code.
// Input: code, offset (two bytes, so offsets above 255 occur), value type, eight
// value bytes, then the register bytes. The buffer is sized exactly for the item
// so that any read or write outside it is caught by the sanitizer.
#include "devicemaps/ValueCodec.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition) std::abort();
}

std::uint32_t Number(const VARIANT& v)
{
    switch (v.vt) {
        case VT_UI1:
            return v.bVal;
        case VT_UI2:
            return v.uiVal;
        case VT_UI4:
            return v.ulVal;
        case VT_BOOL:
            return v.boolVal != 0;
        default:
            return 0;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 12) return 0;
    const std::uint32_t code = data[0];
    const std::uint32_t offset = data[1] | ((data[2] & 1u) << 8);
    const std::uint8_t kind = data[3];
    std::uint64_t raw = 0;
    std::memcpy(&raw, data + 4, 8);
    data += 12;
    size -= 12;

    std::uint32_t registers = 0;
    const bool defined = ItemRegisterCount(code, &registers);
    VARTYPE vt = VT_EMPTY;
    Check(defined == ItemVarType(code, &vt));
    if (!defined) registers = 1;

    const std::size_t need = offset + 2u * registers;
    std::vector<std::uint8_t> buffer(need);
    std::memcpy(buffer.data(), data, std::min(size, need));
    std::uint8_t image[2 * kMaxItemRegisters] = {};

    VARIANT decoded;
    VariantInit(&decoded);
    DecodeItemValue(offset, image, code, buffer.data(), &decoded);
    if (defined && offset <= kMaxItemOffset) {
        Check(decoded.vt == vt);
        Check(std::memcmp(image, buffer.data() + offset, 2 * registers) == 0);
    } else {
        Check(decoded.vt == VT_EMPTY);
    }

    VARIANT value;
    VariantInit(&value);
    switch (kind % 6) {
        case 0:
            value.vt = VT_UI1;
            value.bVal = static_cast<std::uint8_t>(raw);
            break;
        case 1:
            value.vt = VT_UI2;
            value.uiVal = static_cast<std::uint16_t>(raw);
            break;
        case 2:
            value.vt = VT_UI4;
            value.ulVal = static_cast<std::uint32_t>(raw);
            break;
        case 3:
            value.vt = VT_I4;
            value.lVal = static_cast<std::int32_t>(raw);
            break;
        case 4:
            value.vt = VT_R8;
            std::memcpy(&value.dblVal, &raw, 8);
            break;
        default: {
            char text[9] = {};
            std::memcpy(text, &raw, 8);
            value.vt = VT_BSTR;
            value.bstrVal = SysAllocStringUtf8(text);
        }
    }
    const std::vector<std::uint8_t> before = buffer;
    std::uint8_t imageBefore[sizeof image];
    std::memcpy(imageBefore, image, sizeof image);
    const int written = EncodeItemValue(offset, image, code, buffer.data(), &value);
    if (!written) {
        Check(buffer == before);
        Check(std::memcmp(image, imageBefore, sizeof image) == 0);
    } else {
        Check(defined && offset <= kMaxItemOffset);
        // Whatever was written reads back as the converted value, within the code's width.
        VARIANT converted;
        VariantInit(&converted);
        if (SUCCEEDED(VariantChangeType(&converted, &value, 0, vt))) {
            VARIANT back;
            VariantInit(&back);
            DecodeItemValue(offset, nullptr, code, buffer.data(), &back);
            const std::uint32_t want = Number(converted);
            const std::uint32_t got = Number(back);
            if (code == 1 || code == 2) Check(got == want);
            if (code >= 6 && code <= 21) Check(got == (want != 0));
            if (code >= 27 && code <= 34) Check(got == (want & 3u));
            if (code >= 35 && code <= 38) Check(got == (want & 15u));
            if (code == 39 || code == 40) Check(got == (want & 255u));
            if (code == 3 || code == 4 || code == 5 || code >= 43) Check(buffer == before);
            VariantClear(&back);
        }
        VariantClear(&converted);
    }
    VariantClear(&value);
    VariantClear(&decoded);
    return 0;
}
