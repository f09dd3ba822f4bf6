#include "platform/Variant.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

namespace {

// Owns a VARIANT for the length of a test, so asan sees every leak.
struct CVar {
    VARIANT v;
    CVar() { VariantInit(&v); }
    ~CVar() { VariantClear(&v); }
    CVar(const CVar&) = delete;
    CVar& operator=(const CVar&) = delete;
};

VARIANT I8(std::int64_t x)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I8;
    v.llVal = x;
    return v;
}

VARIANT UI8(std::uint64_t x)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UI8;
    v.ullVal = x;
    return v;
}

VARIANT R8(double x)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = x;
    return v;
}

VARIANT Bool(VARIANT_BOOL x)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = x;
    return v;
}

// Converts and returns the result's value as a wide integer (for integer types).
struct Outcome {
    HRESULT hr;
    std::int64_t value;    // signed view
    std::uint64_t uvalue;  // unsigned view
};

Outcome ToIntegerType(const VARIANT& src, VARTYPE vt)
{
    CVar out;
    const HRESULT hr = VariantChangeType(&out.v, &src, 0, vt);
    Outcome o{hr, 0, 0};
    if (FAILED(hr)) {
        EXPECT_EQ(out.v.vt, VT_EMPTY) << "destination touched on failure";
        return o;
    }
    EXPECT_EQ(out.v.vt, vt);
    switch (vt) {
        case VT_I1:
            o.value = out.v.cVal;
            break;
        case VT_UI1:
            o.uvalue = out.v.bVal;
            break;
        case VT_I2:
            o.value = out.v.iVal;
            break;
        case VT_UI2:
            o.uvalue = out.v.uiVal;
            break;
        case VT_I4:
            o.value = out.v.lVal;
            break;
        case VT_INT:
            o.value = out.v.intVal;
            break;
        case VT_UI4:
            o.uvalue = out.v.ulVal;
            break;
        case VT_UINT:
            o.uvalue = out.v.uintVal;
            break;
        case VT_I8:
            o.value = out.v.llVal;
            break;
        case VT_UI8:
            o.uvalue = out.v.ullVal;
            break;
        default:
            ADD_FAILURE() << "not an integer type";
            break;
    }
    return o;
}

Outcome TextTo(const char* utf8, VARTYPE vt)
{
    CVar src;
    src.v.vt = VT_BSTR;
    src.v.bstrVal = SysAllocStringUtf8(utf8);
    return ToIntegerType(src.v, vt);
}

std::string ToText(const VARIANT& src, std::uint16_t flags = 0)
{
    CVar out;
    const HRESULT hr = VariantChangeType(&out.v, &src, flags, VT_BSTR);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(out.v.vt, VT_BSTR);
    EXPECT_NE(out.v.bstrVal, nullptr);
    return BstrToUtf8(out.v.bstrVal);
}

struct SignedRange {
    VARTYPE vt;
    std::int64_t min;
    std::int64_t max;
};
struct UnsignedRange {
    VARTYPE vt;
    std::uint64_t max;
};

const std::vector<SignedRange> kSigned = {
    {VT_I1, -128, 127},
    {VT_I2, -32768, 32767},
    {VT_I4, INT32_MIN, INT32_MAX},
    {VT_INT, INT32_MIN, INT32_MAX},
};
const std::vector<UnsignedRange> kUnsigned = {
    {VT_UI1, 255}, {VT_UI2, 65535}, {VT_UI4, 0xFFFFFFFFu}, {VT_UINT, 0xFFFFFFFFu}};

}  // namespace

TEST(VariantChangeType, IntegerLimitsOfEverySignedType)
{
    for (const auto& r : kSigned) {
        SCOPED_TRACE(r.vt);
        EXPECT_EQ(ToIntegerType(I8(r.min), r.vt).value, r.min);
        EXPECT_EQ(ToIntegerType(I8(r.max), r.vt).value, r.max);
        EXPECT_EQ(ToIntegerType(I8(r.min - 1), r.vt).hr, DISP_E_OVERFLOW);
        EXPECT_EQ(ToIntegerType(I8(r.max + 1), r.vt).hr, DISP_E_OVERFLOW);
        EXPECT_EQ(ToIntegerType(UI8(static_cast<std::uint64_t>(r.max) + 1), r.vt).hr, DISP_E_OVERFLOW);
    }
    EXPECT_EQ(ToIntegerType(I8(INT64_MIN), VT_I8).value, INT64_MIN);
    EXPECT_EQ(ToIntegerType(UI8(static_cast<std::uint64_t>(INT64_MAX)), VT_I8).value, INT64_MAX);
    EXPECT_EQ(ToIntegerType(UI8(static_cast<std::uint64_t>(INT64_MAX) + 1), VT_I8).hr, DISP_E_OVERFLOW);
}

