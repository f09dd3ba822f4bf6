#include "platform/FileTime.h"
#include "platform/IntervalTimer.h"

#include <gtest/gtest.h>

TEST(IntervalTimer, ZeroIntervalIsElapsedAtOnce)
{
    CIntervalTimer timer(0);
    EXPECT_TRUE(timer.Elapsed());
}

TEST(IntervalTimer, FreshTimerIsNotElapsedUntilItsInterval)
{
    CIntervalTimer timer(5000);
    EXPECT_FALSE(timer.Elapsed());
    timer.SetStartTime(SystemTimeNow() - 4990ull * 10000u);
    EXPECT_FALSE(timer.Elapsed());
    timer.SetStartTime(SystemTimeNow() - 5000ull * 10000u);
    EXPECT_TRUE(timer.Elapsed());
}

TEST(IntervalTimer, ForcedUntilRestarted)
{
    CIntervalTimer timer(60000);
    timer.Force();
    EXPECT_TRUE(timer.Elapsed());
    EXPECT_TRUE(timer.Elapsed());
    timer.Restart();
    EXPECT_FALSE(timer.Elapsed());
}

TEST(IntervalTimer, StartMoreThan2To32MillisecondsBackIsElapsed)
{
    CIntervalTimer timer(UINT32_MAX);
    timer.SetStartTime(SystemTimeNow() - (static_cast<uint64_t>(UINT32_MAX) + 2) * 10000u);
    EXPECT_TRUE(timer.Elapsed());
    timer.SetStartTime(SystemTimeNow() - 1000ull * 10000u);
    EXPECT_FALSE(timer.Elapsed());
}

TEST(IntervalTimer, SetWithoutRestartKeepsTheStart)
{
    CIntervalTimer timer(100000);
    const uint64_t start = timer.StartTime();
    timer.Set(0, false);
    EXPECT_EQ(timer.StartTime(), start);
    EXPECT_TRUE(timer.Elapsed());
}
