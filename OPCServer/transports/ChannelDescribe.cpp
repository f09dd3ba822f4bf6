#include "transports/ChannelDescribe.h"

#include "config/LevelChannel.h"

#include <charconv>

std::string FormatIpAddress(uint32_t address)
{
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::optional<uint32_t> ParseIpAddress(std::string_view text)
{
    uint32_t address = 0;
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0 && (p == end || *p++ != '.')) {
            return std::nullopt;
        }
        unsigned value = 256;
        const auto [next, ec] = std::from_chars(p, end, value);
        if (ec != std::errc() || value > 255 || next - p > 3) {
            return std::nullopt;
        }
        address = (address << 8) | value;
        p = next;
    }
    return p == end ? std::optional<uint32_t>(address) : std::nullopt;
}

std::string FormatMilliseconds(uint32_t milliseconds)
{
    return std::to_string(milliseconds) + " " + kMillisecondsText;
}

std::string FormatKeyState(bool keySet)
{
    return keySet ? "задан" : "не задан";
}

bool DescribeNetworkSettingsRow(const CLevelChannel& channel, uint32_t row, std::string& label,
                                std::string& value)
{
    const CChannelSettings& s = channel.Settings();
    switch (row) {
        case 3:
            label = "Таймаут ожидания ответа";
            value = FormatMilliseconds(s.m_responseTimeout);
            return true;
        case 4:
            label = "Количество попыток";
            value = std::to_string(s.m_attempts);
            return true;
        case 5:
            label = "Пауза перед запросом";
            value = FormatMilliseconds(s.m_pauseBeforeRequest);
            return true;
        case 6:
            label = "Период опроса";
            value = FormatMilliseconds(s.m_pollPeriod);
            return true;
        case 7:
            label = "Ключ шифрования";
            value = FormatKeyState(!channel.GetKey().empty());
            return true;
        default:
            return false;
    }
}
