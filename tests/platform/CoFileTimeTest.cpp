#include "platform/FileTime.h"
#include "support/ScopedEnv.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace {

uint64_t FromUnixSeconds(int64_t seconds)
{
    return kFileTimeUnixEpoch + static_cast<uint64_t>(seconds) * 10000000ull;
}

}  // namespace

TEST(CoFileTimeNow, IsTheSystemTime)
{
    const uint64_t before = SystemTimeNow();
    FILETIME ft{};
    ASSERT_EQ(CoFileTimeNow(&ft), S_OK);
    const uint64_t after = SystemTimeNow();
    EXPECT_GE(FileTimeToUInt64(ft), before);
    EXPECT_LE(FileTimeToUInt64(ft), after);
    EXPECT_EQ(CoFileTimeNow(nullptr), E_INVALIDARG);
}

TEST(FileTimeToLocalFileTime, UsesTheOffsetInForceAtThatInstant)
{
    CScopedEnv tz("TZ", "EST5EDT,M3.2.0,M11.1.0");
    const uint64_t january = FromUnixSeconds(1704110400);  // 2024-01-01 12:00 UTC, standard time
    const uint64_t july = FromUnixSeconds(1719835200);     // 2024-07-01 12:00 UTC, daylight time
    FILETIME local{};
    ASSERT_TRUE(FileTimeToLocalFileTime(UInt64ToFileTime(january), &local));
    EXPECT_EQ(FileTimeToUInt64(local), january - 5ull * 3600 * 10000000);
    ASSERT_TRUE(FileTimeToLocalFileTime(UInt64ToFileTime(july), &local));
    EXPECT_EQ(FileTimeToUInt64(local), july - 4ull * 3600 * 10000000);
    // Sub-second parts are kept.
    ASSERT_TRUE(FileTimeToLocalFileTime(UInt64ToFileTime(july + 1234567), &local));
    EXPECT_EQ(FileTimeToUInt64(local), july + 1234567 - 4ull * 3600 * 10000000);
}

TEST(FileTimeToLocalFileTime, EastOfGreenwichAndRefusals)
{
    CScopedEnv tz("TZ", "MSK-3");
    const uint64_t noon = FromUnixSeconds(1709640000);
    FILETIME local{};
    ASSERT_TRUE(FileTimeToLocalFileTime(UInt64ToFileTime(noon), &local));
    EXPECT_EQ(FileTimeToUInt64(local), noon + 3ull * 3600 * 10000000);
    EXPECT_FALSE(FileTimeToLocalFileTime(UInt64ToFileTime(kFileTimeUnixEpoch - 1), &local));
    EXPECT_FALSE(FileTimeToLocalFileTime(UInt64ToFileTime(noon), nullptr));
}
