#pragma once
// The OPC UA binary encoding: little-endian numbers, strings and byte strings
// as an Int32 byte length (-1 null) and their bytes, arrays as an Int32 count
// (-1 null) and their elements.
//
// Structures list their fields once, for both directions:
//     template <typename C, typename S> static void Fields(C& c, S& s) { c(s.a, s.b); }
// and enumerations travel as Int32.
//
// The decoder never reads past its input and never trusts a length: a length
// beyond the bytes left, an array beyond the element budget or nesting beyond
// the depth limit stops decoding with a sticky status, and every later read
// gives zero values.

#include "opcua/protocol/UaTypes.h"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace ua {

class Decoder;
class Encoder;

template <typename T>
concept Structure = requires(Decoder& d, T& t)
{
    T::Fields(d, t);
};

// Limits every decoder applies.
constexpr uint32_t kMaxArrayLength = 200000;      // one array
constexpr uint32_t kMaxDecodedElements = 400000;  // all arrays of one message together
constexpr uint32_t kMaxStringLength = 65535;
constexpr uint32_t kMaxByteStringLength = 65535;
constexpr int kMaxNesting = 32;

class Decoder {
   public:
    Decoder(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    explicit Decoder(std::string_view bytes)
        : Decoder(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())
    {
    }

    bool Ok() const { return m_status == kGood; }
    StatusCode Status() const { return m_status; }
    // Stops decoding; the first failure is the one kept.
    void Fail(StatusCode status = kBadDecodingError);
    size_t Position() const { return m_pos; }
    size_t Remaining() const { return m_size - m_pos; }

    template <typename... T>
    void operator()(T&... fields)
    {
        (Read(fields), ...);
    }

    void Read(bool& v);
    void Read(int8_t& v) { v = static_cast<int8_t>(Fixed<uint8_t>()); }
    void Read(uint8_t& v) { v = Fixed<uint8_t>(); }
    void Read(int16_t& v) { v = static_cast<int16_t>(Fixed<uint16_t>()); }
    void Read(uint16_t& v) { v = Fixed<uint16_t>(); }
    void Read(int32_t& v) { v = static_cast<int32_t>(Fixed<uint32_t>()); }
    void Read(uint32_t& v) { v = Fixed<uint32_t>(); }
    void Read(int64_t& v) { v = static_cast<int64_t>(Fixed<uint64_t>()); }
    void Read(uint64_t& v) { v = Fixed<uint64_t>(); }
    void Read(float& v);
    void Read(double& v);
    void Read(std::string& v);  // String
    void Read(ByteString& v);
    void Read(DateTime& v) { Read(v.ticks); }
    void Read(Guid& v);
    void Read(NodeId& v);
    void Read(ExpandedNodeId& v);
    void Read(QualifiedName& v);
    void Read(LocalizedText& v);
    void Read(ExtensionObject& v);
    void Read(DiagnosticInfo& v);
    void Read(Variant& v);
    void Read(DataValue& v);

    template <typename E>
    requires std::is_enum_v<E>
    void Read(E& v)
    {
        int32_t raw = 0;
        Read(raw);
        v = static_cast<E>(raw);
    }
    template <Structure T>
    void Read(T& v)
    {
        T::Fields(*this, v);
    }
    // A null array reads as an empty one.
    template <typename T>
    void Read(std::vector<T>& v)
    {
        int32_t n = ReadArrayLength();
        v.clear();
        if (n <= 0) return;
        v.resize(static_cast<size_t>(n));
        for (T& e : v) {
            Read(e);
            if (!Ok()) {
                v.clear();
                return;
            }
        }
    }

    // An array's count: -1 for null, else checked against the bytes left (every
    // element takes one byte at least) and the limits.
    int32_t ReadArrayLength();
    // A String's bytes without copying them (valid while the input is).
    std::string_view ReadStringView();

   private:
    template <typename U>
    U Fixed()
    {
        if (Remaining() < sizeof(U)) {
            Fail();
            return 0;
        }
        U v;
        std::memcpy(&v, m_data + m_pos, sizeof(U));  // the machine is little-endian, as the wire
        m_pos += sizeof(U);
        return v;
    }
    void ReadBytes(std::string& v, uint32_t limit);
    void ReadNodeIdBody(uint8_t encoding, NodeId& v);
    void ReadScalar(Type type, Scalar& s);
    bool Enter();
    void Leave() { --m_depth; }

    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
    StatusCode m_status = kGood;
    int m_depth = 0;
    uint32_t m_elements = 0;
};

class Encoder {
   public:
    explicit Encoder(std::string& out) : m_out(out) {}

