// The binary encoding against byte sequences written out from the protocol's
// rules, and the decoder's refusals of what a peer may send.

#include "UaTestBytes.h"
#include "opcua/protocol/UaMessages.h"

#include <gtest/gtest.h>

using namespace ua;

namespace {

template <typename T>
std::string Encode(const T& v)
{
    std::string out;
    Encoder e(out);
    e.Write(v);
    return out;
}

template <typename T>
T Decode(const std::string& bytes, StatusCode* status = nullptr, size_t* left = nullptr)
{
    Decoder d(bytes);
    T v{};
    d.Read(v);
    if (status) *status = d.Status();
    if (left) *left = d.Remaining();
    return v;
}

// Encodes, compares with the expected bytes, decodes back to an equal value,
// and checks that every shorter prefix fails to decode.
template <typename T>
void RoundTrip(const T& value, const std::string& hex)
{
    const std::string bytes = Encode(value);
    EXPECT_EQ(ToHex(bytes), hex);
    StatusCode status;
    size_t left;
    T back = Decode<T>(bytes, &status, &left);
    EXPECT_EQ(status, kGood);
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(Encode(back), bytes);
    for (size_t n = 0; n < bytes.size(); ++n) {
        Decode<T>(bytes.substr(0, n), &status);
        EXPECT_EQ(status, kBadDecodingError) << "prefix of " << n << " bytes";
    }
}

Guid SampleGuid()
{
    return Guid{0x72962B91, 0xFA75, 0x4AE6, {0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}};
}

TEST(UaBinaryTest, NodeIdTakesTheShortestNumericFormAndEveryOtherForm)
{
    RoundTrip(NodeId::Numeric(85), "00 55");
    RoundTrip(NodeId::Numeric(2259), "01 00 d3 08");
    RoundTrip(NodeId::Numeric(1000, 1), "01 01 e8 03");
    RoundTrip(NodeId::Numeric(70000, 2), "02 02 00 70 11 01 00");
    RoundTrip(NodeId::Numeric(5, 300), "02 2c 01 05 00 00 00");
    // Twelve Cyrillic letters take two bytes each: the length counts bytes.
    RoundTrip(NodeId::String(1, "Каналы связи"),
              "03 01 00 17 00 00 00 d0 9a d0 b0 d0 bd d0 b0 d0 bb d1 8b 20 d1 81 d0 b2 d1 8f d0 b7 d0 b8");
    NodeId g;
    g.ns = 1;
    g.type = IdType::Guid;
    g.guid = SampleGuid();
    RoundTrip(g, "04 01 00 91 2b 96 72 75 fa e6 4a 8d 28 b4 04 dc 7d af 63");
    NodeId b;
    b.type = IdType::ByteString;
    b.text = std::string("\x01\xff", 2);
    RoundTrip(b, "05 00 00 02 00 00 00 01 ff");
}

TEST(UaBinaryTest, ExpandedNodeIdCarriesItsFlagsInTheEncodingByte)
{
    RoundTrip(ExpandedNodeId{NodeId::Numeric(63), "", 0}, "00 3f");
    RoundTrip(ExpandedNodeId{NodeId::Numeric(63), "urn:x", 0}, "80 3f 05 00 00 00 75 72 6e 3a 78");
    RoundTrip(ExpandedNodeId{NodeId::String(1, "a"), "", 2}, "43 01 00 01 00 00 00 61 02 00 00 00");
}

TEST(UaBinaryTest, StringsAndByteStringsKeepNullAndEmptyApart)
{
    RoundTrip(std::string(), "00 00 00 00");
    RoundTrip(std::string("ё"), "02 00 00 00 d1 91");
    EXPECT_EQ(ToHex(Encode(ByteString{})), "ff ff ff ff");
    StatusCode status;
    EXPECT_EQ(Decode<std::string>(Bytes("ff ff ff ff"), &status), "");
    EXPECT_EQ(status, kGood);
}

TEST(UaBinaryTest, LocalizedTextAndQualifiedNameLeaveOutEmptyParts)
{
    RoundTrip(LocalizedText{}, "00");
    RoundTrip(LocalizedText{"", "PU_1"}, "02 04 00 00 00 50 55 5f 31");
    RoundTrip(LocalizedText{"ru", "x"}, "03 02 00 00 00 72 75 01 00 00 00 78");
    RoundTrip(QualifiedName{1, "z "}, "01 00 02 00 00 00 7a 20");
}

TEST(UaBinaryTest, ExtensionObjectWithAndWithoutBody)
{
    RoundTrip(ExtensionObject{}, "00 00 00");
    ExtensionObject anonymous = Wrap(enc::kAnonymousIdentityToken, AnonymousIdentityToken{"anonymous"});
    RoundTrip(anonymous, "01 00 41 01 01 0d 00 00 00 09 00 00 00 61 6e 6f 6e 79 6d 6f 75 73");
    AnonymousIdentityToken token;
    EXPECT_TRUE(Unwrap(anonymous, enc::kAnonymousIdentityToken, &token));
    EXPECT_EQ(token.policyId, "anonymous");
    EXPECT_FALSE(Unwrap(anonymous, enc::kUserNameIdentityToken, &token));
}

TEST(UaBinaryTest, VariantScalarsArraysNullArraysAndDimensions)
{
    RoundTrip(Variant{}, "00");
    RoundTrip(MakeUnsigned(Type::UInt16, 513), "05 01 02");
    RoundTrip(MakeBoolean(true), "01 01");
    RoundTrip(MakeSigned(Type::Int32, -2), "06 fe ff ff ff");
    RoundTrip(MakeReal(Type::Float, 1.5), "0a 00 00 c0 3f");
    RoundTrip(MakeString("ab"), "0c 02 00 00 00 61 62");
    RoundTrip(MakeEmptyArray(Type::UInt32), "87 00 00 00 00");
    Variant nullArray = MakeEmptyArray(Type::String);
    nullArray.nullArray = true;
    RoundTrip(nullArray, "8c ff ff ff ff");
    RoundTrip(MakeStringArray({"a", ""}), "8c 02 00 00 00 01 00 00 00 61 00 00 00 00");
    Variant matrix = MakeUInt32Array({1, 2, 3, 4, 5, 6});
    matrix.dimensions = {2, 3};
    RoundTrip(matrix,
              "c7 06 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06 00 00 00"
              " 02 00 00 00 02 00 00 00 03 00 00 00");
    RoundTrip(MakeBoxed(Type::LocalizedText, LocalizedText{"", "t"}), "15 02 01 00 00 00 74");
    RoundTrip(MakeBoxed(Type::NodeId, NodeId::Numeric(2253)), "11 01 00 cd 08");
    // Variants nest only as array elements; data values and XML bodies nest too.
    Variant nested = MakeEmptyArray(Type::Variant);
    nested.array.push_back(std::make_shared<Boxed>(Boxed{MakeUnsigned(Type::Byte, 1)}));
    RoundTrip(nested, "98 01 00 00 00 03 01");
    DataValue inner;
    inner.hasValue = true;
    inner.value = MakeBoolean(false);
    RoundTrip(MakeBoxed(Type::DataValue, inner), "17 01 01 00");
    RoundTrip(
        MakeBoxed(Type::ExtensionObject, ExtensionObject{NodeId::Numeric(1), ExtensionObject::Xml, "<a/>"}),
        "16 00 01 02 04 00 00 00 3c 61 2f 3e");
}

TEST(UaBinaryTest, DataValueFieldsFollowTheirMaskInWireOrder)
{
    DataValue all;
    all.hasValue = all.hasStatus = all.hasSourceTimestamp = all.hasServerTimestamp = true;
    all.hasSourcePicoseconds = all.hasServerPicoseconds = true;
    all.value = MakeUnsigned(Type::Byte, 7);
    all.status = kUncertain;
    all.sourceTimestamp = DateTime{1};
    all.sourcePicoseconds = 2;
    all.serverTimestamp = DateTime{3};
    all.serverPicoseconds = 4;
    // Source picoseconds come before the server time stamp.
    RoundTrip(all, "3f 03 07 00 00 00 40 01 00 00 00 00 00 00 00 02 00 03 00 00 00 00 00 00 00 04 00");
    DataValue statusOnly;
    statusOnly.hasStatus = true;
    statusOnly.status = kBadNodeIdUnknown;
    RoundTrip(statusOnly, "02 00 00 34 80");
    RoundTrip(DataValue{}, "00");
}

TEST(UaBinaryTest, DiagnosticInfoPutsTheLocaleBeforeTheLocalizedText)
{
    DiagnosticInfo d;
    d.hasLocale = d.hasLocalizedText = d.hasInnerStatusCode = true;
    d.locale = 1;
    d.localizedText = 2;
    d.innerStatusCode = kBadTimeout;
    d.inner = std::make_shared<DiagnosticInfo>();
    d.inner->hasSymbolicId = true;
    d.inner->symbolicId = 9;
    RoundTrip(d, "6c 01 00 00 00 02 00 00 00 00 00 0a 80 01 09 00 00 00");
}

TEST(UaBinaryTest, StructuresEncodeTheirFieldsInOrder)
{
    ReadValueId r{NodeId::String(1, "a.b"), 13, "", QualifiedName{}};
    RoundTrip(r, "03 01 00 03 00 00 00 61 2e 62 0d 00 00 00 00 00 00 00 00 00 00 00 00 00");
    ReadValueId back = Decode<ReadValueId>(Encode(r));
    EXPECT_EQ(back.nodeId.text, "a.b");
    RoundTrip(std::vector<uint32_t>{}, "00 00 00 00");
}

TEST(UaBinaryTest, JoinedStringNodeIdEqualsTheBuiltOne)
{
    std::string joined;
    Encoder e(joined);
    e.WriteJoinedStringNodeId(1, "Каналы связи.Vireo-2_1", "PU_1");
    EXPECT_EQ(joined, Encode(NodeId::String(1, "Каналы связи.Vireo-2_1.PU_1")));
    std::string alone;
    Encoder e2(alone);
    e2.WriteJoinedStringNodeId(1, "", "Каналы связи");
    EXPECT_EQ(alone, Encode(NodeId::String(1, "Каналы связи")));
}

struct Malformed {
    const char* name;
    const char* hex;
    StatusCode status;
};

class UaDecoderRefusalTest : public ::testing::TestWithParam<Malformed> {};

TEST_P(UaDecoderRefusalTest, RefusesWithoutReadingPastTheInput)
{
    StatusCode status;
    Variant v = Decode<Variant>(Bytes(GetParam().hex), &status);
    EXPECT_EQ(status, GetParam().status);
    EXPECT_TRUE(v.IsNull());
}

INSTANTIATE_TEST_SUITE_P(
    Variants, UaDecoderRefusalTest,
    ::testing::Values(Malformed{"TypeBeyondTheBuiltIns", "1a", kBadDecodingError},
                      Malformed{"StringLongerThanTheInput", "0c 05 00 00 00 61", kBadDecodingError},
                      Malformed{"StringLengthBelowMinusOne", "0c fe ff ff ff", kBadDecodingError},
                      Malformed{"ArrayCountBeyondTheInput", "87 00 00 00 40 00", kBadDecodingError},
                      Malformed{"DimensionsOnAScalar", "45 01 00", kBadDecodingError},
                      Malformed{"DimensionsNotMatchingTheElements",
                                "c3 02 00 00 00 01 02 01 00 00 00 03 00 00 00", kBadDecodingError},
                      Malformed{"VariantScalarInsideAVariant", "18 05 01 00", kBadDecodingError},
                      Malformed{"NodeIdWithExpandedFlags", "11 40 01", kBadDecodingError},
                      Malformed{"NodeIdUnknownEncoding", "11 07 00", kBadDecodingError},
                      Malformed{"DataValueUnknownMaskBits", "17 40", kBadDecodingError},
                      Malformed{"ExtensionObjectUnknownEncoding", "16 00 00 03", kBadDecodingError},
                      Malformed{"DiagnosticInfoUnknownMaskBit", "19 80", kBadDecodingError}),
    [](const auto& info) { return info.param.name; });

TEST(UaBinaryTest, ArrayLimitsAndElementBudgetStopDecoding)
{
    // An array count over the limit is refused before anything is allocated.
    std::string bytes = Bytes("81");
    uint32_t count = kMaxArrayLength + 1;
    bytes.append(reinterpret_cast<const char*>(&count), 4);
    bytes.append(count, '\x01');
    StatusCode status;
    Decode<Variant>(bytes, &status);
    EXPECT_EQ(status, kBadEncodingLimitsExceeded);

    // Many arrays that each fit share one budget per message.
    std::string message;
    Encoder e(message);
    const uint32_t per = kMaxArrayLength / 2;
    for (int i = 0; i < 5; ++i) {
        e.Write(static_cast<int32_t>(per));
        message.append(per, '\x00');
    }
    Decoder d(message);
    for (int i = 0; i < 5 && d.Ok(); ++i) {
        std::vector<uint8_t> part;
        d.Read(part);
    }
    EXPECT_EQ(d.Status(), kBadEncodingLimitsExceeded);
}

TEST(UaBinaryTest, NestingBeyondTheLimitIsRefused)
{
    // A variant array holding one variant array holding one ... .
    std::string deep;
    for (int i = 0; i < kMaxNesting + 2; ++i) deep += Bytes("98 01 00 00 00");
    deep += Bytes("00");
    StatusCode status;
    Decode<Variant>(deep, &status);
    EXPECT_EQ(status, kBadEncodingLimitsExceeded);

    std::string inner;
    for (int i = 0; i < kMaxNesting + 2; ++i) inner += Bytes("40");
    inner += Bytes("00");
    Decode<DiagnosticInfo>(inner, &status);
    EXPECT_EQ(status, kBadEncodingLimitsExceeded);
}

}  // namespace
