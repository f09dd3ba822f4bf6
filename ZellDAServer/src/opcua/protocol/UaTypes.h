#pragma once
// The built-in types of the OPC UA binary protocol as the endpoint holds them.
// Strings are UTF-8. Structures that the wire nests without bound (variants in
// data values in extension objects ...) are boxed, so a variant stays small.

#include "opcua/protocol/UaStatus.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ua {

// 100 ns intervals since 1601-01-01 UTC: the count a FILETIME holds.
struct DateTime {
    int64_t ticks = 0;
    bool operator==(const DateTime&) const = default;
};
DateTime Now();

struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};
    bool operator==(const Guid&) const = default;
};

// Bytes. An empty one travels as a null ByteString.
struct ByteString {
    std::string bytes;
    bool operator==(const ByteString&) const = default;
};

enum class IdType : uint8_t { Numeric, String, Guid, ByteString };

struct NodeId {
    uint16_t ns = 0;
    IdType type = IdType::Numeric;
    uint32_t numeric = 0;
    std::string text;  // String and ByteString identifiers
    Guid guid{};

    static NodeId Numeric(uint32_t id, uint16_t ns = 0)
    {
        NodeId n;
        n.ns = ns;
        n.numeric = id;
        return n;
    }
    static NodeId String(uint16_t ns, std::string text)
    {
        NodeId n;
        n.ns = ns;
        n.type = IdType::String;
        n.text = std::move(text);
        return n;
    }
    // The null NodeId of any identifier type.
    bool IsNull() const;
    bool Is(uint32_t ns0Id) const { return ns == 0 && type == IdType::Numeric && numeric == ns0Id; }
    bool operator==(const NodeId& o) const;
};
// "ns=1;s=..." style text for traces.
std::string ToString(const NodeId& id);

struct ExpandedNodeId {
    NodeId nodeId;
    std::string namespaceUri;  // empty: none
    uint32_t serverIndex = 0;
    bool operator==(const ExpandedNodeId&) const = default;
};

struct QualifiedName {
    uint16_t ns = 0;
    std::string name;
    bool operator==(const QualifiedName&) const = default;
};

// A part that is empty is left out of the encoding.
struct LocalizedText {
    std::string locale;
    std::string text;
    bool operator==(const LocalizedText&) const = default;
};

struct ExtensionObject {
    enum Encoding : uint8_t { None = 0, Binary = 1, Xml = 2 };
    NodeId typeId;
    Encoding encoding = None;
    std::string body;
    bool operator==(const ExtensionObject&) const = default;
};

struct DiagnosticInfo {
    bool hasSymbolicId = false, hasNamespaceUri = false, hasLocalizedText = false, hasLocale = false,
         hasAdditionalInfo = false, hasInnerStatusCode = false;
    int32_t symbolicId = 0;
    int32_t namespaceUri = 0;
    int32_t localizedText = 0;
    int32_t locale = 0;
    std::string additionalInfo;
    StatusCode innerStatusCode = 0;
    std::shared_ptr<DiagnosticInfo> inner;
    bool operator==(const DiagnosticInfo& o) const;
};

// Built-in type IDs as a variant's encoding byte carries them.
enum class Type : uint8_t {
    Null = 0,
    Boolean = 1,
    SByte = 2,
    Byte = 3,
    Int16 = 4,
    UInt16 = 5,
    Int32 = 6,
    UInt32 = 7,
    Int64 = 8,
    UInt64 = 9,
    Float = 10,
    Double = 11,
    String = 12,
    DateTime = 13,
    Guid = 14,
    ByteString = 15,
    XmlElement = 16,
    NodeId = 17,
    ExpandedNodeId = 18,
    StatusCode = 19,
    QualifiedName = 20,
    LocalizedText = 21,
    ExtensionObject = 22,
    DataValue = 23,
    Variant = 24,
    DiagnosticInfo = 25,
};
constexpr uint8_t kLastBuiltinType = 25;

struct Boxed;

// One value of a variant, by the variant's type:
// bool (Boolean), int64_t (SByte, Int16, Int32, Int64, DateTime),
// uint64_t (Byte, UInt16, UInt32, UInt64, StatusCode), double (Float, Double),
// std::string (String, ByteString, XmlElement), Boxed (every other type).
using Scalar =
    std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string, std::shared_ptr<Boxed>>;

struct Variant {
    Type type = Type::Null;
    Scalar scalar;  // a scalar's value
    bool isArray = false;
    bool nullArray = false;  // an array sent with length -1
    std::vector<Scalar> array;
    std::vector<int32_t> dimensions;  // a multi-dimensional array's, else empty

    bool IsNull() const { return type == Type::Null; }
    bool IsScalar() const { return type != Type::Null && !isArray; }
    bool operator==(const Variant& o) const;
};

struct DataValue {
    bool hasValue = false, hasStatus = false, hasSourceTimestamp = false, hasServerTimestamp = false,
         hasSourcePicoseconds = false, hasServerPicoseconds = false;
    Variant value;
    StatusCode status = kGood;
    DateTime sourceTimestamp;
    DateTime serverTimestamp;
    uint16_t sourcePicoseconds = 0;
    uint16_t serverPicoseconds = 0;
    bool operator==(const DataValue&) const = default;
};

struct Boxed {
    std::variant<Guid, NodeId, ExpandedNodeId, QualifiedName, LocalizedText, ExtensionObject, DataValue,
                 Variant, DiagnosticInfo>
        value;
    bool operator==(const Boxed&) const = default;
};

// Variant makers.
Variant MakeBoolean(bool v);
Variant MakeSigned(Type t, int64_t v);     // SByte, Int16, Int32, Int64, DateTime
Variant MakeUnsigned(Type t, uint64_t v);  // Byte, UInt16, UInt32, UInt64, StatusCode
Variant MakeReal(Type t, double v);        // Float, Double
Variant MakeString(std::string v, Type t = Type::String);
Variant MakeDateTime(DateTime v);
Variant MakeStringArray(std::vector<std::string> v);
Variant MakeUInt32Array(const std::vector<uint32_t>& v);
// An empty array of any type (length 0, not null).
Variant MakeEmptyArray(Type t);
template <typename T>
Variant MakeBoxed(Type t, T v)
{
    Variant out;
    out.type = t;
    out.scalar = std::make_shared<Boxed>(Boxed{std::move(v)});
    return out;
}

// The boxed value of a scalar, or null when the scalar holds something else.
template <typename T>
const T* BoxedAs(const Scalar& s)
{
    const auto* box = std::get_if<std::shared_ptr<Boxed>>(&s);
    if (!box || !*box) return nullptr;
    return std::get_if<T>(&(*box)->value);
}

}  // namespace ua
