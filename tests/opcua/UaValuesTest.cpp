// Values between items and clients: a client's value becomes the item's
// canonical type only when it fits; item values, qualities and the toolkit's
// result codes become what OPC UA clients expect.

#include "ZellDAClient.h"
#include "opcua/protocol/UaIds.h"
#include "opcua/protocol/UaValues.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace ua;

namespace {

struct Conversion {
    const char* name;
    Variant in;
    VARTYPE canonical;
    StatusCode expected;
    int64_t value;  // the converted number, read by the canonical type
};

class UaToCanonicalTest : public ::testing::TestWithParam<Conversion> {};

int64_t NumberOf(const VARIANT& v)
{
    switch (v.vt) {
        case VT_I1:
            return v.cVal;
        case VT_UI1:
            return v.bVal;
        case VT_I2:
            return v.iVal;
        case VT_UI2:
            return v.uiVal;
        case VT_I4:
            return v.lVal;
        case VT_UI4:
            return v.ulVal;
        case VT_I8:
            return v.llVal;
        case VT_BOOL:
            return v.boolVal;
        case VT_R4:
            return static_cast<int64_t>(v.fltVal);
        case VT_R8:
            return static_cast<int64_t>(v.dblVal);
        default:
            return static_cast<int64_t>(v.ullVal);
    }
}

TEST_P(UaToCanonicalTest, ConvertsWhenItFits)
{
    const Conversion& c = GetParam();
    CDAVariant out;
    EXPECT_EQ(ToCanonical(c.in, c.canonical, &out.Get()), c.expected);
    if (c.expected == kGood) {
        EXPECT_EQ(out.Get().vt, c.canonical);
        EXPECT_EQ(NumberOf(out.Get()), c.value);
    } else {
        EXPECT_EQ(out.Get().vt, VT_EMPTY);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, UaToCanonicalTest,
    ::testing::Values(
        Conversion{"UInt32IntoUInt16", MakeUnsigned(Type::UInt32, 65535), VT_UI2, kGood, 65535},
        Conversion{"Int32BeyondUInt16", MakeSigned(Type::Int32, 65536), VT_UI2, kBadTypeMismatch, 0},
        Conversion{"NegativeIntoUnsigned", MakeSigned(Type::SByte, -1), VT_UI1, kBadTypeMismatch, 0},
        Conversion{"NegativeIntoSigned", MakeSigned(Type::Int64, -128), VT_I1, kGood, -128},
        Conversion{"WholeDoubleIntoByte", MakeReal(Type::Double, 200.0), VT_UI1, kGood, 200},
        Conversion{"FractionIntoInteger", MakeReal(Type::Double, 1.5), VT_UI2, kBadTypeMismatch, 0},
        Conversion{"NaNIntoInteger", MakeReal(Type::Double, std::nan("")), VT_I4, kBadTypeMismatch, 0},
        Conversion{"LargestUInt64", MakeUnsigned(Type::UInt64, UINT64_MAX), VT_UI8, kGood, -1},
        Conversion{"LargeDoubleBeyondInt64", MakeReal(Type::Double, 1e19), VT_I8, kBadTypeMismatch, 0},
        Conversion{"BooleanIntoNumber", MakeBoolean(true), VT_UI2, kBadTypeMismatch, 0},
        Conversion{"BooleanIntoBoolean", MakeBoolean(true), VT_BOOL, kGood, VARIANT_TRUE},
        Conversion{"ZeroIntoBoolean", MakeUnsigned(Type::Byte, 0), VT_BOOL, kGood, VARIANT_FALSE},
        Conversion{"TwoIntoBoolean", MakeSigned(Type::Int16, 2), VT_BOOL, kBadTypeMismatch, 0},
        Conversion{"IntegerIntoFloat", MakeSigned(Type::Int32, -7), VT_R4, kGood, -7},
        Conversion{"DoubleBeyondFloat", MakeReal(Type::Double, 1e39), VT_R4, kBadTypeMismatch, 0},
        Conversion{"TextIntoNumber", MakeString("12"), VT_UI2, kBadTypeMismatch, 0},
        Conversion{"NumberIntoText", MakeUnsigned(Type::UInt16, 12), VT_BSTR, kBadTypeMismatch, 0},
        Conversion{"NullValue", Variant{}, VT_UI2, kBadTypeMismatch, 0},
        Conversion{"Array", MakeUInt32Array({1}), VT_UI4, kBadTypeMismatch, 0},
        Conversion{"UnknownCanonicalType", MakeUnsigned(Type::UInt16, 1), VT_EMPTY, kBadTypeMismatch, 0}),
    [](const auto& info) { return info.param.name; });

TEST(UaValuesTest, TextAndTimeKeepTheirKind)
{
    CDAVariant text;
    ASSERT_EQ(ToCanonical(MakeString("пароль"), VT_BSTR, &text.Get()), kGood);
    EXPECT_EQ(BstrToUtf8(text.Get().bstrVal), "пароль");
    EXPECT_EQ(FromVariant(text.Get()), MakeString("пароль"));

    const DateTime when{133000000000000000};
    CDAVariant date;
    ASSERT_EQ(ToCanonical(MakeDateTime(when), VT_DATE, &date.Get()), kGood);
    EXPECT_EQ(FromVariant(date.Get()), MakeDateTime(when));
}

TEST(UaValuesTest, ItemValuesKeepTheirTypeAndDataType)
{
    struct Row {
        VARTYPE vt;
        Type type;
        uint32_t dataType;
    } const rows[] = {{VT_BOOL, Type::Boolean, id::kBoolean}, {VT_UI1, Type::Byte, id::kByte},
                      {VT_UI2, Type::UInt16, id::kUInt16},    {VT_UI4, Type::UInt32, id::kUInt32},
                      {VT_I2, Type::Int16, id::kInt16},       {VT_R8, Type::Double, id::kDouble}};
    for (const Row& r : rows) {
        VARIANT v;
        VariantInit(&v);
        v.vt = r.vt;
        EXPECT_EQ(FromVariant(v).type, r.type) << r.vt;
        EXPECT_EQ(DataTypeOf(r.vt), r.dataType) << r.vt;
    }
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_TRUE(FromVariant(empty).IsNull());
    EXPECT_EQ(DataTypeOf(VT_EMPTY), id::kBaseDataType);
}

TEST(UaValuesTest, QualitiesAndResultCodesBecomeStatusCodes)
{
    EXPECT_EQ(StatusOfQuality(OPC_QUALITY_GOOD), kGood);
    EXPECT_EQ(StatusOfQuality(OPC_QUALITY_UNCERTAIN), kUncertain);
    EXPECT_EQ(StatusOfQuality(OPC_QUALITY_BAD), kBad);
    EXPECT_EQ(StatusOfQuality(OPC_QUALITY_OUT_OF_SERVICE), kBad);
    const std::pair<HRESULT, StatusCode> reading[] = {{S_OK, kGood},
                                                      {S_FALSE, kGood},
                                                      {OPC_E_BADRIGHTS, kBadNotReadable},
                                                      {OPC_E_UNKNOWNITEMID, kBadNodeIdUnknown},
                                                      {OPC_E_BADTYPE, kBadTypeMismatch},
                                                      {DISP_E_OVERFLOW, kBadOutOfRange},
                                                      {RPC_E_DISCONNECTED, kBadServerHalted},
                                                      {E_FAIL, kBadCommunicationError}};
    for (auto [hr, status] : reading) EXPECT_EQ(StatusOfResult(hr, false), status) << std::hex << hr;
    EXPECT_EQ(StatusOfResult(OPC_E_BADRIGHTS, true), kBadNotWritable);
}

}  // namespace
