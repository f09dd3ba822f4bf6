#include "platform/CriticalSection.h"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

TEST(CriticalSection, SameThreadMayEnterAgain)
{
    CCriticalSection cs;
    CCriticalSectionLock outer(cs);
    CCriticalSectionLock inner(cs);
    EXPECT_TRUE(cs.TryEnter());
    cs.Leave();
}

TEST(CriticalSection, OtherThreadIsKeptOutUntilLeft)
{
    CCriticalSection cs;
    cs.Enter();
    bool entered = true;
    std::thread other([&] { entered = cs.TryEnter(); });
    other.join();
    EXPECT_FALSE(entered);
    cs.Leave();
    std::thread again([&] {
        entered = cs.TryEnter();
        if (entered) cs.Leave();
    });
    again.join();
    EXPECT_TRUE(entered);
}

TEST(CriticalSection, SerialisesCounters)
{
    CCriticalSection cs;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                CCriticalSectionLock lock(cs);
                ++counter;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(counter, 80000);
}
