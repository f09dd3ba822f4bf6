#include "app/LogIni.h"

#include "platform/File.h"

#include <cerrno>
#include <cstdint>
#include <optional>

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value of the first "KEY=" in the text, or nothing when the key is absent.
std::optional<int32_t> ReadKey(std::string_view text, std::string_view key)
{
    std::string needle(key);
    needle += '=';
    const size_t at = text.find(needle);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    size_t pos = at + needle.size();
    while (pos < text.size() && IsBlank(text[pos])) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    int64_t value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        value = value * 10 + (text[pos] - '0');
        if (value > INT32_MAX) {
            value = static_cast<int64_t>(INT32_MAX) + 1;  // saturate, keep scanning
        }
    }
    if (negative) {
        value = -value;
        return static_cast<int32_t>(value < INT32_MIN ? INT32_MIN : value);
    }
    return static_cast<int32_t>(value > INT32_MAX ? INT32_MAX : value);
}

void ApplyLevel(std::string_view text, std::string_view key, uint8_t* level)
{
    const std::optional<int32_t> value = ReadKey(text, key);
    if (value && *value >= 0) {
        *level = static_cast<uint8_t>(*value & 0xFF);
    }
}

}  // namespace

std::string_view LogIniText(std::string_view text)
{
    text = text.substr(0, kLogIniMaxBytes);
    const size_t nul = text.find('\0');
    return nul == std::string_view::npos ? text : text.substr(0, nul);
}

DebugSettings ParseDebugSettings(std::string_view text)
{
    text = LogIniText(text);
    DebugSettings settings;
    ApplyLevel(text, "DBG_COMMON", &settings.common);
    ApplyLevel(text, "DBG_DA", &settings.da);
    ApplyLevel(text, "DBG_HDA", &settings.hda);
    ApplyLevel(text, "DBG_DA_TOOL", &settings.daTool);
    ApplyLevel(text, "DBG_HDA_TOOL", &settings.hdaTool);
    const std::optional<int32_t> fs = ReadKey(text, "FS");
    if (fs && *fs >= 0) {
        settings.sizeLimitMb = static_cast<uint32_t>(*fs);
    }
    return settings;
}

bool ReadLogIni(const std::string& path, std::string* text)
{
    if (text == nullptr) {
        return false;
    }
    {
        // CreateNew: of two processes racing here only one writes the line.
        CFile file;
        if (file.Open(path, FileAccess::ReadWrite, FileMode::CreateNew)) {
            if (!file.Write(kDefaultLogIni, sizeof kDefaultLogIni - 1)) {
                return false;
            }
        } else if (errno != EEXIST) {
            return false;
        }
    }
    std::string raw;
    if (!ReadFileText(path, &raw, kLogIniMaxBytes)) {
        return false;
    }
    *text = std::string(LogIniText(raw));
    return true;
}
