#pragma once
// Values between the toolkit's items and OPC UA: VARIANTs to UA variants and
// back, qualities to status codes, and the toolkit's result codes to the
// status codes an operation answers.

#include "opcua/protocol/UaTypes.h"
#include "platform/HResult.h"
#include "platform/Variant.h"

namespace ua {

// The UA variant of an item's value (a null one for types UA has no match for).
Variant FromVariant(const VARIANT& v);
// The ns0 DataType of a canonical type (BaseDataType when there is none).
uint32_t DataTypeOf(VARTYPE type);
// 192 Good, 64 Uncertain, anything else Bad.
StatusCode StatusOfQuality(uint16_t quality);
// A client's value as the item's canonical type when it fits: the same kind
// of value (numbers for numbers, Boolean, text, time) within range and, for
// integers, without a fraction. BadTypeMismatch otherwise.
StatusCode ToCanonical(const Variant& in, VARTYPE canonical, VARIANT* out);
// An entry's result code from the toolkit or the program as a status code;
// `writing` tells which access right a refusal is about.
StatusCode StatusOfResult(HRESULT hr, bool writing);

}  // namespace ua
