#pragma once
#include <cstdint>
#include <string>

class IExchangeEvents;

// ":" followed by " %02X" for every byte: the hex dump of the frame traces.
std::string FrameHexDump(const uint8_t* bytes, uint32_t length);

// Frame traces: "Write<%u>%s" for bytes sent, "Read<%u>%s" for bytes
// received. Nothing is formatted while the events do not trace frames.
void TraceFrameWrite(IExchangeEvents& events, const uint8_t* bytes, uint32_t length);
void TraceFrameRead(IExchangeEvents& events, const uint8_t* bytes, uint32_t length);
