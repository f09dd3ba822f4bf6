#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The debug switches of log.ini: one line of blank-separated KEY=VALUE pairs.
struct DebugSettings {
    uint8_t da = 0;
    uint8_t hda = 0;
    uint8_t common = 0;
    uint8_t daTool = 0;
    uint8_t hdaTool = 0;
    uint32_t sizeLimitMb = 1024;  // FS; 0 switches writing off

    bool operator==(const DebugSettings&) const = default;
};

// What a missing log.ini is created with (no line end).
inline constexpr char kDefaultLogIni[] =
    "DBG_COMMON=0 DBG_DA=0 DBG_HDA=0 DBG_DA_TOOL=0 DBG_HDA_TOOL=0 FS=1024";
inline constexpr size_t kLogIniMaxBytes = 1023;

// Only the first 1023 bytes count, and a NUL ends the text. Each key is
// searched case-sensitively as "KEY=" anywhere in the text; the first
// occurrence counts. Its value is read like strtol: leading blanks, an
// optional sign, decimal digits up to the first non-digit (none: 0),
// saturated to the 32-bit range. A negative value leaves the default.
// Levels keep the value modulo 256.
DebugSettings ParseDebugSettings(std::string_view text);

// The text as the parser sees it: cut at 1023 bytes and at the first NUL.
std::string_view LogIniText(std::string_view text);

// Reads log.ini, creating it with kDefaultLogIni first when it is missing.
// False when it can neither be created nor read; *text is then untouched.
[[nodiscard]] bool ReadLogIni(const std::string& path, std::string* text);
