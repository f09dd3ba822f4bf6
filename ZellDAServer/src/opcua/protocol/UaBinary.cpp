#include "opcua/protocol/UaBinary.h"

namespace ua {

namespace {

// NodeId encoding bytes.
constexpr uint8_t kTwoByte = 0x00;
constexpr uint8_t kFourByte = 0x01;
constexpr uint8_t kNumeric = 0x02;
constexpr uint8_t kString = 0x03;
constexpr uint8_t kGuid = 0x04;
constexpr uint8_t kByteString = 0x05;
constexpr uint8_t kServerIndexFlag = 0x40;
constexpr uint8_t kNamespaceUriFlag = 0x80;

// Variant encoding byte.
constexpr uint8_t kArrayDimensionsFlag = 0x40;
constexpr uint8_t kArrayFlag = 0x80;
constexpr uint8_t kTypeMask = 0x3F;

}  // namespace

// ---- decoder ----

void Decoder::Fail(StatusCode status)
{
    if (m_status == kGood) m_status = status;
    m_pos = m_size;
}

bool Decoder::Enter()
{
    if (++m_depth > kMaxNesting) {
        Fail(kBadEncodingLimitsExceeded);
        return false;
    }
    return true;
}

void Decoder::Read(bool& v)
{
    v = Fixed<uint8_t>() != 0;
}

void Decoder::Read(float& v)
{
    uint32_t bits = Fixed<uint32_t>();
    std::memcpy(&v, &bits, sizeof v);
}

void Decoder::Read(double& v)
{
    uint64_t bits = Fixed<uint64_t>();
    std::memcpy(&v, &bits, sizeof v);
}

int32_t Decoder::ReadArrayLength()
{
    int32_t n = 0;
    Read(n);
    if (!Ok() || n == -1) return -1;
    if (n < -1 || static_cast<size_t>(n) > Remaining()) {
        Fail();
        return -1;
    }
    uint32_t count = static_cast<uint32_t>(n);
    if (count > kMaxArrayLength || count > kMaxDecodedElements - m_elements) {
        Fail(kBadEncodingLimitsExceeded);
        return -1;
    }
    m_elements += count;
    return n;
}

void Decoder::ReadBytes(std::string& v, uint32_t limit)
{
    int32_t n = 0;
    Read(n);
    v.clear();
    if (!Ok() || n == -1) return;
    if (n < -1 || static_cast<size_t>(n) > Remaining()) {
        Fail();
        return;
    }
    if (static_cast<uint32_t>(n) > limit) {
        Fail(kBadEncodingLimitsExceeded);
        return;
    }
    v.assign(reinterpret_cast<const char*>(m_data + m_pos), static_cast<size_t>(n));
    m_pos += static_cast<size_t>(n);
}

std::string_view Decoder::ReadStringView()
{
    int32_t n = 0;
    Read(n);
    if (!Ok() || n == -1) return {};
    if (n < -1 || static_cast<size_t>(n) > Remaining()) {
        Fail();
        return {};
    }
    if (static_cast<uint32_t>(n) > kMaxStringLength) {
        Fail(kBadEncodingLimitsExceeded);
        return {};
    }
    std::string_view out(reinterpret_cast<const char*>(m_data + m_pos), static_cast<size_t>(n));
    m_pos += static_cast<size_t>(n);
    return out;
}

void Decoder::Read(std::string& v)
{
    ReadBytes(v, kMaxStringLength);
}

void Decoder::Read(ByteString& v)
{
    ReadBytes(v.bytes, kMaxByteStringLength);
}

void Decoder::Read(Guid& v)
{
    Read(v.data1);
    Read(v.data2);
    Read(v.data3);
    for (uint8_t& b : v.data4) Read(b);
}

void Decoder::ReadNodeIdBody(uint8_t encoding, NodeId& v)
{
    v = NodeId{};
    switch (encoding) {
        case kTwoByte:
            v.numeric = Fixed<uint8_t>();
            break;
        case kFourByte:
            v.ns = Fixed<uint8_t>();
            v.numeric = Fixed<uint16_t>();
            break;
        case kNumeric:
            v.ns = Fixed<uint16_t>();
            v.numeric = Fixed<uint32_t>();
            break;
        case kString:
            v.ns = Fixed<uint16_t>();
            v.type = IdType::String;
            Read(v.text);
            break;
        case kGuid:
            v.ns = Fixed<uint16_t>();
            v.type = IdType::Guid;
            Read(v.guid);
            break;
        case kByteString:
            v.ns = Fixed<uint16_t>();
            v.type = IdType::ByteString;
            ReadBytes(v.text, kMaxByteStringLength);
            break;
        default:
            Fail();
            break;
    }
}

void Decoder::Read(NodeId& v)
{
    uint8_t encoding = Fixed<uint8_t>();
    // Only an ExpandedNodeId may carry the upper flags.
    if ((encoding & (kServerIndexFlag | kNamespaceUriFlag)) != 0) Fail();
    ReadNodeIdBody(encoding, v);
}

void Decoder::Read(ExpandedNodeId& v)
{
    uint8_t flags = Fixed<uint8_t>();
    v = ExpandedNodeId{};
    ReadNodeIdBody(flags & 0x3F, v.nodeId);
    if (flags & kNamespaceUriFlag) Read(v.namespaceUri);
    if (flags & kServerIndexFlag) Read(v.serverIndex);
}

void Decoder::Read(QualifiedName& v)
{
    Read(v.ns);
    Read(v.name);
}

void Decoder::Read(LocalizedText& v)
{
    uint8_t mask = Fixed<uint8_t>();
    v = LocalizedText{};
    if (mask & 0x01) Read(v.locale);
    if (mask & 0x02) Read(v.text);
}

void Decoder::Read(ExtensionObject& v)
{
    Read(v.typeId);
    uint8_t encoding = Fixed<uint8_t>();
    v.body.clear();
    if (encoding > ExtensionObject::Xml) {
        Fail();
        return;
    }
    v.encoding = static_cast<ExtensionObject::Encoding>(encoding);
    if (v.encoding == ExtensionObject::None) return;
    // A body is bounded by the message, not by the byte string limit.
    int32_t n = 0;
    Read(n);
    if (!Ok() || n == -1) return;
    if (n < -1 || static_cast<size_t>(n) > Remaining()) {
        Fail();
        return;
    }
    v.body.assign(reinterpret_cast<const char*>(m_data + m_pos), static_cast<size_t>(n));
    m_pos += static_cast<size_t>(n);
}

void Decoder::Read(DiagnosticInfo& v)
{
    uint8_t mask = Fixed<uint8_t>();
    v = DiagnosticInfo{};
    if (mask & 0x80) {
        Fail();
        return;
    }
    // The order on the wire puts the locale before the localized text.
    if ((v.hasSymbolicId = mask & 0x01)) Read(v.symbolicId);
    if ((v.hasNamespaceUri = mask & 0x02)) Read(v.namespaceUri);
    if ((v.hasLocale = mask & 0x08)) Read(v.locale);
    if ((v.hasLocalizedText = mask & 0x04)) Read(v.localizedText);
    if ((v.hasAdditionalInfo = mask & 0x10)) Read(v.additionalInfo);
    if ((v.hasInnerStatusCode = mask & 0x20)) Read(v.innerStatusCode);
    if (mask & 0x40) {
        if (!Enter()) return;
        v.inner = std::make_shared<DiagnosticInfo>();
        Read(*v.inner);
        Leave();
    }
}

void Decoder::ReadScalar(Type type, Scalar& s)
{
    switch (type) {
        case Type::Boolean: {
            bool b = false;
            Read(b);
            s = b;
            break;
        }
        case Type::SByte:
            s = int64_t{static_cast<int8_t>(Fixed<uint8_t>())};
            break;
        case Type::Int16:
            s = int64_t{static_cast<int16_t>(Fixed<uint16_t>())};
            break;
        case Type::Int32:
            s = int64_t{static_cast<int32_t>(Fixed<uint32_t>())};
            break;
        case Type::Int64:
        case Type::DateTime:
            s = static_cast<int64_t>(Fixed<uint64_t>());
            break;
        case Type::Byte:
            s = uint64_t{Fixed<uint8_t>()};
            break;
        case Type::UInt16:
            s = uint64_t{Fixed<uint16_t>()};
            break;
        case Type::UInt32:
        case Type::StatusCode:
            s = uint64_t{Fixed<uint32_t>()};
            break;
        case Type::UInt64:
            s = Fixed<uint64_t>();
            break;
        case Type::Float: {
            float f = 0;
            Read(f);
            s = double{f};
            break;
        }
        case Type::Double: {
            double d = 0;
            Read(d);
            s = d;
            break;
        }
        case Type::String:
        case Type::XmlElement: {
            std::string text;
            Read(text);
            s = std::move(text);
            break;
        }
        case Type::ByteString: {
            std::string bytes;
            ReadBytes(bytes, kMaxByteStringLength);
            s = std::move(bytes);
            break;
        }
        case Type::Guid: {
            Guid g;
            Read(g);
            s = std::make_shared<Boxed>(Boxed{g});
            break;
        }
        case Type::NodeId: {
            NodeId n;
            Read(n);
            s = std::make_shared<Boxed>(Boxed{std::move(n)});
            break;
        }
        case Type::ExpandedNodeId: {
            ExpandedNodeId n;
            Read(n);
            s = std::make_shared<Boxed>(Boxed{std::move(n)});
            break;
        }
        case Type::QualifiedName: {
            QualifiedName q;
            Read(q);
            s = std::make_shared<Boxed>(Boxed{std::move(q)});
            break;
        }
        case Type::LocalizedText: {
            LocalizedText t;
            Read(t);
            s = std::make_shared<Boxed>(Boxed{std::move(t)});
            break;
        }
        case Type::ExtensionObject: {
            ExtensionObject x;
            Read(x);
            s = std::make_shared<Boxed>(Boxed{std::move(x)});
            break;
        }
        case Type::DataValue: {
            DataValue dv;
            Read(dv);
            s = std::make_shared<Boxed>(Boxed{std::move(dv)});
            break;
        }
        case Type::Variant: {
            Variant inner;
            Read(inner);
            s = std::make_shared<Boxed>(Boxed{std::move(inner)});
            break;
        }
        case Type::DiagnosticInfo: {
            DiagnosticInfo di;
            Read(di);
            s = std::make_shared<Boxed>(Boxed{std::move(di)});
            break;
        }
        case Type::Null:
            break;
    }
}

void Decoder::Read(Variant& v)
{
    uint8_t mask = Fixed<uint8_t>();
    v = Variant{};
    if (!Ok()) return;
    uint8_t typeId = mask & kTypeMask;
    if (typeId > kLastBuiltinType) {
        Fail();
        return;
    }
    v.type = static_cast<Type>(typeId);
    if (!Enter()) return;
    if (mask & kArrayFlag) {
        v.isArray = true;
        int32_t n = ReadArrayLength();
        if (n == -1) {
            v.nullArray = Ok();
        } else {
            v.array.resize(static_cast<size_t>(n));
            for (Scalar& s : v.array) {
                ReadScalar(v.type, s);
                if (!Ok()) break;
            }
        }
        if (mask & kArrayDimensionsFlag) {
            Read(v.dimensions);
            // The dimensions must describe the elements there are.
            int64_t product = v.dimensions.empty() ? -1 : 1;
            for (int32_t d : v.dimensions) {
                if (d < 0) product = -1;
                if (product >= 0) product *= d;
                if (product > static_cast<int64_t>(kMaxArrayLength)) product = -1;
            }
            if (Ok() && product != static_cast<int64_t>(v.array.size())) Fail();
        }
    } else if (mask & kArrayDimensionsFlag) {
        Fail();
    } else if (v.type == Type::Variant) {
        // A variant holds another variant only as array elements.
        Fail();
    } else {
        ReadScalar(v.type, v.scalar);
    }
    Leave();
    if (!Ok()) v = Variant{};
}

void Decoder::Read(DataValue& v)
{
    uint8_t mask = Fixed<uint8_t>();
    v = DataValue{};
    if (mask & 0xC0) {
        Fail();
        return;
    }
    if (!Enter()) return;
    // The order on the wire puts the source picoseconds before the server time stamp.
    if ((v.hasValue = mask & 0x01)) Read(v.value);
    if ((v.hasStatus = mask & 0x02)) Read(v.status);
    if ((v.hasSourceTimestamp = mask & 0x04)) Read(v.sourceTimestamp);
    if ((v.hasSourcePicoseconds = mask & 0x10)) Read(v.sourcePicoseconds);
    if ((v.hasServerTimestamp = mask & 0x08)) Read(v.serverTimestamp);
    if ((v.hasServerPicoseconds = mask & 0x20)) Read(v.serverPicoseconds);
    Leave();
}

// ---- encoder ----

void Encoder::Write(std::string_view v)
{
    Write(static_cast<int32_t>(v.size()));
    m_out.append(v.data(), v.size());
}

void Encoder::Write(const ByteString& v)
{
    if (v.bytes.empty()) {
        Write(int32_t{-1});
        return;
    }
    Write(std::string_view(v.bytes));
}

void Encoder::Write(const Guid& v)
{
    Write(v.data1);
    Write(v.data2);
    Write(v.data3);
    WriteRaw(v.data4.data(), v.data4.size());
}

void Encoder::Write(const NodeId& v)
{
    switch (v.type) {
        case IdType::Numeric:
            if (v.ns == 0 && v.numeric <= 0xFF) {
                Fixed(kTwoByte);
                Fixed(static_cast<uint8_t>(v.numeric));
            } else if (v.ns <= 0xFF && v.numeric <= 0xFFFF) {
                Fixed(kFourByte);
                Fixed(static_cast<uint8_t>(v.ns));
                Fixed(static_cast<uint16_t>(v.numeric));
            } else {
                Fixed(kNumeric);
                Fixed(v.ns);
                Fixed(v.numeric);
            }
            break;
        case IdType::String:
            Fixed(kString);
            Fixed(v.ns);
            Write(v.text);
            break;
        case IdType::Guid:
            Fixed(kGuid);
            Fixed(v.ns);
            Write(v.guid);
            break;
        case IdType::ByteString:
            Fixed(kByteString);
            Fixed(v.ns);
            Write(ByteString{v.text});
            break;
    }
}

void Encoder::WriteJoinedStringNodeId(uint16_t ns, std::string_view prefix, std::string_view name)
{
    Fixed(kString);
    Fixed(ns);
    size_t length = prefix.empty() ? name.size() : prefix.size() + 1 + name.size();
    Write(static_cast<int32_t>(length));
    if (!prefix.empty()) {
        m_out.append(prefix.data(), prefix.size());
        m_out.push_back('.');
    }
    m_out.append(name.data(), name.size());
}

void Encoder::Write(const ExpandedNodeId& v)
{
    size_t start = m_out.size();
    Write(v.nodeId);
    uint8_t flags = 0;
    if (!v.namespaceUri.empty()) flags |= kNamespaceUriFlag;
    if (v.serverIndex != 0) flags |= kServerIndexFlag;
    m_out[start] = static_cast<char>(static_cast<uint8_t>(m_out[start]) | flags);
    if (!v.namespaceUri.empty()) Write(v.namespaceUri);
    if (v.serverIndex != 0) Write(v.serverIndex);
}

void Encoder::Write(const QualifiedName& v)
{
    Write(v.ns);
    Write(v.name);
}

void Encoder::Write(const LocalizedText& v)
{
    uint8_t mask = (v.locale.empty() ? 0 : 0x01) | (v.text.empty() ? 0 : 0x02);
    Fixed(mask);
    if (!v.locale.empty()) Write(v.locale);
    if (!v.text.empty()) Write(v.text);
}

void Encoder::Write(const ExtensionObject& v)
{
    Write(v.typeId);
    Fixed(static_cast<uint8_t>(v.encoding));
    if (v.encoding != ExtensionObject::None) Write(std::string_view(v.body));
}

void Encoder::Write(const DiagnosticInfo& v)
{
    uint8_t mask = (v.hasSymbolicId ? 0x01 : 0) | (v.hasNamespaceUri ? 0x02 : 0) |
                   (v.hasLocalizedText ? 0x04 : 0) | (v.hasLocale ? 0x08 : 0) |
                   (v.hasAdditionalInfo ? 0x10 : 0) | (v.hasInnerStatusCode ? 0x20 : 0) |
                   (v.inner ? 0x40 : 0);
    Fixed(mask);
    if (v.hasSymbolicId) Write(v.symbolicId);
    if (v.hasNamespaceUri) Write(v.namespaceUri);
    if (v.hasLocale) Write(v.locale);
    if (v.hasLocalizedText) Write(v.localizedText);
    if (v.hasAdditionalInfo) Write(v.additionalInfo);
    if (v.hasInnerStatusCode) Write(v.innerStatusCode);
    if (v.inner) Write(*v.inner);
}

void Encoder::WriteScalar(Type type, const Scalar& s)
{
    auto i64 = [&] { return std::holds_alternative<int64_t>(s) ? std::get<int64_t>(s) : 0; };
    auto u64 = [&] { return std::holds_alternative<uint64_t>(s) ? std::get<uint64_t>(s) : 0; };
    auto real = [&] { return std::holds_alternative<double>(s) ? std::get<double>(s) : 0.0; };
    auto text = [&]() -> std::string_view {
        const auto* str = std::get_if<std::string>(&s);
        return str ? std::string_view(*str) : std::string_view();
    };
    switch (type) {
        case Type::Boolean:
            Write(std::holds_alternative<bool>(s) && std::get<bool>(s));
            break;
        case Type::SByte:
            Write(static_cast<int8_t>(i64()));
            break;
        case Type::Int16:
            Write(static_cast<int16_t>(i64()));
            break;
        case Type::Int32:
            Write(static_cast<int32_t>(i64()));
            break;
        case Type::Int64:
        case Type::DateTime:
            Write(i64());
            break;
        case Type::Byte:
            Write(static_cast<uint8_t>(u64()));
            break;
        case Type::UInt16:
            Write(static_cast<uint16_t>(u64()));
            break;
        case Type::UInt32:
        case Type::StatusCode:
            Write(static_cast<uint32_t>(u64()));
            break;
        case Type::UInt64:
            Write(u64());
            break;
        case Type::Float:
            Write(static_cast<float>(real()));
            break;
        case Type::Double:
            Write(real());
            break;
        case Type::String:
        case Type::XmlElement:
            Write(text());
            break;
        case Type::ByteString:
            if (text().empty())
                Write(int32_t{-1});
            else
                Write(text());
            break;
        case Type::Guid:
            Write(BoxedAs<Guid>(s) ? *BoxedAs<Guid>(s) : Guid{});
            break;
        case Type::NodeId:
            Write(BoxedAs<NodeId>(s) ? *BoxedAs<NodeId>(s) : NodeId{});
            break;
        case Type::ExpandedNodeId:
            Write(BoxedAs<ExpandedNodeId>(s) ? *BoxedAs<ExpandedNodeId>(s) : ExpandedNodeId{});
            break;
        case Type::QualifiedName:
            Write(BoxedAs<QualifiedName>(s) ? *BoxedAs<QualifiedName>(s) : QualifiedName{});
            break;
        case Type::LocalizedText:
            Write(BoxedAs<LocalizedText>(s) ? *BoxedAs<LocalizedText>(s) : LocalizedText{});
            break;
        case Type::ExtensionObject:
            Write(BoxedAs<ExtensionObject>(s) ? *BoxedAs<ExtensionObject>(s) : ExtensionObject{});
            break;
        case Type::DataValue:
            Write(BoxedAs<DataValue>(s) ? *BoxedAs<DataValue>(s) : DataValue{});
            break;
        case Type::Variant:
            Write(BoxedAs<Variant>(s) ? *BoxedAs<Variant>(s) : Variant{});
            break;
        case Type::DiagnosticInfo:
            Write(BoxedAs<DiagnosticInfo>(s) ? *BoxedAs<DiagnosticInfo>(s) : DiagnosticInfo{});
            break;
        case Type::Null:
            break;
    }
}

void Encoder::Write(const Variant& v)
{
    uint8_t mask = static_cast<uint8_t>(v.type);
    if (v.type == Type::Null) {
        Fixed(mask);
        return;
    }
    if (!v.isArray) {
        Fixed(mask);
        WriteScalar(v.type, v.scalar);
        return;
    }
    mask |= kArrayFlag;
    if (!v.dimensions.empty()) mask |= kArrayDimensionsFlag;
    Fixed(mask);
    if (v.nullArray) {
        Write(int32_t{-1});
    } else {
        Write(static_cast<int32_t>(v.array.size()));
        for (const Scalar& s : v.array) WriteScalar(v.type, s);
    }
    if (!v.dimensions.empty()) Write(v.dimensions);
}

void Encoder::Write(const DataValue& v)
{
    uint8_t mask = (v.hasValue ? 0x01 : 0) | (v.hasStatus ? 0x02 : 0) | (v.hasSourceTimestamp ? 0x04 : 0) |
                   (v.hasServerTimestamp ? 0x08 : 0) | (v.hasSourcePicoseconds ? 0x10 : 0) |
                   (v.hasServerPicoseconds ? 0x20 : 0);
    Fixed(mask);
    if (v.hasValue) Write(v.value);
    if (v.hasStatus) Write(v.status);
    if (v.hasSourceTimestamp) Write(v.sourceTimestamp);
    if (v.hasSourcePicoseconds) Write(v.sourcePicoseconds);
    if (v.hasServerTimestamp) Write(v.serverTimestamp);
    if (v.hasServerPicoseconds) Write(v.serverPicoseconds);
}

}  // namespace ua
