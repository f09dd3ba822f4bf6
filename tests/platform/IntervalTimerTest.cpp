#include "platform/FileTime.h"
#include "platform/IntervalTimer.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

TEST(IntervalTimer, ZeroIntervalIsElapsedAtOnce)
{
    CIntervalTimer timer(0);
    EXPECT_TRUE(timer.Elapsed());
}

TEST(IntervalTimer, FreshTimerIsNotElapsedUntilItsInterval)
{
    CIntervalTimer timer(5000);
    EXPECT_FALSE(timer.Elapsed());
    timer.SetStartTime(MonotonicTimeNow() - 4990ull * 10000u);
    EXPECT_FALSE(timer.Elapsed());
    timer.SetStartTime(MonotonicTimeNow() - 5000ull * 10000u);
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
    timer.SetStartTime(MonotonicTimeNow() - (static_cast<uint64_t>(UINT32_MAX) + 2) * 10000u);
    EXPECT_TRUE(timer.Elapsed());
    timer.SetStartTime(MonotonicTimeNow() - 1000ull * 10000u);
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

// An operator or a time service setting the clock, either way: an interval
// runs on as if nothing had happened.
TEST(IntervalTimer, SettingTheClockNeitherStopsNorShortensAnInterval)
{
    constexpr int64_t kHour = 3600ll * 10000000;
    for (const int64_t step : {-kHour, kHour}) {
        const auto start = std::chrono::steady_clock::now();
        CIntervalTimer timer(1000);
        ShiftSystemClock(step);
        const bool early =
            timer.Elapsed() && std::chrono::steady_clock::now() - start < std::chrono::seconds(1);
        bool elapsed = false;
        while (!elapsed && std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            elapsed = timer.Elapsed();
        }
        ShiftSystemClock(-step);
        EXPECT_FALSE(early) << "elapsed at once after a step of " << step;
        EXPECT_TRUE(elapsed) << "never elapsed after a step of " << step;
    }
}
