#include "crashreport/CrashText.h"

#include "platform/CrashSignals.h"

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// Length and code point of the UTF-8 sequence at text, 0 when it is not valid.
size_t DecodeOne(const unsigned char* text, char32_t* point)
{
    const unsigned char lead = text[0];
    size_t length;
    char32_t value;
    char32_t minimum;
    if (lead < 0x80) {
        *point = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if (!IsContinuation(text[i])) {  // also stops at the terminating zero
            return 0;
        }
        value = (value << 6) | (text[i] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    *point = value;
    return length;
}

}  // namespace

size_t Utf8ToUtf16(const char* text, char16_t* out, size_t capacity)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    size_t written = 0;
    while (*p != 0 && written < capacity) {
        char32_t point = 0;
        const size_t length = DecodeOne(p, &point);
        if (length == 0) {
            out[written++] = kReplacement;
            ++p;
            continue;
        }
        if (point >= 0x10000) {
            if (written + 2 > capacity) {
                break;
            }
            point -= 0x10000;
            out[written++] = static_cast<char16_t>(0xD800 + (point >> 10));
            out[written++] = static_cast<char16_t>(0xDC00 + (point & 0x3FF));
        } else {
            out[written++] = static_cast<char16_t>(point);
        }
        p += length;
    }
    return written;
}

void CrashTextWriter::Put(char16_t unit)
{
    if (m_length == kCapacity) {
        Flush();
    }
    m_bytes[m_length * 2] = static_cast<uint8_t>(unit & 0xFF);
    m_bytes[m_length * 2 + 1] = static_cast<uint8_t>(unit >> 8);
    ++m_length;
}

CrashTextWriter& CrashTextWriter::Text(const char* text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text != nullptr ? text : "");
    while (*p != 0) {
        char32_t point = 0;
        const size_t length = DecodeOne(p, &point);
        if (length == 0) {
            Put(kReplacement);
            ++p;
            continue;
        }
        if (point >= 0x10000) {
            point -= 0x10000;
            Put(static_cast<char16_t>(0xD800 + (point >> 10)));
            Put(static_cast<char16_t>(0xDC00 + (point & 0x3FF)));
        } else {
            Put(static_cast<char16_t>(point));
        }
        p += length;
    }
    return *this;
}

CrashTextWriter& CrashTextWriter::Utf16(const char16_t* text, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        Put(text[i]);
    }
    return *this;
}

CrashTextWriter& CrashTextWriter::Hex(uint64_t value, int digits)
{
    char16_t units[16];
    int count = 0;
    do {
        const unsigned nibble = static_cast<unsigned>(value & 0xF);
        units[count++] = static_cast<char16_t>(nibble < 10 ? u'0' + nibble : u'A' + nibble - 10);
        value >>= 4;
    } while (value != 0);
    for (int i = count; i < digits; ++i) {
        Put(u'0');
    }
    while (count > 0) {
        Put(units[--count]);
    }
    return *this;
}

CrashTextWriter& CrashTextWriter::Dec(uint64_t value, int digits)
{
    char16_t units[20];
    int count = 0;
    do {
        units[count++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = count; i < digits; ++i) {
        Put(u'0');
    }
    while (count > 0) {
        Put(units[--count]);
    }
    return *this;
}

void CrashTextWriter::Flush()
{
    if (m_length > 0) {
        CrashFileWrite(m_handle, m_bytes, m_length * 2);
        m_length = 0;
    }
}
