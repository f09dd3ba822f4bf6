#pragma once
#include "platform/Variant.h"

#include <cstring>

// True when two values would look the same to a client: same type and same
// payload (texts by content, floating point bit for bit so NaN does not flicker).
inline bool VariantSame(const VARIANT& a, const VARIANT& b)
{
    if (a.vt != b.vt) return false;
    size_t size;
    switch (a.vt) {
        case VT_EMPTY:
        case VT_NULL:
            return true;
        case VT_I1:
        case VT_UI1:
            size = 1;
            break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            size = 2;
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            size = 4;
            break;
        case VT_BSTR: {
            uint32_t la = a.bstrVal ? SysStringLen(a.bstrVal) : 0;
            uint32_t lb = b.bstrVal ? SysStringLen(b.bstrVal) : 0;
            return la == lb && (la == 0 || std::memcmp(a.bstrVal, b.bstrVal, la * sizeof(OLECHAR)) == 0);
        }
        default:  // 8-byte values; arrays by their pointer
            size = 8;
            break;
    }
    return std::memcmp(&a.llVal, &b.llVal, size) == 0;
}
