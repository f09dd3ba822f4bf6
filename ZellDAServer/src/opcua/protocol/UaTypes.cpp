#include "opcua/protocol/UaTypes.h"

#include "platform/FileTime.h"

#include <cstdio>

namespace ua {

namespace {

bool ScalarEqual(const Scalar& a, const Scalar& b)
{
    if (a.index() != b.index()) return false;
    const auto* boxA = std::get_if<std::shared_ptr<Boxed>>(&a);
    if (!boxA) return a == b;
    const auto& boxB = std::get<std::shared_ptr<Boxed>>(b);
    if (!*boxA || !boxB) return !*boxA && !boxB;
    return **boxA == *boxB;
}

}  // namespace

DateTime Now()
{
    return DateTime{static_cast<int64_t>(SystemTimeNow())};
}

bool NodeId::IsNull() const
{
    if (ns != 0) return false;
    switch (type) {
        case IdType::Numeric:
            return numeric == 0;
        case IdType::Guid:
            return guid == Guid{};
        default:
            return text.empty();
    }
}

bool NodeId::operator==(const NodeId& o) const
{
    if (ns != o.ns || type != o.type) return false;
    switch (type) {
        case IdType::Numeric:
            return numeric == o.numeric;
        case IdType::Guid:
            return guid == o.guid;
        default:
            return text == o.text;
    }
}

std::string ToString(const NodeId& id)
{
    std::string out = id.ns ? "ns=" + std::to_string(id.ns) + ";" : std::string();
    switch (id.type) {
        case IdType::Numeric:
            return out + "i=" + std::to_string(id.numeric);
        case IdType::String:
            return out + "s=" + id.text;
        case IdType::Guid: {
            char text[48];
            std::snprintf(text, sizeof text, "g=%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                          id.guid.data1, id.guid.data2, id.guid.data3, id.guid.data4[0], id.guid.data4[1],
                          id.guid.data4[2], id.guid.data4[3], id.guid.data4[4], id.guid.data4[5],
                          id.guid.data4[6], id.guid.data4[7]);
            return out + text;
        }
        case IdType::ByteString:
            return out + "b=(" + std::to_string(id.text.size()) + " bytes)";
    }
    return out;
}

bool DiagnosticInfo::operator==(const DiagnosticInfo& o) const
{
    if (hasSymbolicId != o.hasSymbolicId || hasNamespaceUri != o.hasNamespaceUri ||
        hasLocalizedText != o.hasLocalizedText || hasLocale != o.hasLocale ||
        hasAdditionalInfo != o.hasAdditionalInfo || hasInnerStatusCode != o.hasInnerStatusCode)
        return false;
    if (symbolicId != o.symbolicId || namespaceUri != o.namespaceUri || localizedText != o.localizedText ||
        locale != o.locale || additionalInfo != o.additionalInfo || innerStatusCode != o.innerStatusCode)
        return false;
    if (!inner || !o.inner) return !inner && !o.inner;
    return *inner == *o.inner;
}

bool Variant::operator==(const Variant& o) const
{
    if (type != o.type || isArray != o.isArray || nullArray != o.nullArray || dimensions != o.dimensions ||
        array.size() != o.array.size() || !ScalarEqual(scalar, o.scalar))
        return false;
    for (size_t i = 0; i < array.size(); ++i)
        if (!ScalarEqual(array[i], o.array[i])) return false;
    return true;
}

Variant MakeBoolean(bool v)
{
    Variant out;
    out.type = Type::Boolean;
    out.scalar = v;
    return out;
}

Variant MakeSigned(Type t, int64_t v)
{
    Variant out;
    out.type = t;
    out.scalar = v;
    return out;
}

Variant MakeUnsigned(Type t, uint64_t v)
{
    Variant out;
    out.type = t;
    out.scalar = v;
    return out;
}

Variant MakeReal(Type t, double v)
{
    Variant out;
    out.type = t;
    out.scalar = v;
    return out;
}

Variant MakeString(std::string v, Type t)
{
    Variant out;
    out.type = t;
    out.scalar = std::move(v);
    return out;
}

Variant MakeDateTime(DateTime v)
{
    return MakeSigned(Type::DateTime, v.ticks);
}

Variant MakeStringArray(std::vector<std::string> v)
{
    Variant out = MakeEmptyArray(Type::String);
    out.array.reserve(v.size());
    for (std::string& s : v) out.array.emplace_back(std::move(s));
    return out;
}

Variant MakeUInt32Array(const std::vector<uint32_t>& v)
{
    Variant out = MakeEmptyArray(Type::UInt32);
    for (uint32_t x : v) out.array.emplace_back(uint64_t{x});
    return out;
}

Variant MakeEmptyArray(Type t)
{
    Variant out;
    out.type = t;
    out.isArray = true;
    return out;
}

}  // namespace ua