TEST(VariantChangeType, IntegerLimitsOfEveryUnsignedType)
{
    for (const auto& r : kUnsigned) {
        SCOPED_TRACE(r.vt);
        EXPECT_EQ(ToIntegerType(I8(0), r.vt).uvalue, 0u);
        EXPECT_EQ(ToIntegerType(UI8(r.max), r.vt).uvalue, r.max);
        EXPECT_EQ(ToIntegerType(I8(-1), r.vt).hr, DISP_E_OVERFLOW);
        EXPECT_EQ(ToIntegerType(UI8(r.max + 1), r.vt).hr, DISP_E_OVERFLOW);
    }
    EXPECT_EQ(ToIntegerType(UI8(UINT64_MAX), VT_UI8).uvalue, UINT64_MAX);
    EXPECT_EQ(ToIntegerType(I8(-1), VT_UI8).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(ToIntegerType(I8(INT64_MAX), VT_UI8).uvalue, static_cast<std::uint64_t>(INT64_MAX));
}

TEST(VariantChangeType, RealsRoundHalfToEvenThenMustFit)
{
    struct Case {
        double in;
        std::int64_t out;
    };
    for (const Case c :
         {Case{0.5, 0}, Case{1.5, 2}, Case{2.5, 2}, Case{3.5, 4}, Case{-0.5, 0}, Case{-1.5, -2},
          Case{-2.5, -2}, Case{0.4999, 0}, Case{0.6, 1}, Case{-0.6, -1}, Case{1e9 + 0.5, 1000000000}}) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(ToIntegerType(R8(c.in), VT_I4).value, c.out);
    }
    // The boundary is where the rounded value stops fitting.
    EXPECT_EQ(ToIntegerType(R8(-32768.5), VT_I2).value, -32768);
    EXPECT_EQ(ToIntegerType(R8(-32768.51), VT_I2).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(ToIntegerType(R8(32767.49), VT_I2).value, 32767);
    EXPECT_EQ(ToIntegerType(R8(32767.5), VT_I2).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(ToIntegerType(R8(-0.5), VT_UI1).uvalue, 0u);
    EXPECT_EQ(ToIntegerType(R8(-0.51), VT_UI1).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(ToIntegerType(R8(254.5), VT_UI1).uvalue, 254u);
    EXPECT_EQ(ToIntegerType(R8(255.5), VT_UI1).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(ToIntegerType(R8(-128.5), VT_I1).value, -128);
    EXPECT_EQ(ToIntegerType(R8(127.5), VT_I1).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(ToIntegerType(R8(4294967295.49), VT_UI4).uvalue, 4294967295u);
    EXPECT_EQ(ToIntegerType(R8(4294967295.5), VT_UI4).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(ToIntegerType(R8(9223372036854775807.0), VT_I8).hr, DISP_E_OVERFLOW);  // that double is 2^63
    EXPECT_EQ(ToIntegerType(R8(-9223372036854775808.0), VT_I8).value, INT64_MIN);
    EXPECT_EQ(ToIntegerType(R8(18446744073709549568.0), VT_UI8).uvalue, 18446744073709549568ull);
    EXPECT_EQ(ToIntegerType(R8(18446744073709551616.0), VT_UI8).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(ToIntegerType(R8(std::nan("")), VT_I4).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(ToIntegerType(R8(INFINITY), VT_I4).hr, DISP_E_OVERFLOW);

    VARIANT f;
    VariantInit(&f);
    f.vt = VT_R4;
    f.fltVal = 2.5f;
    EXPECT_EQ(ToIntegerType(f, VT_UI2).uvalue, 2u);
    VARIANT d;
    VariantInit(&d);
    d.vt = VT_DATE;
    d.date = 1.5;
    EXPECT_EQ(ToIntegerType(d, VT_I2).value, 2);
}

TEST(VariantChangeType, TextToIntegersAtEveryBoundary)
{
    EXPECT_EQ(TextTo("-128", VT_I1).value, -128);
    EXPECT_EQ(TextTo("-129", VT_I1).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(TextTo("127", VT_I1).value, 127);
    EXPECT_EQ(TextTo("128", VT_I1).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(TextTo("255", VT_UI1).uvalue, 255u);
    EXPECT_EQ(TextTo("256", VT_UI1).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(TextTo("-1", VT_UI1).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(TextTo("-32768", VT_I2).value, -32768);
    EXPECT_EQ(TextTo("32768", VT_I2).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(TextTo("65535", VT_UI2).uvalue, 65535u);
    EXPECT_EQ(TextTo("65536", VT_UI2).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(TextTo("-2147483648", VT_I4).value, INT32_MIN);
    EXPECT_EQ(TextTo("2147483648", VT_I4).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(TextTo("4294967295", VT_UI4).uvalue, 4294967295u);
    EXPECT_EQ(TextTo("4294967296", VT_UINT).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(TextTo("-9223372036854775808", VT_I8).value, INT64_MIN);
    EXPECT_EQ(TextTo("-9223372036854775809", VT_I8).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(TextTo("18446744073709551615", VT_UI8).uvalue, UINT64_MAX);  // exact, no detour through double
    EXPECT_EQ(TextTo("18446744073709551616", VT_UI8).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(TextTo("1e400", VT_I4).hr, DISP_E_OVERFLOW);
}

TEST(VariantChangeType, TextNumbersWithBlanksSignsFractionsAndExponents)
{
    EXPECT_EQ(TextTo("  42\t", VT_I4).value, 42);
    EXPECT_EQ(TextTo("+7", VT_I4).value, 7);
    EXPECT_EQ(TextTo("-0", VT_UI1).uvalue, 0u);
    EXPECT_EQ(TextTo("2.5", VT_I4).value, 2);
    EXPECT_EQ(TextTo("3.5", VT_I4).value, 4);
    EXPECT_EQ(TextTo("2.5000001", VT_I4).value, 3);
    EXPECT_EQ(TextTo("-0.5", VT_UI1).uvalue, 0u);
    EXPECT_EQ(TextTo("-0.6", VT_UI1).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(TextTo("255.4", VT_UI1).uvalue, 255u);
    EXPECT_EQ(TextTo("255.5", VT_UI1).hr, DISP_E_OVERFLOW);
    EXPECT_EQ(TextTo("1e3", VT_I2).value, 1000);
    EXPECT_EQ(TextTo("12.345E2", VT_I4).value, 1234);  // 1234.5, half to even
    EXPECT_EQ(TextTo("5e-1", VT_I4).value, 0);
    EXPECT_EQ(TextTo(".75", VT_I4).value, 1);
    EXPECT_EQ(TextTo("7.", VT_I4).value, 7);
    EXPECT_EQ(TextTo("0.05", VT_I4).value, 0);
    EXPECT_EQ(TextTo("007", VT_I4).value, 7);

    CVar src;
    src.v.vt = VT_BSTR;
    src.v.bstrVal = SysAllocStringUtf8(" -1.5e-3 ");
    CVar out;
    ASSERT_EQ(VariantChangeType(&out.v, &src.v, 0, VT_R8), S_OK);
    EXPECT_DOUBLE_EQ(out.v.dblVal, -0.0015);
    VariantClear(&src.v);
    src.v.vt = VT_BSTR;
    src.v.bstrVal = SysAllocStringUtf8("1e39");
    EXPECT_EQ(VariantChangeType(&out.v, &src.v, 0, VT_R4), DISP_E_OVERFLOW);
    EXPECT_EQ(VariantChangeType(&out.v, &src.v, 0, VT_R8), S_OK);
    EXPECT_DOUBLE_EQ(out.v.dblVal, 1e39);
}

TEST(VariantChangeType, TextThatIsNotANumberIsATypeMismatchAndLeavesDestAlone)
{
    for (const char* text : {"", " ", "abc", "12abc", "1,000", "1 2", "--1", "+-1", "1e", "1e+", "0x10",
                             "&H10", ".", "-", "1.2.3", "٣", "１２"}) {
        SCOPED_TRACE(text);
        CVar src;
        src.v.vt = VT_BSTR;
        src.v.bstrVal = SysAllocStringUtf8(text);
        CVar dest;
        dest.v.vt = VT_BSTR;
        dest.v.bstrVal = SysAllocStringUtf8("keep");
        const BSTR before = dest.v.bstrVal;
        for (VARTYPE vt : {VT_I1, VT_UI1, VT_I2, VT_UI4, VT_I8, VT_UI8, VT_R4, VT_R8, VT_BOOL}) {
            EXPECT_EQ(VariantChangeType(&dest.v, &src.v, 0, vt), DISP_E_TYPEMISMATCH) << vt;
            EXPECT_EQ(dest.v.vt, VT_BSTR);
            EXPECT_EQ(dest.v.bstrVal, before);
            EXPECT_EQ(BstrToUtf8(dest.v.bstrVal), "keep");
        }
    }
    // A null BSTR is an empty text.
    VARIANT nullText;
    VariantInit(&nullText);
    nullText.vt = VT_BSTR;
    EXPECT_EQ(ToIntegerType(nullText, VT_I4).hr, DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeType, BooleansFromEveryType)
{
    for (VARTYPE vt : {VT_I1, VT_I2, VT_I4, VT_INT, VT_I8}) {
        EXPECT_EQ(ToIntegerType(Bool(VARIANT_TRUE), vt).value, -1) << vt;
        EXPECT_EQ(ToIntegerType(Bool(VARIANT_FALSE), vt).value, 0) << vt;
    }
    // True wraps into the unsigned types instead of failing.
    EXPECT_EQ(ToIntegerType(Bool(VARIANT_TRUE), VT_UI1).uvalue, 255u);
    EXPECT_EQ(ToIntegerType(Bool(VARIANT_TRUE), VT_UI2).uvalue, 65535u);
    EXPECT_EQ(ToIntegerType(Bool(VARIANT_TRUE), VT_UI4).uvalue, 0xFFFFFFFFu);
    EXPECT_EQ(ToIntegerType(Bool(VARIANT_TRUE), VT_UINT).uvalue, 0xFFFFFFFFu);
    EXPECT_EQ(ToIntegerType(Bool(VARIANT_TRUE), VT_UI8).uvalue, UINT64_MAX);
    EXPECT_EQ(ToIntegerType(Bool(VARIANT_FALSE), VT_UI8).uvalue, 0u);
    // The value codec decodes a set bit as 1, not -1.
    EXPECT_EQ(ToIntegerType(Bool(1), VT_UI1).uvalue, 1u);
    EXPECT_EQ(ToIntegerType(Bool(256), VT_I1).hr, DISP_E_OVERFLOW);

    CVar out;
    VARIANT t = Bool(VARIANT_TRUE);
    ASSERT_EQ(VariantChangeType(&out.v, &t, 0, VT_R8), S_OK);
    EXPECT_EQ(out.v.dblVal, -1.0);
    ASSERT_EQ(VariantChangeType(&out.v, &t, 0, VT_R4), S_OK);
    EXPECT_EQ(out.v.fltVal, -1.0f);
    ASSERT_EQ(VariantChangeType(&out.v, &t, 0, VT_DATE), S_OK);
    EXPECT_EQ(out.v.date, -1.0);

    EXPECT_EQ(ToText(Bool(VARIANT_TRUE)), "-1");
    EXPECT_EQ(ToText(Bool(VARIANT_FALSE)), "0");
    EXPECT_EQ(ToText(Bool(VARIANT_TRUE), VARIANT_ALPHABOOL), "True");
    EXPECT_EQ(ToText(Bool(1), VARIANT_ALPHABOOL), "True");
    EXPECT_EQ(ToText(Bool(VARIANT_FALSE), VARIANT_ALPHABOOL), "False");
    EXPECT_EQ(ToText(Bool(VARIANT_FALSE), VARIANT_LOCALBOOL), "False");
}

TEST(VariantChangeType, BooleansToEveryType)
{
    auto toBool = [](const VARIANT& src, HRESULT* hr) {
        CVar out;
        *hr = VariantChangeType(&out.v, &src, 0, VT_BOOL);
        if (SUCCEEDED(*hr)) {
            EXPECT_EQ(out.v.vt, VT_BOOL);
        }
        return out.v.boolVal;
    };
    HRESULT hr = S_OK;
    EXPECT_EQ(toBool(I8(0), &hr), VARIANT_FALSE);
    EXPECT_EQ(toBool(I8(5), &hr), VARIANT_TRUE);
    EXPECT_EQ(toBool(I8(-1), &hr), VARIANT_TRUE);
    EXPECT_EQ(toBool(UI8(1ull << 40), &hr), VARIANT_TRUE);  // no truncation to a low word
    EXPECT_EQ(toBool(R8(0.1), &hr), VARIANT_TRUE);
    EXPECT_EQ(toBool(R8(-0.0), &hr), VARIANT_FALSE);
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_EQ(toBool(empty, &hr), VARIANT_FALSE);
    EXPECT_EQ(hr, S_OK);

    struct Case {
        const char* text;
        HRESULT hr;
        VARIANT_BOOL value;
    };
    for (const Case c : {Case{"True", S_OK, VARIANT_TRUE}, Case{"TRUE", S_OK, VARIANT_TRUE},
                         Case{"false", S_OK, VARIANT_FALSE}, Case{"#TRUE#", S_OK, VARIANT_TRUE},
                         Case{"#FALSE#", S_OK, VARIANT_FALSE}, Case{"0", S_OK, VARIANT_FALSE},
                         Case{"-1", S_OK, VARIANT_TRUE}, Case{"+1", S_OK, VARIANT_TRUE},
                         Case{"0.1", S_OK, VARIANT_TRUE}, Case{" 0 ", S_OK, VARIANT_FALSE},
                         Case{"#True#", DISP_E_TYPEMISMATCH, 0}, Case{"Yes", DISP_E_TYPEMISMATCH, 0},
                         Case{"On", DISP_E_TYPEMISMATCH, 0}, Case{"Truee", DISP_E_TYPEMISMATCH, 0},
                         Case{"", DISP_E_TYPEMISMATCH, 0}, Case{"1e999", DISP_E_OVERFLOW, 0}}) {
        SCOPED_TRACE(c.text);
        CVar src;
        src.v.vt = VT_BSTR;
        src.v.bstrVal = SysAllocStringUtf8(c.text);
        const VARIANT_BOOL value = toBool(src.v, &hr);
        EXPECT_EQ(hr, c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(value, c.value);
        }
    }
}

TEST(VariantChangeType, NumbersToText)
{
    EXPECT_EQ(ToText(I8(-123)), "-123");
    EXPECT_EQ(ToText(I8(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(ToText(UI8(UINT64_MAX)), "18446744073709551615");
    EXPECT_EQ(ToText(R8(0.1)), "0.1");
    EXPECT_EQ(ToText(R8(1.0 / 3.0)), "0.333333333333333");
    EXPECT_EQ(ToText(R8(1e20)), "1E+20");
    EXPECT_EQ(ToText(R8(-2.5e-7)), "-2.5E-07");
    EXPECT_EQ(ToText(R8(123456.0)), "123456");
    EXPECT_EQ(ToText(R8(-0.0)), "0");
    VARIANT f;
    VariantInit(&f);
    f.vt = VT_R4;
    f.fltVal = 0.1f;
    EXPECT_EQ(ToText(f), "0.1");
    f.fltVal = 16777217.0f;  // not representable: 16777216
    EXPECT_EQ(ToText(f), "1.677722E+07");
    VARIANT small;
    VariantInit(&small);
    small.vt = VT_UI1;
    small.bVal = 200;
    EXPECT_EQ(ToText(small), "200");
    small.vt = VT_I1;
    small.cVal = -5;
    EXPECT_EQ(ToText(small), "-5");

    VARIANT empty;
    VariantInit(&empty);
    CVar out;
    ASSERT_EQ(VariantChangeType(&out.v, &empty, 0, VT_BSTR), S_OK);
    ASSERT_NE(out.v.bstrVal, nullptr);  // an empty text, not a null one
    EXPECT_EQ(SysStringLen(out.v.bstrVal), 0u);
}

TEST(VariantChangeType, RealsToRealsAndDates)
{
    CVar out;
    VARIANT big = R8(1e39);
    EXPECT_EQ(VariantChangeType(&out.v, &big, 0, VT_R4), DISP_E_OVERFLOW);
    VARIANT fits = R8(3.4e38);
    ASSERT_EQ(VariantChangeType(&out.v, &fits, 0, VT_R4), S_OK);
    EXPECT_FLOAT_EQ(out.v.fltVal, 3.4e38f);

    for (const std::int64_t day : {-657434ll, 0ll, 2958465ll}) {
        VARIANT v = I8(day);
        ASSERT_EQ(VariantChangeType(&out.v, &v, 0, VT_DATE), S_OK) << day;
        EXPECT_EQ(out.v.date, static_cast<double>(day));
    }
    for (const std::int64_t day : {-657435ll, 2958466ll}) {
        VARIANT v = I8(day);
        EXPECT_EQ(VariantChangeType(&out.v, &v, 0, VT_DATE), DISP_E_OVERFLOW) << day;
    }
    VARIANT lateInDay = R8(2958465.99);
    EXPECT_EQ(VariantChangeType(&out.v, &lateInDay, 0, VT_DATE), S_OK);
    VARIANT nan = R8(std::nan(""));
    EXPECT_EQ(VariantChangeType(&out.v, &nan, 0, VT_DATE), DISP_E_OVERFLOW);
}

TEST(VariantChangeType, DatesToTextAsTheEnglishLocaleWritesThem)
{
    auto dateText = [](DATE d) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_DATE;
        v.date = d;
        return ToText(v);
    };
    EXPECT_EQ(dateText(0.0), "12:00:00 AM");
    EXPECT_EQ(dateText(0.5), "12:00:00 PM");
    EXPECT_EQ(dateText(3.34), "1/2/1900 8:09:36 AM");
    EXPECT_EQ(dateText(365.0), "12/30/1900");
    EXPECT_EQ(dateText(1461.5), "12/31/1903 12:00:00 PM");
    EXPECT_EQ(dateText(-49192.24), "4/24/1765 5:45:36 AM");
    EXPECT_EQ(dateText(-657434.0), "1/1/100");
    EXPECT_EQ(dateText(2958465.0), "12/31/9999");
    EXPECT_EQ(dateText(25570.99999999), "1/3/1970");  // rounds to the next midnight

    VARIANT bad;
    VariantInit(&bad);
    bad.vt = VT_DATE;
    bad.date = 3e6;
    CVar out;
    EXPECT_EQ(VariantChangeType(&out.v, &bad, 0, VT_BSTR), E_INVALIDARG);
    EXPECT_EQ(out.v.vt, VT_EMPTY);
}

TEST(VariantChangeType, TextToDates)
{
    auto parse = [](const char* text, DATE* d) {
        CVar src;
        src.v.vt = VT_BSTR;
        src.v.bstrVal = SysAllocStringUtf8(text);
        CVar out;
        const HRESULT hr = VariantChangeType(&out.v, &src.v, 0, VT_DATE);
        *d = out.v.date;
        return hr;
    };
    DATE d = 0;
    ASSERT_EQ(parse("1/2/1970", &d), S_OK);
    EXPECT_EQ(d, 25570.0);
    ASSERT_EQ(parse("1970-01-13", &d), S_OK);
    EXPECT_EQ(d, 25581.0);
    ASSERT_EQ(parse("12/31/1903 12:00:00 PM", &d), S_OK);
    EXPECT_DOUBLE_EQ(d, 1461.5);
    ASSERT_EQ(parse("4/24/1765 5:45:36 AM", &d), S_OK);
    EXPECT_NEAR(d, -49192.24, 1e-9);
    ASSERT_EQ(parse("00:00 pm", &d), S_OK);
    EXPECT_DOUBLE_EQ(d, 0.5);
    ASSERT_EQ(parse("13:00 AM", &d), S_OK);  // AM/PM ignored past 12
    EXPECT_DOUBLE_EQ(d, 13.0 / 24.0);
    ASSERT_EQ(parse("1/2/29", &d), S_OK);  // two-digit years below 30 are 20xx
    EXPECT_EQ(d, 47120.0);
    ASSERT_EQ(parse("1/2/30", &d), S_OK);
    EXPECT_EQ(d, 10960.0);
    ASSERT_EQ(parse("2024-03-05T14:07:09.250", &d), S_OK);
    SYSTEMTIME st{};
    ASSERT_TRUE(VariantDateToSystemTime(d, &st));
    EXPECT_EQ(st.wYear, 2024);
    EXPECT_EQ(st.wMonth, 3);
    EXPECT_EQ(st.wDay, 5);
    EXPECT_EQ(st.wHour, 14);
    EXPECT_EQ(st.wMinute, 7);
    EXPECT_EQ(st.wSecond, 9);
    EXPECT_EQ(st.wMilliseconds, 250);

    for (const char* text : {"", "0.0", "1", "True", "2/30/2024", "13/1/2024", "24:00", "1:60", "1/2/1970 x",
                             "1/2", "99/99/99"}) {
        EXPECT_EQ(parse(text, &d), DISP_E_TYPEMISMATCH) << text;
    }
}

TEST(VariantChangeType, EmptyNullErrorAndBadTypes)
{
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_EQ(ToIntegerType(empty, VT_I4).value, 0);
    EXPECT_EQ(ToIntegerType(empty, VT_UI8).uvalue, 0u);

    CVar out;
    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    EXPECT_EQ(VariantChangeType(&out.v, &null, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out.v, &null, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out.v, &null, 0, VT_EMPTY), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out.v, &null, 0, VT_NULL), S_OK);
    EXPECT_EQ(out.v.vt, VT_NULL);

    VARIANT i = I8(7);
    ASSERT_EQ(VariantChangeType(&out.v, &i, 0, VT_EMPTY), S_OK);
    EXPECT_EQ(out.v.vt, VT_EMPTY);
    ASSERT_EQ(VariantChangeType(&out.v, &i, 0, VT_NULL), S_OK);
    EXPECT_EQ(out.v.vt, VT_NULL);
    EXPECT_EQ(VariantChangeType(&out.v, &i, 0, VT_ERROR), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out.v, &i, 0, VT_VARIANT), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out.v, &i, 0, VT_CY), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantChangeType(&out.v, &i, 0, VT_ARRAY | VT_I4), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantChangeType(&out.v, &i, 0, 99), DISP_E_BADVARTYPE);
    EXPECT_EQ(out.v.vt, VT_NULL) << "failures leave the destination as it was";

    VARIANT error;
    VariantInit(&error);
    error.vt = VT_ERROR;
    error.scode = DISP_E_OVERFLOW;
    EXPECT_EQ(VariantChangeType(&out.v, &error, 0, VT_I4), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(VariantChangeType(&out.v, &error, 0, VT_ERROR), S_OK);
    EXPECT_EQ(out.v.scode, DISP_E_OVERFLOW);

    VARIANT unknown;
    VariantInit(&unknown);
    unknown.vt = VT_CY;
    EXPECT_EQ(VariantChangeType(&out.v, &unknown, 0, VT_I4), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantChangeType(nullptr, &i, 0, VT_I4), E_INVALIDARG);
    EXPECT_EQ(VariantChangeType(&out.v, nullptr, 0, VT_I4), E_INVALIDARG);
}

TEST(VariantChangeType, InPlaceConversionReleasesTheOldText)
{
    CVar v;
    v.v.vt = VT_BSTR;
    v.v.bstrVal = SysAllocStringUtf8("  1234 ");
    ASSERT_EQ(VariantChangeType(&v.v, &v.v, 0, VT_UI2), S_OK);
    EXPECT_EQ(v.v.vt, VT_UI2);
    EXPECT_EQ(v.v.uiVal, 1234);
    ASSERT_EQ(VariantChangeType(&v.v, &v.v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(BstrToUtf8(v.v.bstrVal), "1234");
    ASSERT_EQ(VariantChangeType(&v.v, &v.v, 0, VT_BSTR), S_OK);  // same type in place
    EXPECT_EQ(BstrToUtf8(v.v.bstrVal), "1234");
    EXPECT_EQ(VariantChangeType(&v.v, &v.v, 0, VT_I1), DISP_E_OVERFLOW);
    EXPECT_EQ(v.v.vt, VT_BSTR);
    EXPECT_EQ(BstrToUtf8(v.v.bstrVal), "1234");
}

TEST(Variant, CopyAndClearOwnTheirTexts)
{
    const std::u16string withNull = std::u16string(u"ab") + u'\0' + u"cd";
    CVar src;
    src.v.vt = VT_BSTR;
    src.v.bstrVal = SysAllocStringLen(withNull.data(), static_cast<std::uint32_t>(withNull.size()));
    CVar dest;
    dest.v.vt = VT_BSTR;
    dest.v.bstrVal = SysAllocStringUtf8("old text is freed");
    ASSERT_EQ(VariantCopy(&dest.v, &src.v), S_OK);
    ASSERT_EQ(dest.v.vt, VT_BSTR);
    EXPECT_NE(dest.v.bstrVal, src.v.bstrVal);
    ASSERT_EQ(SysStringLen(dest.v.bstrVal), 5u);  // the embedded null survives
    EXPECT_EQ(std::u16string(dest.v.bstrVal, 5), withNull);
    ASSERT_EQ(VariantCopy(&src.v, &src.v), S_OK);
    EXPECT_EQ(SysStringLen(src.v.bstrVal), 5u);

    ASSERT_EQ(VariantClear(&src.v), S_OK);
    EXPECT_EQ(src.v.vt, VT_EMPTY);
    EXPECT_EQ(std::u16string(dest.v.bstrVal, 5), withNull) << "the copy is independent";

    VARIANT nullText;
    VariantInit(&nullText);
    nullText.vt = VT_BSTR;
    ASSERT_EQ(VariantCopy(&dest.v, &nullText), S_OK);
    EXPECT_EQ(dest.v.vt, VT_BSTR);
    EXPECT_EQ(dest.v.bstrVal, nullptr);

    VARIANT bad;
    VariantInit(&bad);
    bad.vt = 0x7FFF;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantCopy(&dest.v, &bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantCopy(&bad, &dest.v), DISP_E_BADVARTYPE);  // cannot clear the destination
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);

    VARIANT scalar = R8(2.75);
    ASSERT_EQ(VariantCopy(&dest.v, &scalar), S_OK);
    EXPECT_EQ(dest.v.vt, VT_R8);
    EXPECT_EQ(dest.v.dblVal, 2.75);
}

TEST(Bstr, CyrillicRoundTripAndLengths)
{
    const std::string text = "Каналы связи: ёЁ №5";
    BSTR b = SysAllocStringUtf8(text);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 19u);
    EXPECT_EQ(SysStringByteLen(b), 38u);
    EXPECT_EQ(b[19], u'\0');
    EXPECT_EQ(b[0], u'К');
    EXPECT_EQ(BstrToUtf8(b), text);

    BSTR copy = SysAllocString(b);
    EXPECT_EQ(BstrToUtf8(copy), text);
    SysFreeString(copy);
    SysFreeString(b);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(BstrToUtf8(nullptr), "");
    SysFreeString(nullptr);
    BSTR blank = SysAllocStringLen(nullptr, 3);
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(SysStringLen(blank), 3u);
    EXPECT_EQ(blank[0], u'\0');
    SysFreeString(blank);
    EXPECT_EQ(SysAllocStringLen(u"x", 0xFFFFFFF0u), nullptr);

    CVar v;
    v.v.vt = VT_BSTR;
    v.v.bstrVal = SysAllocStringUtf8("Привет");
    CVar out;
    ASSERT_EQ(VariantChangeType(&out.v, &v.v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(BstrToUtf8(out.v.bstrVal), "Привет");
}

TEST(VariantDate, FileTimeConversionsBothWays)
{
    constexpr std::uint64_t kUnitsPerDay = 864000000000ull;
    constexpr std::uint64_t kDateEpoch = 94353120000000000ull;  // 1899-12-30
    // 2024-03-05 14:07:09.123 UTC
    const std::uint64_t unixMs = 1709647629123ull;
    const std::uint64_t ft = kFileTimeUnixEpoch + unixMs * 10000ull;
    DATE d = 0;
    ASSERT_TRUE(FileTimeCountToVariantDate(ft, &d));
    EXPECT_NEAR(d, 25569.0 + static_cast<double>(unixMs) / 86400000.0, 1e-9);
    std::uint64_t back = 0;
    ASSERT_TRUE(VariantDateToFileTimeCount(d, &back));
    EXPECT_EQ(back, ft);

    // Before 1899-12-30 the fraction still counts forward from midnight.
    ASSERT_TRUE(FileTimeCountToVariantDate(kDateEpoch - kUnitsPerDay * 3 / 4, &d));  // 1899-12-29 06:00
    EXPECT_DOUBLE_EQ(d, -1.25);
    ASSERT_TRUE(VariantDateToFileTimeCount(-1.25, &back));
    EXPECT_EQ(back, kDateEpoch - kUnitsPerDay * 3 / 4);
    ASSERT_TRUE(FileTimeCountToVariantDate(0, &d));
    EXPECT_EQ(d, -109205.0);  // 1601-01-01

    EXPECT_FALSE(VariantDateToFileTimeCount(-109206.0, &back));  // before 1601
    EXPECT_FALSE(VariantDateToFileTimeCount(std::nan(""), &back));
    EXPECT_FALSE(VariantDateToFileTimeCount(2958466.0, &back));
    EXPECT_FALSE(FileTimeCountToVariantDate(UINT64_MAX, &d));
    EXPECT_FALSE(FileTimeCountToVariantDate(ft, nullptr));
    // Sub-millisecond parts are rounded away.
    ASSERT_TRUE(FileTimeCountToVariantDate(ft + 6000, &d));
    ASSERT_TRUE(VariantDateToFileTimeCount(d, &back));
    EXPECT_EQ(back, ft + 10000);
}

TEST(VariantDate, SystemTimeConversionsBothWays)
{
    SYSTEMTIME st{};
    st.wYear = 2024;
    st.wMonth = 2;
    st.wDay = 29;
    st.wHour = 23;
    st.wMinute = 59;
    st.wSecond = 59;
    st.wMilliseconds = 999;
    DATE d = 0;
    ASSERT_TRUE(SystemTimeToVariantDate(st, &d));
    SYSTEMTIME back{};
    ASSERT_TRUE(VariantDateToSystemTime(d, &back));
    EXPECT_EQ(back.wYear, 2024);
    EXPECT_EQ(back.wMonth, 2);
    EXPECT_EQ(back.wDay, 29);
    EXPECT_EQ(back.wHour, 23);
    EXPECT_EQ(back.wMinute, 59);
    EXPECT_EQ(back.wSecond, 59);
    EXPECT_EQ(back.wMilliseconds, 999);
    EXPECT_EQ(back.wDayOfWeek, 4);  // a Thursday

    ASSERT_TRUE(VariantDateToSystemTime(-1.25, &back));
    EXPECT_EQ(back.wYear, 1899);
    EXPECT_EQ(back.wMonth, 12);
    EXPECT_EQ(back.wDay, 29);
    EXPECT_EQ(back.wHour, 6);

    st.wYear = 2023;  // no 29 February
    EXPECT_FALSE(SystemTimeToVariantDate(st, &d));
    st.wYear = 2024;
    st.wMonth = 13;
    EXPECT_FALSE(SystemTimeToVariantDate(st, &d));
    EXPECT_FALSE(VariantDateToSystemTime(1e7, &back));
}
