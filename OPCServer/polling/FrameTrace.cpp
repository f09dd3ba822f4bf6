#include "polling/FrameTrace.h"

#include "polling/ExchangeEvents.h"

namespace {

void TraceFrame(IExchangeEvents& events, const char* direction, const uint8_t* bytes, uint32_t length)
{
    if (!events.TracesFrames()) {
        return;
    }
    events.TraceFrame(direction + ("<" + std::to_string(length) + ">") + FrameHexDump(bytes, length));
}

}  // namespace

std::string FrameHexDump(const uint8_t* bytes, uint32_t length)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(1 + 3 * static_cast<size_t>(length));
    text.push_back(':');
    for (uint32_t i = 0; bytes != nullptr && i < length; ++i) {
        text.push_back(' ');
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0Fu]);
    }
    return text;
}

void TraceFrameWrite(IExchangeEvents& events, const uint8_t* bytes, uint32_t length)
{
    TraceFrame(events, "Write", bytes, length);
}

void TraceFrameRead(IExchangeEvents& events, const uint8_t* bytes, uint32_t length)
{
    TraceFrame(events, "Read", bytes, length);
}
