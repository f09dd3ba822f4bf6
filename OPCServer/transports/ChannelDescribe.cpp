#include "transports/ChannelDescribe.h"

#include "config/LevelChannel.h"

std::string FormatIpAddress(uint32_t address)
{
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
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