    size_t Size() const { return m_out.size(); }
    std::string& Buffer() { return m_out; }

    template <typename... T>
    void operator()(const T&... fields)
    {
        (Write(fields), ...);
    }

    void Write(bool v) { Fixed<uint8_t>(v ? 1 : 0); }
    void Write(int8_t v) { Fixed(static_cast<uint8_t>(v)); }
    void Write(uint8_t v) { Fixed(v); }
    void Write(int16_t v) { Fixed(static_cast<uint16_t>(v)); }
    void Write(uint16_t v) { Fixed(v); }
    void Write(int32_t v) { Fixed(static_cast<uint32_t>(v)); }
    void Write(uint32_t v) { Fixed(v); }
    void Write(int64_t v) { Fixed(static_cast<uint64_t>(v)); }
    void Write(uint64_t v) { Fixed(v); }
    void Write(float v) { Fixed(v); }
    void Write(double v) { Fixed(v); }
    void Write(std::string_view v);  // String
    void Write(const std::string& v) { Write(std::string_view(v)); }
    void Write(const char* v) { Write(std::string_view(v)); }
    void Write(const ByteString& v);
    void Write(DateTime v) { Write(v.ticks); }
    void Write(const Guid& v);
    void Write(const NodeId& v);
    void Write(const ExpandedNodeId& v);
    void Write(const QualifiedName& v);
    void Write(const LocalizedText& v);
    void Write(const ExtensionObject& v);
    void Write(const DiagnosticInfo& v);
    void Write(const Variant& v);
    void Write(const DataValue& v);

    template <typename E>
    requires std::is_enum_v<E>
    void Write(E v) { Write(static_cast<int32_t>(v)); }
    template <Structure T>
    void Write(const T& v)
    {
        T::Fields(*this, v);
    }
    template <typename T>
    void Write(const std::vector<T>& v)
    {
        Write(static_cast<int32_t>(v.size()));
        for (const T& e : v) Write(e);
    }
    // A String NodeId of namespace ns whose text is prefix + '.' + name (name
    // alone when prefix is empty), without building the text.
    void WriteJoinedStringNodeId(uint16_t ns, std::string_view prefix, std::string_view name);
    void WriteRaw(const void* bytes, size_t size) { m_out.append(static_cast<const char*>(bytes), size); }

   private:
    template <typename U>
    void Fixed(U v)
    {
        char bytes[sizeof(U)];
        std::memcpy(bytes, &v, sizeof(U));
        m_out.append(bytes, sizeof(U));
    }
    void WriteScalar(Type type, const Scalar& s);

    std::string& m_out;
};

// A structure wrapped in a binary extension object.
template <typename T>
ExtensionObject Wrap(uint32_t encodingId, const T& body)
{
    ExtensionObject out;
    out.typeId = NodeId::Numeric(encodingId);
    out.encoding = ExtensionObject::Binary;
    Encoder e(out.body);
    e.Write(body);
    return out;
}

// The structure inside a binary extension object of the given encoding; false
// when it is another type or does not decode whole.
template <typename T>
bool Unwrap(const ExtensionObject& in, uint32_t encodingId, T* body)
{
    if (!in.typeId.Is(encodingId) || in.encoding != ExtensionObject::Binary) return false;
    Decoder d(in.body);
    d.Read(*body);
    return d.Ok() && d.Remaining() == 0;
}

}  // namespace ua
