#include "platform/Text.h"

#include <cstdint>
#include <cwctype>
#include <locale.h>
#include <vector>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes UTF-8, replacing each maximal ill-formed subpart by U+FFFD (the
// practice Unicode recommends, so a truncated sequence costs one character
// and does not swallow the next valid one).
template <class Emit>
void DecodeUtf8(std::string_view text, Emit emit)
{
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        if (b0 < 0x80) {
            emit(static_cast<char32_t>(b0));
            ++i;
            continue;
        }
        int need = 0;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        char32_t cp = 0;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            need = 1;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            need = 2;
            cp = b0 & 0x0F;
            if (b0 == 0xE0)
                lo = 0xA0;  // no overlong forms
            else if (b0 == 0xED)
                hi = 0x9F;  // no surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            need = 3;
            cp = b0 & 0x07;
            if (b0 == 0xF0)
                lo = 0x90;  // no overlong forms
            else if (b0 == 0xF4)
                hi = 0x8F;  // nothing above U+10FFFF
        } else {
            emit(kReplacement);
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < need; ++k, ++j) {
            const unsigned char first = k == 0 ? lo : 0x80;
            const unsigned char last = k == 0 ? hi : 0xBF;
            if (j >= n) {
                ok = false;
                break;
            }
            const auto b = static_cast<unsigned char>(text[j]);
            if (b < first || b > last) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        emit(ok ? cp : kReplacement);
        i = j;
    }
}

template <class Emit>
void DecodeUtf16(std::u16string_view text, Emit emit)
{
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                emit(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
                ++i;
            } else {
                emit(kReplacement);
            }
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            emit(kReplacement);
        } else {
            emit(static_cast<char32_t>(u));
        }
    }
}

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void AppendUtf16(std::u16string& out, char32_t cp)
{
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// Code page 1251, bytes 0x80 to 0xFF. 0x98 is unassigned (0).
constexpr char16_t kCp1251High[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

char32_t Cp1251Decode(unsigned char b)
{
    if (b < 0x80) {
        return b;
    }
    const char16_t u = kCp1251High[b - 0x80];
    return u == 0 ? kReplacement : u;
}

char Cp1251Encode(char32_t cp)
{
    if (cp < 0x80) {
        return static_cast<char>(cp);
    }
    if (cp >= 0x0410 && cp <= 0x044F) {  // А..я, the common case
        return static_cast<char>(0xC0 + (cp - 0x0410));
    }
    if (cp != 0 && cp <= 0xFFFF) {
        for (int i = 0; i < 0x40; ++i) {
            if (kCp1251High[i] == cp) {
                return static_cast<char>(0x80 + i);
            }
        }
    }
    return '?';
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8)
{
    std::u16string out;
    out.reserve(utf8.size());
    DecodeUtf8(utf8, [&](char32_t cp) { AppendUtf16(out, cp); });
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16)
{
    std::string out;
    out.reserve(utf16.size() * 2);
    DecodeUtf16(utf16, [&](char32_t cp) { AppendUtf8(out, cp); });
    return out;
}

std::string Utf8ToCp1251(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    DecodeUtf8(utf8, [&](char32_t cp) { out.push_back(Cp1251Encode(cp)); });
    return out;
}

std::string Cp1251ToUtf8(std::string_view cp1251)
{
    std::string out;
    out.reserve(cp1251.size() * 2);
    for (char c : cp1251) {
        AppendUtf8(out, Cp1251Decode(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string Utf16ToCp1251(std::u16string_view utf16)
{
    std::string out;
    out.reserve(utf16.size());
    DecodeUtf16(utf16, [&](char32_t cp) { out.push_back(Cp1251Encode(cp)); });
    return out;
}

std::u16string Cp1251ToUtf16(std::string_view cp1251)
{
    std::u16string out;
    out.reserve(cp1251.size());
    for (char c : cp1251) {
        out.push_back(static_cast<char16_t>(Cp1251Decode(static_cast<unsigned char>(c))));
    }
    return out;
}

std::size_t Utf16Length(const char16_t* text)
{
    if (text == nullptr) {
        return 0;
    }
    std::size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

namespace {

// The case mapping of the C.UTF-8 locale (always installed with the C
// library), whatever locale the process runs in. Without it only ASCII folds.
char32_t FoldCase(char32_t cp)
{
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 != static_cast<locale_t>(nullptr)) {
        return static_cast<char32_t>(
            towlower_l(static_cast<wint_t>(towupper_l(static_cast<wint_t>(cp), utf8)), utf8));
    }
    return cp >= U'A' && cp <= U'Z' ? cp + (U'a' - U'A') : cp;
}

std::vector<char32_t> FoldedCodePoints(std::string_view text)
{
    std::vector<char32_t> out;
    out.reserve(text.size());
    DecodeUtf8(text, [&](char32_t cp) { out.push_back(FoldCase(cp)); });
    return out;
}

}  // namespace

bool EqualIgnoringCase(std::string_view a, std::string_view b)
{
    return a == b || FoldedCodePoints(a) == FoldedCodePoints(b);
}
