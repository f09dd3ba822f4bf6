#include "devicemaps/ValueCodec.h"

#include <array>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <vector>

// The codec is checked against a bit-level description of every code written
// here independently: a decoded value is the concatenation (least significant
// first) of runs of bits taken either from register n (bit 0 = least significant
// bit of the register value, byte 2n+1 on the wire) or from raw byte n.

namespace {

struct Run {
    bool rawByte;  // false: register bits, true: bits of a raw buffer byte
    int index;     // register number or byte number
    int firstBit;
    int width;
};

struct CodeSpec {
    std::uint32_t code;
    VARTYPE vt;
    std::uint32_t registers;
    bool writable;
    std::vector<Run> runs;
};

Run R(int reg, int first, int width)
{
    return {false, reg, first, width};
}
Run B(int byte)
{
    return {true, byte, 0, 8};
}

std::vector<CodeSpec> AllDefinedCodes()
{
    std::vector<CodeSpec> specs;
    specs.push_back({1, VT_UI2, 2, true, {R(0, 0, 16)}});
    specs.push_back({2, VT_UI4, 2, true, {R(0, 0, 16), R(1, 0, 16)}});
    specs.push_back({3, VT_UI2, 2, false, {B(0), B(3)}});
    specs.push_back({4, VT_UI4, 3, false, {B(0), B(3), B(2), B(5)}});
    specs.push_back({5, VT_UI1, 1, false, {R(0, 9, 3)}});
    for (std::uint32_t c = 6; c <= 21; ++c)
        specs.push_back({c, VT_BOOL, 1, true, {R(0, static_cast<int>(c) - 6, 1)}});
    for (int f = 0; f < 8; ++f)
        specs.push_back({static_cast<std::uint32_t>(27 + f), VT_UI1, 1, true, {R(0, 2 * f, 2)}});
    for (int n = 0; n < 4; ++n)
        specs.push_back({static_cast<std::uint32_t>(35 + n), VT_UI1, 1, true, {R(0, 4 * n, 4)}});
    specs.push_back({39, VT_UI1, 1, true, {R(0, 0, 8)}});
    specs.push_back({40, VT_UI1, 1, true, {R(0, 8, 8)}});
    for (int k = 0; k < 6; ++k) {
        // 5-bit field k of the 32-bit value R0 + 65536 * R1; field 3 straddles both.
        std::vector<Run> runs;
        int bit = 5 * k;
        for (int left = 5; left > 0;) {
            const int reg = bit / 16, inReg = bit % 16;
            const int w = std::min(left, 16 - inReg);
            runs.push_back(R(reg, inReg, w));
            bit += w;
            left -= w;
        }
        specs.push_back({static_cast<std::uint32_t>(43 + k), VT_UI1, 2, false, runs});
    }
    return specs;
}

int BitOf(const std::uint8_t* item, const Run& run, int bit)
{
    if (run.rawByte) return (item[run.index] >> bit) & 1;
    // Register bit b lives in the low (second) byte for b < 8, in the high (first) byte otherwise.
    const std::uint8_t byte = bit < 8 ? item[2 * run.index + 1] : item[2 * run.index];
    return (byte >> (bit % 8)) & 1;
}

void SetBitOf(std::uint8_t* item, const Run& run, int bit, int value)
{
    std::uint8_t& byte =
        run.rawByte ? item[run.index] : (bit < 8 ? item[2 * run.index + 1] : item[2 * run.index]);
    const std::uint8_t mask = static_cast<std::uint8_t>(1u << (bit % 8));
    byte = value ? (byte | mask) : (byte & ~mask);
}

std::uint32_t Expected(const CodeSpec& spec, const std::uint8_t* item)
{
    std::uint32_t v = 0;
    int out = 0;
    for (const Run& run : spec.runs)
        for (int i = 0; i < run.width; ++i, ++out)
            v |= static_cast<std::uint32_t>(BitOf(item, run, run.firstBit + i)) << out;
    return v;
}

int Width(const CodeSpec& spec)
{
    int w = 0;
    for (const Run& run : spec.runs) w += run.width;
    return w;
}

// Writes the low bits of v into the code's bit positions.
void Place(const CodeSpec& spec, std::uint8_t* item, std::uint32_t v)
{
    int out = 0;
    for (const Run& run : spec.runs)
        for (int i = 0; i < run.width; ++i, ++out) SetBitOf(item, run, run.firstBit + i, (v >> out) & 1);
}

std::uint32_t ValueOf(const VARIANT& v)
{
    switch (v.vt) {
        case VT_UI1:
            return v.bVal;
        case VT_UI2:
            return v.uiVal;
        case VT_UI4:
            return v.ulVal;
        case VT_BOOL:
            return static_cast<std::uint16_t>(v.boolVal);
        default:
            ADD_FAILURE() << "unexpected vt " << v.vt;
            return 0;
    }
}

VARIANT MakeUi4(std::uint32_t u)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UI4;
    v.ulVal = u;
    return v;
}

