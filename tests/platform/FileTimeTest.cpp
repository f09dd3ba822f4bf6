#include "platform/FileTime.h"
#include "support/ScopedEnv.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

TEST(FileTime, SplitAndJoinRoundTrip)
{
    const uint64_t value = 0x01DA1234ABCDEF01ull;
    const FILETIME ft = UInt64ToFileTime(value);
    EXPECT_EQ(ft.dwHighDateTime, 0x01DA1234u);
    EXPECT_EQ(ft.dwLowDateTime, 0xABCDEF01u);
    EXPECT_EQ(FileTimeToUInt64(ft), value);
}

TEST(FileTime, NowAgreesWithTheUnixClock)
{
    const time_t before = std::time(nullptr);
    const uint64_t now = SystemTimeNow();
    const time_t after = std::time(nullptr);
    const uint64_t seconds = (now - kFileTimeUnixEpoch) / 10000000ull;
    EXPECT_GE(seconds, static_cast<uint64_t>(before));
    EXPECT_LE(seconds, static_cast<uint64_t>(after));
}

TEST(FileTime, LocalBreakdownOfAKnownInstant)
{
    CScopedEnv tz("TZ", "UTC");
    // 2024-03-05 14:07:09.123 UTC
    const uint64_t unixMs = 1709647629123ull;
    const FILETIME ft = UInt64ToFileTime(kFileTimeUnixEpoch + unixMs * 10000ull);
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToLocalSystemTime(ft, &st));
    EXPECT_EQ(st.wYear, 2024);
    EXPECT_EQ(st.wMonth, 3);
    EXPECT_EQ(st.wDay, 5);
    EXPECT_EQ(st.wHour, 14);
    EXPECT_EQ(st.wMinute, 7);
    EXPECT_EQ(st.wSecond, 9);
    EXPECT_EQ(st.wMilliseconds, 123);
    EXPECT_EQ(st.wDayOfWeek, 2);  // a Tuesday
}

TEST(FileTime, RefusesInstantsBefore1970AndNullOutput)
{
    SYSTEMTIME st{};
    EXPECT_FALSE(FileTimeToLocalSystemTime(UInt64ToFileTime(kFileTimeUnixEpoch - 1), &st));
    EXPECT_FALSE(FileTimeToLocalSystemTime(UInt64ToFileTime(kFileTimeUnixEpoch), nullptr));
}
