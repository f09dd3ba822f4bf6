#include "platform/FileTime.h"

#include <atomic>
#include <chrono>
#include <ctime>

namespace {

std::atomic<int64_t> g_systemClockShift{0};

}  // namespace

uint64_t SystemTimeNow()
{
    using namespace std::chrono;
    const auto since = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return kFileTimeUnixEpoch + static_cast<uint64_t>(since / 100) +
           static_cast<uint64_t>(g_systemClockShift.load(std::memory_order_relaxed));
}

uint64_t MonotonicTimeNow()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() /
                                 100);
}

void ShiftSystemClock(int64_t units)
{
    g_systemClockShift.fetch_add(units, std::memory_order_relaxed);
}

void GetSystemTimeAsFileTime(FILETIME* ft)
{
    if (ft != nullptr) {
        *ft = UInt64ToFileTime(SystemTimeNow());
    }
}

HRESULT CoFileTimeNow(FILETIME* ft)
{
    if (ft == nullptr) {
        return E_INVALIDARG;
    }
    GetSystemTimeAsFileTime(ft);
    return S_OK;
}

bool FileTimeToLocalFileTime(const FILETIME& utc, FILETIME* local)
{
    if (local == nullptr) {
        return false;
    }
    const uint64_t value = FileTimeToUInt64(utc);
    if (value < kFileTimeUnixEpoch) {
        return false;
    }
    const time_t seconds = static_cast<time_t>((value - kFileTimeUnixEpoch) / 10000000ull);
    std::tm tm{};
    if (localtime_r(&seconds, &tm) == nullptr) {
        return false;
    }
    const int64_t offset = static_cast<int64_t>(tm.tm_gmtoff) * 10000000;
    if (offset < 0 && value < static_cast<uint64_t>(-offset)) {
        return false;
    }
    *local = UInt64ToFileTime(static_cast<uint64_t>(static_cast<int64_t>(value) + offset));
    return true;
}

bool FileTimeToLocalSystemTime(const FILETIME& ft, SYSTEMTIME* local)
{
    if (local == nullptr) {
        return false;
    }
    const uint64_t value = FileTimeToUInt64(ft);
    if (value < kFileTimeUnixEpoch) {
        return false;  // before 1970: localtime_r cannot be trusted on every libc
    }
    const uint64_t sinceEpoch = value - kFileTimeUnixEpoch;
    const time_t seconds = static_cast<time_t>(sinceEpoch / 10000000ull);
    std::tm tm{};
    if (localtime_r(&seconds, &tm) == nullptr) {
        return false;
    }
    local->wYear = static_cast<uint16_t>(tm.tm_year + 1900);
    local->wMonth = static_cast<uint16_t>(tm.tm_mon + 1);
    local->wDayOfWeek = static_cast<uint16_t>(tm.tm_wday);
    local->wDay = static_cast<uint16_t>(tm.tm_mday);
    local->wHour = static_cast<uint16_t>(tm.tm_hour);
    local->wMinute = static_cast<uint16_t>(tm.tm_min);
    local->wSecond = static_cast<uint16_t>(tm.tm_sec);
    local->wMilliseconds = static_cast<uint16_t>((sinceEpoch / 10000ull) % 1000ull);
    return true;
}

void GetLocalTime(SYSTEMTIME* local)
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    FileTimeToLocalSystemTime(now, local);
}