VARIANT MakeI4(std::int32_t i)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = i;
    return v;
}

VARIANT MakeBool(bool b)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

struct Text {
    VARIANT v;
    explicit Text(const char* utf8)
    {
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocStringUtf8(utf8);
    }
    ~Text() { VariantClear(&v); }
};

constexpr std::size_t kBufferSize = kMaxItemOffset + 2 * kMaxItemRegisters + 8;

std::vector<std::uint8_t> RandomBytes(std::mt19937& rng, std::size_t n)
{
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

const std::uint32_t kUndefinedCodes[] = {0,  22, 23,  24,  25,  26,  41,         42,
                                         49, 50, 100, 255, 256, 262, 0xFFFFFFFFu};

}  // namespace

TEST(ValueCodec, TypesAndRegisterCountsOfEveryCode)
{
    const auto specs = AllDefinedCodes();
    ASSERT_EQ(specs.size(), 48u - 7u);  // 1..48 without 22..26, 41, 42
    for (const CodeSpec& spec : specs) {
        VARTYPE vt = 0xFFFF;
        std::uint32_t count = 99;
        EXPECT_TRUE(ItemVarType(spec.code, &vt)) << spec.code;
        EXPECT_EQ(vt, spec.vt) << spec.code;
        EXPECT_TRUE(ItemRegisterCount(spec.code, &count)) << spec.code;
        EXPECT_EQ(count, spec.registers) << spec.code;
    }
    for (std::uint32_t code : kUndefinedCodes) {
        VARTYPE vt = 0x1234;
        std::uint32_t count = 77;
        EXPECT_FALSE(ItemVarType(code, &vt)) << code;
        EXPECT_FALSE(ItemRegisterCount(code, &count)) << code;
        EXPECT_EQ(vt, 0x1234) << code;
        EXPECT_EQ(count, 77u) << code;
    }
}

TEST(ValueCodec, DecodingMatchesTheBitLevelDescription)
{
    std::mt19937 rng(20240611);
    for (const CodeSpec& spec : AllDefinedCodes()) {
        for (std::uint32_t offset : {0u, 1u, 2u, 7u, 128u, 200u, 255u}) {
            for (int round = 0; round < 40; ++round) {
                std::vector<std::uint8_t> buffer = RandomBytes(rng, kBufferSize);
                // Some rounds with all ones / all zeros so every bit is seen both ways.
                if (round == 0) std::fill(buffer.begin(), buffer.end(), 0xFF);
                if (round == 1) std::fill(buffer.begin(), buffer.end(), 0x00);
                const std::vector<std::uint8_t> before = buffer;
                std::array<std::uint8_t, 8> image;
                image.fill(0x5A);
                VARIANT v = MakeUi4(0xDEADBEEF);
                DecodeItemValue(offset, image.data(), spec.code, buffer.data(), &v);
                ASSERT_EQ(v.vt, spec.vt) << "code " << spec.code;
                EXPECT_EQ(ValueOf(v), Expected(spec, buffer.data() + offset))
                    << "code " << spec.code << " offset " << offset;
                EXPECT_EQ(buffer, before);
                const std::size_t n = spec.registers * 2;
                EXPECT_EQ(0, std::memcmp(image.data(), buffer.data() + offset, n)) << spec.code;
                for (std::size_t i = n; i < image.size(); ++i) EXPECT_EQ(image[i], 0x5A) << spec.code;
            }
        }
    }
}

