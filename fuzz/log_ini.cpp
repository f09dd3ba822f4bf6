// The log.ini parser takes whatever bytes the file holds.
#include "app/LogIni.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const DebugSettings settings = ParseDebugSettings(text);

    // Only the considered text matters: the part beyond 1023 bytes or a NUL
    // must not change the result.
    const std::string_view considered = LogIniText(text);
    if (considered.size() > kLogIniMaxBytes || !(ParseDebugSettings(std::string(considered)) == settings)) {
        std::abort();
    }
    // Without its key a setting keeps its default.
    if (considered.find("FS=") == std::string_view::npos && settings.sizeLimitMb != 1024) {
        std::abort();
    }
    if (considered.find("DBG_DA=") == std::string_view::npos && settings.da != 0) {
        std::abort();
    }
    // A value never exceeds the 32-bit range it saturates to.
    if (settings.sizeLimitMb > 2147483647u) {
        std::abort();
    }
    return 0;
}
