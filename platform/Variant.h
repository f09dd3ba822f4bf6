#pragma once
// A 16-byte VARIANT with the Windows VT_ codes and conversion rules, so values keep
// the types and the conversion failures that OPC clients expect.

#include "platform/FileTime.h"
#include "platform/HResult.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using DATE = double;       // days since 1899-12-30, fraction = time of day
using OLECHAR = char16_t;  // UTF-16LE code unit
using BSTR = OLECHAR*;     // length-prefixed, null-terminated UTF-16 text

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
};

// VariantChangeType flags.
constexpr std::uint16_t VARIANT_NOVALUEPROP = 0x01;
constexpr std::uint16_t VARIANT_ALPHABOOL = 0x02;  // VT_BOOL to text as "True"/"False"
constexpr std::uint16_t VARIANT_NOUSEROVERRIDE = 0x04;
constexpr std::uint16_t VARIANT_LOCALBOOL = 0x10;  // as VARIANT_ALPHABOOL here: the texts are English

// The DATE range: 0100-01-01 to 9999-12-31.
constexpr DATE kVariantDateMin = -657434.0;
constexpr DATE kVariantDateMax = 2958465.0;

struct VARIANT {
    VARTYPE vt;
    std::uint16_t wReserved1;
    std::uint16_t wReserved2;
    std::uint16_t wReserved3;
    union {
        std::int8_t cVal;
        std::uint8_t bVal;
        std::int16_t iVal;
        std::uint16_t uiVal;
        std::int32_t lVal;
        std::uint32_t ulVal;
        std::int32_t intVal;
        std::uint32_t uintVal;
        std::int64_t llVal;
        std::uint64_t ullVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        DATE date;
        BSTR bstrVal;
    };
};
static_assert(sizeof(VARIANT) == 16, "VARIANT must keep its 16-byte layout");

// BSTR: allocated with a 4-byte byte-length prefix, as the Windows functions do.
BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, std::uint32_t length);
void SysFreeString(BSTR text);
std::uint32_t SysStringLen(BSTR text);
std::uint32_t SysStringByteLen(BSTR text);
// Convenience for UTF-8 program text.
BSTR SysAllocStringUtf8(std::string_view utf8);
std::string BstrToUtf8(BSTR text);

void VariantInit(VARIANT* v);
HRESULT VariantClear(VARIANT* v);
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// Converts src to type vt into dest (dest may equal src). Out-of-range values answer
// DISP_E_OVERFLOW, text that is not a number DISP_E_TYPEMISMATCH, a type outside
// the supported set DISP_E_BADVARTYPE; dest is then unchanged.
//
// The supported types are VT_EMPTY, VT_NULL, VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4,
// VT_UI4, VT_I8, VT_UI8, VT_INT, VT_UINT, VT_R4, VT_R8, VT_DATE, VT_BSTR, VT_BOOL
// and VT_ERROR. The rules are those of the Windows conversions:
// - reals and dates to integers round half to even, then must fit (-0.5 -> UI1 is 0);
// - VARIANT_TRUE (-1) to a signed type is -1, to an unsigned type it wraps
//   (UI1 255, UI2 65535, UI4 0xFFFFFFFF); anything non-zero to VT_BOOL is VARIANT_TRUE;
// - VT_BOOL to text is "-1"/"0", with VARIANT_ALPHABOOL "True"/"False";
// - text to VT_BOOL accepts "True"/"False" in any case, "#TRUE#"/"#FALSE#",
//   or a number (non-zero is true);
// - text to numbers: blanks around, an optional leading sign, digits with an
//   optional '.' fraction and exponent (the English number format; no grouping,
//   currency or "&H" forms);
// - numbers to text: integers in decimal, VT_R4 with 7 and VT_R8 with 15
//   significant digits ("0.1", "1E+20"); dates as "M/D/YYYY h:mm:ss AM";
// - VT_EMPTY gives 0, false or ""; anything converts to VT_EMPTY or VT_NULL
//   (VT_NULL itself only to VT_NULL, VT_ERROR only to itself).
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, std::uint16_t flags, VARTYPE vt);

// DATE from/to the time since 1601 in 100 ns units (FILETIME's count). A DATE's
// fraction is the time of day even before 1899-12-30 (-1.25 is 1899-12-29 06:00).
// DATE to FILETIME rounds to the millisecond, the precision a DATE holds.
// False when the instant lies outside the range both can hold.
bool FileTimeCountToVariantDate(std::uint64_t fileTime, DATE* date);
bool VariantDateToFileTimeCount(DATE date, std::uint64_t* fileTime);

// DATE from/to a calendar breakdown (milliseconds kept; day of week filled in).
bool SystemTimeToVariantDate(const SYSTEMTIME& time, DATE* date);
bool VariantDateToSystemTime(DATE date, SYSTEMTIME* time);