TEST(ValueCodec, DecodingWithoutImageAndBooleansAreOne)
{
    const std::uint8_t bytes[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (std::uint32_t code = 6; code <= 21; ++code) {
        VARIANT v;
        VariantInit(&v);
        DecodeItemValue(0, nullptr, code, bytes, &v);
        EXPECT_EQ(v.vt, VT_BOOL);
        EXPECT_EQ(v.boolVal, 1) << "a set bit decodes as 1, not -1; code " << code;
    }
}

TEST(ValueCodec, DecodingExamples)
{
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::uint32_t code;
        VARTYPE vt;
        std::uint32_t value;
    };
    const Case cases[] = {
        {{0x12, 0x34, 0, 0}, 1, VT_UI2, 4660},
        {{0x12, 0x34}, 39, VT_UI1, 0x34},
        {{0x12, 0x34}, 40, VT_UI1, 0x12},
        {{0x12, 0x34}, 6, VT_BOOL, 0},
        {{0x12, 0x34}, 11, VT_BOOL, 1},
        {{0x00, 0x01, 0x00, 0x02}, 2, VT_UI4, 0x20001},
        {{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, 3, VT_UI2, 0xDDAA},
        {{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, 4, VT_UI4, 0xFFCCDDAA},
        {{0x84, 0x21, 0x00, 0x00}, 43, VT_UI1, 1},
        {{0x84, 0x21, 0x00, 0x00}, 44, VT_UI1, 1},
        {{0x84, 0x21, 0x00, 0x00}, 45, VT_UI1, 1},
        {{0x84, 0x21, 0x00, 0x00}, 46, VT_UI1, 1},
        {{0x84, 0x21, 0x00, 0x00}, 47, VT_UI1, 0},
        {{0x0E, 0x00}, 5, VT_UI1, 7},
        {{0x00, 0x00, 0x00, 0x08}, 46, VT_UI1, 0x10},  // R1 bit 3 is V bit 19, the top of field 3
    };
    for (const Case& c : cases) {
        VARIANT v;
        VariantInit(&v);
        std::vector<std::uint8_t> buf = c.bytes;
        buf.resize(8, 0);
        DecodeItemValue(0, nullptr, c.code, buf.data(), &v);
        EXPECT_EQ(v.vt, c.vt) << c.code;
        EXPECT_EQ(ValueOf(v), c.value) << c.code;
    }
}

TEST(ValueCodec, DecodingRefusals)
{
    std::vector<std::uint8_t> buffer(kBufferSize + 300, 0xFF);
    for (std::uint32_t code : kUndefinedCodes) {
        VARIANT v = MakeUi4(4242);
        std::array<std::uint8_t, 6> image{1, 2, 3, 4, 5, 6};
        DecodeItemValue(0, image.data(), code, buffer.data(), &v);
        EXPECT_EQ(v.vt, VT_UI4) << "undefined code " << code << " leaves the value alone";
        EXPECT_EQ(v.ulVal, 4242u);
        EXPECT_EQ(image, (std::array<std::uint8_t, 6>{1, 2, 3, 4, 5, 6}));
    }
    for (const CodeSpec& spec : AllDefinedCodes()) {
        for (std::uint32_t offset : {256u, 300u}) {
            VARIANT v = MakeUi4(4242);
            std::array<std::uint8_t, 6> image{1, 2, 3, 4, 5, 6};
            DecodeItemValue(offset, image.data(), spec.code, buffer.data(), &v);
            EXPECT_EQ(v.vt, VT_EMPTY) << spec.code;
            EXPECT_EQ(v.ullVal, 0u) << spec.code;
            EXPECT_EQ(image, (std::array<std::uint8_t, 6>{1, 2, 3, 4, 5, 6}));
        }
        VARIANT v = MakeUi4(4242);
        DecodeItemValue(0, nullptr, spec.code, nullptr, &v);
        EXPECT_EQ(v.vt, VT_EMPTY) << spec.code;
        // A text value is freed, not leaked, when the decode clears it.
        Text text("старое значение");
        DecodeItemValue(0, nullptr, spec.code, buffer.data(), &text.v);
        EXPECT_EQ(text.v.vt, spec.vt);
    }
}

TEST(ValueCodec, EncodingRoundTripsForEveryWritableCode)
{
    std::mt19937 rng(7);
    for (const CodeSpec& spec : AllDefinedCodes()) {
        if (!spec.writable) continue;
        const int width = Width(spec);
        for (std::uint32_t offset : {0u, 3u, 100u, 255u}) {
            for (int round = 0; round < 60; ++round) {
                std::vector<std::uint8_t> buffer = RandomBytes(rng, kBufferSize);
                std::vector<std::uint8_t> imageBytes = RandomBytes(rng, 2 * spec.registers);
                if (round == 0) std::fill(imageBytes.begin(), imageBytes.end(), 0x00);
                if (round == 1) std::fill(imageBytes.begin(), imageBytes.end(), 0xFF);
                const std::uint32_t full = width == 32
                                               ? static_cast<std::uint32_t>(rng())
                                               : static_cast<std::uint32_t>(rng()) & ((1u << width) - 1);
                const std::uint32_t value = (round == 2) ? 0 : full;
                VARIANT in = spec.vt == VT_BOOL ? MakeBool(value != 0) : MakeUi4(value);

                // Bit and field codes start from the image; whole-register codes only replace their words.
                std::vector<std::uint8_t> expected = buffer;
                std::vector<std::uint8_t> expectedImage = imageBytes;
                if (spec.vt == VT_UI2 || spec.vt == VT_UI4) {
                    const std::size_t words = spec.code == 1 ? 1 : 2;
                    std::vector<std::uint8_t> scratch(4, 0);
                    Place(spec, scratch.data(), value);
                    std::copy(scratch.begin(), scratch.begin() + 2 * words, expected.begin() + offset);
                } else {
                    Place(spec, expectedImage.data(), value);
                    std::copy(expectedImage.begin(), expectedImage.end(), expected.begin() + offset);
                }

                const int ok = EncodeItemValue(offset, imageBytes.data(), spec.code, buffer.data(), &in);
                ASSERT_EQ(ok, 1) << spec.code;
                EXPECT_EQ(buffer, expected) << "code " << spec.code << " offset " << offset;
                EXPECT_EQ(imageBytes, expectedImage) << "code " << spec.code;

                VARIANT back;
                VariantInit(&back);
                DecodeItemValue(offset, nullptr, spec.code, buffer.data(), &back);
                EXPECT_EQ(ValueOf(back), value) << "code " << spec.code;
            }
        }
    }
}

TEST(ValueCodec, EncodingExamples)
{
    auto encode = [](std::uint32_t code, std::array<std::uint8_t, 2> image, const VARIANT& v) {
        std::array<std::uint8_t, 2> buffer{0xEE, 0xEE};
        EXPECT_EQ(EncodeItemValue(0, image.data(), code, buffer.data(), &v), 1);
        EXPECT_EQ(buffer, image) << "buffer and image agree after a bit or field write";
        return buffer;
    };
    EXPECT_EQ(encode(14, {0, 0}, MakeBool(true)), (std::array<std::uint8_t, 2>{0x01, 0x00}));
    EXPECT_EQ(encode(27, {0, 0}, MakeUi4(1)), (std::array<std::uint8_t, 2>{0x00, 0x01}));
    EXPECT_EQ(encode(31, {0xFF, 0xFF}, MakeUi4(0)), (std::array<std::uint8_t, 2>{0xFC, 0xFF}));
    // Only the low bits of the converted byte enter a field.
    EXPECT_EQ(encode(28, {0, 0}, MakeUi4(7)), (std::array<std::uint8_t, 2>{0x00, 0x0C}));
    EXPECT_EQ(encode(38, {0x0F, 0xFF}, MakeUi4(0xA5)), (std::array<std::uint8_t, 2>{0x5F, 0xFF}));
    // Any non-zero number sets a bit; zero clears it.
    EXPECT_EQ(encode(6, {0, 0}, MakeI4(5)), (std::array<std::uint8_t, 2>{0x00, 0x01}));
    EXPECT_EQ(encode(21, {0xFF, 0xFF}, MakeI4(0)), (std::array<std::uint8_t, 2>{0x7F, 0xFF}));

    std::array<std::uint8_t, 4> words{0, 0, 0, 0};
    VARIANT v = MakeUi4(0x12345678);
    EXPECT_EQ(EncodeItemValue(0, nullptr, 2, words.data(), &v), 1);
    EXPECT_EQ(words, (std::array<std::uint8_t, 4>{0x56, 0x78, 0x12, 0x34}));
    words = {0xAA, 0xAA, 0xAA, 0xAA};
    v = MakeI4(0x1234);
    EXPECT_EQ(EncodeItemValue(0, nullptr, 1, words.data(), &v), 1);
    EXPECT_EQ(words, (std::array<std::uint8_t, 4>{0x12, 0x34, 0xAA, 0xAA}));
    // A text that is a number converts.
    Text number("513");
    EXPECT_EQ(EncodeItemValue(0, nullptr, 1, words.data(), &number.v), 1);
    EXPECT_EQ(words, (std::array<std::uint8_t, 4>{0x02, 0x01, 0xAA, 0xAA}));
}

TEST(ValueCodec, ReadOnlyCodesWriteNothingAndAnswerOne)
{
    for (const CodeSpec& spec : AllDefinedCodes()) {
        if (spec.writable) continue;
        std::vector<std::uint8_t> buffer(kBufferSize, 0x33);
        std::array<std::uint8_t, 6> image{1, 2, 3, 4, 5, 6};
        VARIANT v = MakeUi4(1);
        EXPECT_EQ(EncodeItemValue(4, image.data(), spec.code, buffer.data(), &v), 1) << spec.code;
        EXPECT_EQ(buffer, std::vector<std::uint8_t>(kBufferSize, 0x33)) << spec.code;
        EXPECT_EQ(image, (std::array<std::uint8_t, 6>{1, 2, 3, 4, 5, 6})) << spec.code;
    }
}

TEST(ValueCodec, EncodingRefusalsWriteNothing)
{
    const std::vector<std::uint8_t> pristine(kBufferSize + 300, 0x5C);
    const std::array<std::uint8_t, 6> pristineImage{0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    auto refused = [&](std::uint32_t offset, bool withImage, std::uint32_t code, bool withBuffer,
                       const VARIANT* v) {
        std::vector<std::uint8_t> buffer = pristine;
        std::array<std::uint8_t, 6> image = pristineImage;
        const int r = EncodeItemValue(offset, withImage ? image.data() : nullptr, code,
                                      withBuffer ? buffer.data() : nullptr, v);
        return r == 0 && buffer == pristine && image == pristineImage;
    };
    VARIANT one = MakeUi4(1);
    for (std::uint32_t code : kUndefinedCodes) EXPECT_TRUE(refused(0, true, code, true, &one)) << code;

    Text notANumber("abc");
    Text empty("");
    VARIANT tooBig = MakeUi4(70000);  // fits no VT_UI2 or VT_UI1
    VARIANT negative = MakeI4(-1);
    for (const CodeSpec& spec : AllDefinedCodes()) {
        EXPECT_TRUE(refused(256, true, spec.code, true, &one)) << spec.code;
        EXPECT_TRUE(refused(1000, true, spec.code, true, &one)) << spec.code;
        EXPECT_TRUE(refused(0, true, spec.code, false, &one)) << spec.code;
        EXPECT_TRUE(refused(0, true, spec.code, true, nullptr)) << spec.code;
        EXPECT_TRUE(refused(0, true, spec.code, true, &notANumber.v)) << spec.code;
        EXPECT_TRUE(refused(0, true, spec.code, true, &empty.v)) << spec.code;
        if (spec.vt == VT_UI1 || spec.vt == VT_UI2) {
            EXPECT_TRUE(refused(0, true, spec.code, true, &tooBig)) << spec.code;
            EXPECT_TRUE(refused(0, true, spec.code, true, &negative)) << spec.code;
        }
        // A bit or field write needs the last bytes read.
        if (spec.writable && spec.registers == 1) {
            EXPECT_TRUE(refused(0, false, spec.code, true, &one)) << spec.code;
        }
    }
}
