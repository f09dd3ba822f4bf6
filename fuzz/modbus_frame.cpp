// Reply check and parse of CModbusFrame on arbitrary bytes.
// Input: byte 0 picks the mode (bit 0: RTU or TCP; 0xFF: neither), byte 1 is
// the slave address, the rest is the reply. The reply sits in a buffer of its
// exact size, so any read past its end is caught by AddressSanitizer.
#include "polling/ModbusFrame.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    CModbusFrame frame;
    const int32_t mode =
        data[0] == 0xFF ? 0 : ((data[0] & 1) ? CModbusFrame::kModeRtu : CModbusFrame::kModeTcp);
    frame.SetMode(mode);
    frame.SetSlaveAddress(data[1]);

    const size_t length = size - 2;
    std::unique_ptr<uint8_t[]> reply(new uint8_t[length]);
    std::memcpy(reply.get(), data + 2, length);

    const int code = frame.CheckReply(reply.get(), length);
    if (code < 0 || code > 5) __builtin_trap();
    if (frame.CheckReply(reply.get(), length) != code) __builtin_trap();
    const bool parsed = frame.ParseReply(reply.get(), length);
    if (parsed && code != CModbusFrame::kCheckComplete) __builtin_trap();
    if (code != CModbusFrame::kCheckComplete && !frame.Values().empty()) __builtin_trap();
    if (code == CModbusFrame::kCheckComplete) {
        // A parsed reply is kept whole in the frame buffer.
        if (frame.FrameLength() != length || std::memcmp(frame.FrameBytes(), reply.get(), length) != 0) {
            __builtin_trap();
        }
    }
    const uint8_t function = frame.FunctionCode();
    if (parsed && (function == 3 || function == 4)) {
        // Every register came out of the reply: two bytes each, never more than it holds.
        if (frame.Values().empty() || 2 * frame.Values().size() > length) __builtin_trap();
    }
    if (frame.IsException() && parsed) __builtin_trap();

    const size_t words = frame.Values().size();
    std::unique_ptr<uint8_t[]> out(new uint8_t[2 * words + 1]);
    if (frame.CopyValues(out.get(), words + 8) != words) __builtin_trap();
    return 0;
}
