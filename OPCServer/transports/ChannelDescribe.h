#pragma once
#include <cstdint>
#include <string>

// Texts shared by the property lists of the three channel kinds.

// The unit after a time in milliseconds.
inline constexpr char kMillisecondsText[] = "мс";

// "a.b.c.d" of an address held as a * 2^24 + b * 2^16 + c * 2^8 + d.
std::string FormatIpAddress(uint32_t address);
// "<ms> мс".
std::string FormatMilliseconds(uint32_t milliseconds);
// "задан" when the channel has an encryption key, else "не задан".
std::string FormatKeyState(bool keySet);
