#pragma once
#include <cstdint>

// Frame traces of the transports, COMMON category at level 1: "Write<%u>%s"
// before sending and "Read<%u>%s" after receiving, the bytes as ":" and
// " %02X" each. A null buffer or length writes nothing; the hex text is only
// built when the level is on.
void TraceTransportWrite(const uint8_t* bytes, const uint32_t* length);
void TraceTransportRead(const uint8_t* bytes, const uint32_t* length);
