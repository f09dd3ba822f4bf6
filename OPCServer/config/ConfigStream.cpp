#include "config/ConfigStream.h"

#include "platform/Text.h"

#include <algorithm>

void CConfigWriter::U16(uint16_t value)
{
    U8(static_cast<uint8_t>(value));
    U8(static_cast<uint8_t>(value >> 8));
}

void CConfigWriter::U32(uint32_t value)
{
    U16(static_cast<uint16_t>(value));
    U16(static_cast<uint16_t>(value >> 16));
}

size_t CConfigWriter::Text(const std::u16string& units)
{
    for (const char16_t unit : units) {
        U16(static_cast<uint16_t>(unit));
    }
    return units.size();
}

bool CConfigReader::Bytes(void* out, size_t count)
{
    if (count > Remaining()) {
        m_offset = m_bytes.size();
        m_cutShort = true;
        return false;
    }
    std::memcpy(out, m_bytes.data() + m_offset, count);
    m_offset += count;
    return true;
}

bool CConfigReader::Skip(size_t count)
{
    const bool whole = count <= Remaining();
    m_offset += std::min(count, Remaining());
    m_cutShort = m_cutShort || !whole;
    return whole;
}

bool CConfigReader::U8(uint8_t& value)
{
    return Bytes(&value, 1);
}

bool CConfigReader::U16(uint16_t& value)
{
    uint8_t b[2];
    if (!Bytes(b, sizeof b)) {
        return false;
    }
    value = static_cast<uint16_t>(b[0] | (b[1] << 8));
    return true;
}

bool CConfigReader::U32(uint32_t& value)
{
    uint8_t b[4];
    if (!Bytes(b, sizeof b)) {
        return false;
    }
    value = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
            (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return true;
}

bool CConfigReader::Text(size_t count, std::string& text)
{
    // Never more than the image holds: a length field is not an allocation.
    const size_t present = std::min(count, Remaining() / 2);
    std::u16string units(present, u'\0');
    for (char16_t& unit : units) {
        uint16_t value = 0;
        (void)U16(value);
        unit = static_cast<char16_t>(value);
    }
    text = Utf16ToUtf8(units);
    if (present < count) {
        m_offset = m_bytes.size();
        m_cutShort = true;
        return false;
    }
    return true;
}
