#pragma once
// A 16-byte VARIANT with the Windows VT_ codes and conversion rules, so values keep
// the types and the conversion failures that OPC clients expect.

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
};

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
// Convenience for UTF-8 program text.
BSTR SysAllocStringUtf8(std::string_view utf8);
std::string BstrToUtf8(BSTR text);

void VariantInit(VARIANT* v);
HRESULT VariantClear(VARIANT* v);
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// Converts src to type vt into dest (dest may equal src). Out-of-range values answer
// DISP_E_OVERFLOW, text that is not a number DISP_E_TYPEMISMATCH; dest is then unchanged.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, std::uint16_t flags, VARTYPE vt);

// DATE from/to the time since 1601 in 100 ns units (FILETIME's count).
bool FileTimeCountToVariantDate(std::uint64_t fileTime, DATE* date);
bool VariantDateToFileTimeCount(DATE date, std::uint64_t* fileTime);
