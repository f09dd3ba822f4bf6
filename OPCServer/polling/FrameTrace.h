#pragma once
#include <cstdint>
#include <string>

// ":" followed by " %02X" for every byte: the hex dump of the frame traces.
std::string FrameHexDump(const uint8_t* bytes, uint32_t length);

// Frame traces of the COMMON category at level 1: "Write<%u>%s" for bytes sent,
// "Read<%u>%s" for bytes received. Nothing is formatted while the category is
// off or there is no debug log.
void TraceFrameWrite(const uint8_t* bytes, uint32_t length);
void TraceFrameRead(const uint8_t* bytes, uint32_t length);
