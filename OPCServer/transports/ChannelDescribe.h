#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class CLevelChannel;

// Texts shared by the property lists of the three channel kinds.

// The unit after a time in milliseconds.
inline constexpr char kMillisecondsText[] = "мс";

// "a.b.c.d" of an address held as a * 2^24 + b * 2^16 + c * 2^8 + d.
std::string FormatIpAddress(uint32_t address);
// The address of "a.b.c.d" (four decimal numbers 0..255); none for anything else.
std::optional<uint32_t> ParseIpAddress(std::string_view text);
// "<ms> мс".
std::string FormatMilliseconds(uint32_t milliseconds);
// "задан" when the channel has an encryption key, else "не задан".
std::string FormatKeyState(bool keySet);
// Rows 3 to 7 of the network channels (TCP and UDP), which share them:
// response timeout, attempts, pause, poll period, key. False for other rows.
bool DescribeNetworkSettingsRow(const CLevelChannel& channel, uint32_t row, std::string& label,
                                std::string& value);
