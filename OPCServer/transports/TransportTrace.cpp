#include "transports/TransportTrace.h"

#include <string>

#include "app/DebugLog.h"
#include "app/SingleVectors.h"

namespace {

constexpr int kTraceLevel = 1;

void Trace(const char* format, const uint8_t* bytes, const uint32_t* length)
{
    if (bytes == nullptr || length == nullptr) {
        return;
    }
    CDebugLog* log = CSingleVectors::Instance().DebugLog();
    if (log == nullptr || !log->IsEnabled(kDebugCommon, kTraceLevel)) {
        return;
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string dump(":");
    dump.reserve(1 + 3 * static_cast<size_t>(*length));
    for (uint32_t i = 0; i < *length; ++i) {
        dump.push_back(' ');
        dump.push_back(kDigits[bytes[i] >> 4]);
        dump.push_back(kDigits[bytes[i] & 0x0F]);
    }
    (void)log->Trace(kDebugCommon, kTraceLevel, format, *length, dump.c_str());
}

}  // namespace

void TraceTransportWrite(const uint8_t* bytes, const uint32_t* length)
{
    Trace("Write<%u>%s", bytes, length);
}

void TraceTransportRead(const uint8_t* bytes, const uint32_t* length)
{
    Trace("Read<%u>%s", bytes, length);
}
