#pragma once
// Text encodings: UTF-8 (program text and files), UTF-16LE (wide texts of the
// Windows interfaces: BSTR, the toolkit's texts) and code page 1251 (the ANSI
// code page of the log files and log.ini).
//
// Malformed input never fails a conversion: every maximal ill-formed UTF-8
// subsequence and every unpaired UTF-16 surrogate becomes U+FFFD; a character
// that code page 1251 cannot hold becomes '?'.

#include <cstddef>
#include <string>
#include <string_view>

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

std::string Utf8ToCp1251(std::string_view utf8);
std::string Cp1251ToUtf8(std::string_view cp1251);
std::string Utf16ToCp1251(std::u16string_view utf16);
std::u16string Cp1251ToUtf16(std::string_view cp1251);

// Whether two UTF-8 texts are equal without regard to case, character by
// character with Unicode's simple case mapping (Cyrillic included), as the
// Windows case-insensitive comparison treats names.
bool EqualIgnoringCase(std::string_view a, std::string_view b);

// Length of a null-terminated wide text; 0 for a null pointer.
std::size_t Utf16Length(const char16_t* text);
// A view of a null-terminated wide text; empty for a null pointer.
inline std::u16string_view Utf16View(const char16_t* text)
{
    return std::u16string_view(text == nullptr ? u"" : text, Utf16Length(text));
}
