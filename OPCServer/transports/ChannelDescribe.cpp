#include "transports/ChannelDescribe.h"

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
