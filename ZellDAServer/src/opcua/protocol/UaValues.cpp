#include "opcua/protocol/UaValues.h"

#include "ZellDAClient.h"
#include "opcua/protocol/UaIds.h"

#include <cfloat>
#include <cmath>

namespace ua {

Variant FromVariant(const VARIANT& v)
{
    switch (v.vt) {
        case VT_BOOL:
            return MakeBoolean(v.boolVal != VARIANT_FALSE);
        case VT_I1:
            return MakeSigned(Type::SByte, v.cVal);
        case VT_UI1:
            return MakeUnsigned(Type::Byte, v.bVal);
        case VT_I2:
            return MakeSigned(Type::Int16, v.iVal);
        case VT_UI2:
            return MakeUnsigned(Type::UInt16, v.uiVal);
        case VT_I4:
        case VT_INT:
        case VT_ERROR:
            return MakeSigned(Type::Int32, v.lVal);
        case VT_UI4:
        case VT_UINT:
            return MakeUnsigned(Type::UInt32, v.ulVal);
        case VT_I8:
            return MakeSigned(Type::Int64, v.llVal);
        case VT_UI8:
            return MakeUnsigned(Type::UInt64, v.ullVal);
        case VT_R4:
            return MakeReal(Type::Float, v.fltVal);
        case VT_R8:
            return MakeReal(Type::Double, v.dblVal);
        case VT_BSTR:
            return MakeString(BstrToUtf8(v.bstrVal));
        case VT_DATE: {
            uint64_t ticks = 0;
            if (!VariantDateToFileTimeCount(v.date, &ticks)) return Variant{};
            return MakeDateTime(DateTime{static_cast<int64_t>(ticks)});
        }
        default:
            return Variant{};
    }
}

uint32_t DataTypeOf(VARTYPE type)
{
    switch (type) {
        case VT_BOOL:
            return id::kBoolean;
        case VT_I1:
            return id::kSByte;
        case VT_UI1:
            return id::kByte;
        case VT_I2:
            return id::kInt16;
        case VT_UI2:
            return id::kUInt16;
        case VT_I4:
        case VT_INT:
        case VT_ERROR:
            return id::kInt32;
        case VT_UI4:
        case VT_UINT:
            return id::kUInt32;
        case VT_I8:
            return id::kInt64;
        case VT_UI8:
            return id::kUInt64;
        case VT_R4:
            return id::kFloat;
        case VT_R8:
            return id::kDouble;
        case VT_BSTR:
            return id::kString;
        case VT_DATE:
            return id::kDateTime;
        default:
            return id::kBaseDataType;
    }
}

StatusCode StatusOfQuality(uint16_t quality)
{
    switch (quality & OPC_QUALITY_MASK) {
        case OPC_QUALITY_GOOD:
            return kGood;
        case OPC_QUALITY_UNCERTAIN:
            return kUncertain;
        default:
            return kBad;
    }
}

namespace {

enum class Kind { Boolean, Integer, Real, Text, Time, Other };

Kind KindOf(Type t)
{
    switch (t) {
        case Type::Boolean:
            return Kind::Boolean;
        case Type::SByte:
        case Type::Byte:
        case Type::Int16:
        case Type::UInt16:
        case Type::Int32:
        case Type::UInt32:
        case Type::Int64:
        case Type::UInt64:
            return Kind::Integer;
        case Type::Float:
        case Type::Double:
            return Kind::Real;
        case Type::String:
            return Kind::Text;
        case Type::DateTime:
            return Kind::Time;
        default:
            return Kind::Other;
    }
}

// An integer or integral real of the client, exactly; false when it has a
// fraction or lies beyond what 64 bits hold.
bool IntegralValue(const Variant& in, __int128* out)
{
    if (const auto* s = std::get_if<int64_t>(&in.scalar)) {
        *out = *s;
        return true;
    }
    if (const auto* u = std::get_if<uint64_t>(&in.scalar)) {
        *out = *u;
        return true;
    }
    if (const auto* d = std::get_if<double>(&in.scalar)) {
        if (!std::isfinite(*d) || std::trunc(*d) != *d || *d < -9.3e18 || *d > 1.8e19) return false;
        *out = static_cast<__int128>(*d);
        return true;
    }
    return false;
}

bool IntegerRange(VARTYPE t, __int128* low, __int128* high)
{
    switch (t) {
        case VT_I1:
            *low = INT8_MIN, *high = INT8_MAX;
            return true;
        case VT_UI1:
            *low = 0, *high = UINT8_MAX;
            return true;
        case VT_I2:
            *low = INT16_MIN, *high = INT16_MAX;
            return true;
        case VT_UI2:
            *low = 0, *high = UINT16_MAX;
            return true;
        case VT_I4:
        case VT_INT:
            *low = INT32_MIN, *high = INT32_MAX;
            return true;
        case VT_UI4:
        case VT_UINT:
            *low = 0, *high = UINT32_MAX;
            return true;
        case VT_I8:
            *low = INT64_MIN, *high = INT64_MAX;
            return true;
        case VT_UI8:
            *low = 0, *high = UINT64_MAX;
            return true;
        default:
            return false;
    }
}

double RealValue(const Variant& in)
{
    if (const auto* s = std::get_if<int64_t>(&in.scalar)) return static_cast<double>(*s);
    if (const auto* u = std::get_if<uint64_t>(&in.scalar)) return static_cast<double>(*u);
    if (const auto* d = std::get_if<double>(&in.scalar)) return *d;
    return 0;
}

}  // namespace

StatusCode ToCanonical(const Variant& in, VARTYPE canonical, VARIANT* out)
{
    VariantInit(out);
    if (!in.IsScalar()) return kBadTypeMismatch;
    const Kind kind = KindOf(in.type);
    __int128 low, high;
    if (IntegerRange(canonical, &low, &high)) {
        __int128 v;
        if ((kind != Kind::Integer && kind != Kind::Real) || !IntegralValue(in, &v) || v < low || v > high)
            return kBadTypeMismatch;
        out->vt = canonical;
        out->llVal = 0;
        switch (canonical) {
            case VT_I1:
                out->cVal = static_cast<int8_t>(v);
                break;
            case VT_UI1:
                out->bVal = static_cast<uint8_t>(v);
                break;
            case VT_I2:
                out->iVal = static_cast<int16_t>(v);
                break;
            case VT_UI2:
                out->uiVal = static_cast<uint16_t>(v);
                break;
            case VT_I4:
            case VT_INT:
                out->lVal = static_cast<int32_t>(v);
                break;
            case VT_UI4:
            case VT_UINT:
                out->ulVal = static_cast<uint32_t>(v);
                break;
            case VT_I8:
                out->llVal = static_cast<int64_t>(v);
                break;
            default:
                out->ullVal = static_cast<uint64_t>(v);
                break;
        }
        return kGood;
    }
    switch (canonical) {
        case VT_R4:
        case VT_R8: {
            if (kind != Kind::Integer && kind != Kind::Real) return kBadTypeMismatch;
            double d = RealValue(in);
            if (canonical == VT_R4 && std::isfinite(d) && std::fabs(d) > FLT_MAX) return kBadTypeMismatch;
            out->vt = canonical;
            if (canonical == VT_R4)
                out->fltVal = static_cast<float>(d);
            else
                out->dblVal = d;
            return kGood;
        }
        case VT_BOOL: {
            __int128 v;
            bool b;
            if (kind == Kind::Boolean)
                b = std::get<bool>(in.scalar);
            else if (kind == Kind::Integer && IntegralValue(in, &v) && (v == 0 || v == 1))
                b = v == 1;
            else
                return kBadTypeMismatch;
            out->vt = VT_BOOL;
            out->boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
            return kGood;
        }
        case VT_BSTR:
            if (kind != Kind::Text) return kBadTypeMismatch;
            out->vt = VT_BSTR;
            out->bstrVal = SysAllocStringUtf8(std::get<std::string>(in.scalar));
            return kGood;
        case VT_DATE: {
            if (kind != Kind::Time) return kBadTypeMismatch;
            DATE date;
            if (!FileTimeCountToVariantDate(static_cast<uint64_t>(std::get<int64_t>(in.scalar)), &date))
                return kBadTypeMismatch;
            out->vt = VT_DATE;
            out->date = date;
            return kGood;
        }
        default:
            return kBadTypeMismatch;
    }
}

StatusCode StatusOfResult(HRESULT hr, bool writing)
{
    if (SUCCEEDED(hr)) return kGood;
    switch (hr) {
        case OPC_E_BADRIGHTS:
            return writing ? kBadNotWritable : kBadNotReadable;
        case OPC_E_UNKNOWNITEMID:
        case OPC_E_INVALIDITEMID:
        case OPC_E_INVALIDHANDLE:
            return kBadNodeIdUnknown;
        case OPC_E_BADTYPE:
        case DISP_E_TYPEMISMATCH:
        case DISP_E_BADVARTYPE:
            return kBadTypeMismatch;
        case DISP_E_OVERFLOW:
        case OPC_E_RANGE:
            return kBadOutOfRange;
        case RPC_E_DISCONNECTED:
            return kBadServerHalted;
        case E_OUTOFMEMORY:
            return kBadOutOfMemory;
        case E_INVALIDARG:
            return kBadInvalidArgument;
        default:
            return kBadCommunicationError;
    }
}

}  // namespace ua
