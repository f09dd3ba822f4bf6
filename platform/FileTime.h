#pragma once
#include "platform/HResult.h"

#include <cstdint>

// FILETIME: 100 ns units since 1601-01-01 UTC, split as on Windows.
struct FILETIME {
    uint32_t dwLowDateTime;
    uint32_t dwHighDateTime;
};

struct SYSTEMTIME {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};

// 100 ns units between 1601-01-01 and 1970-01-01.
inline constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;

inline uint64_t FileTimeToUInt64(const FILETIME& ft)
{
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

inline FILETIME UInt64ToFileTime(uint64_t value)
{
    return FILETIME{static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32)};
}

// Current system time (UTC) in FILETIME units.
uint64_t SystemTimeNow();
void GetSystemTimeAsFileTime(FILETIME* ft);
// 100 ns units on a clock that only moves forward, from an unspecified
// start: the clock of intervals, which setting the system time never moves.
uint64_t MonotonicTimeNow();

// Test seam: moves what the system time answers by units (100 ns, either
// way), as an operator or a time service setting the clock would.
void ShiftSystemClock(int64_t units);

// The current time as COM gives it: UTC, in FILETIME units. E_INVALIDARG for a null pointer.
HRESULT CoFileTimeNow(FILETIME* ft);

// UTC to local FILETIME with the time zone offset in force at that instant
// (not the offset of today, so times on the other side of a DST change are right).
// False for a null pointer or an instant before 1970.
bool FileTimeToLocalFileTime(const FILETIME& utc, FILETIME* local);

// UTC FILETIME to the local calendar breakdown; false when out of range.
bool FileTimeToLocalSystemTime(const FILETIME& ft, SYSTEMTIME* local);

// The local calendar time now.
void GetLocalTime(SYSTEMTIME* local);
