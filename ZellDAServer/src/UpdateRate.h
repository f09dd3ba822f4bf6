#pragma once
#include <cstdint>

// The update rate a group gets: the base rate at least, else the requested rate
// rounded up to a whole multiple of the base rate.
inline uint32_t ReviseUpdateRate(uint32_t baseRate, uint32_t requested)
{
    uint64_t base = baseRate ? baseRate : 1;
    if (requested <= base) return static_cast<uint32_t>(base);
    uint64_t revised = (requested + base - 1) / base * base;
    return revised > 0xFFFFFFFFu ? static_cast<uint32_t>(0xFFFFFFFFu / base * base)
                                 : static_cast<uint32_t>(revised);
}
