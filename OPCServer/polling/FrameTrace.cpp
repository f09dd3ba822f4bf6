#include "polling/FrameTrace.h"

#include "app/DebugLog.h"
#include "app/SingleVectors.h"

namespace {

constexpr int kFrameTraceLevel = 1;

void TraceFrame(const char* format, const uint8_t* bytes, uint32_t length)
{
    CDebugLog* log = CSingleVectors::Instance().DebugLog();
    if (log == nullptr || !log->IsEnabled(kDebugCommon, kFrameTraceLevel)) {
        return;
    }
    const std::string dump = FrameHexDump(bytes, length);
    (void)log->Trace(kDebugCommon, kFrameTraceLevel, format, length, dump.c_str());
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

void TraceFrameWrite(const uint8_t* bytes, uint32_t length)
{
    TraceFrame("Write<%u>%s", bytes, length);
}

void TraceFrameRead(const uint8_t* bytes, uint32_t length)
{
    TraceFrame("Read<%u>%s", bytes, length);
}
