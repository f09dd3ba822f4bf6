#include "config/LevelRoot.h"
#include "config/LevelTag.h"
#include "config/TestChannel.h"
#include "support/WaitFor.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <signal.h>
#include <thread>

namespace {

uint32_t ReadU32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::atomic<int> g_started{0};

// Runs until the run flag drops, as the polling loop does.
int SpinUntilStopped(CLevelChannel* channel)
{
    ++g_started;
    while (channel->RunFlag() != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}

std::atomic<int> g_ended{0};

int SpinAndCountEnd(CLevelChannel* channel)
{
    SpinUntilStopped(channel);
    ++g_ended;
    return 0;
}

}  // namespace

TEST(ChannelSettings, DefaultsAtTheirStoredOffsets)
{
    TestChannel ch;
    uint8_t bytes[sizeof(CChannelSettings)];
    std::memcpy(bytes, &ch.Settings(), sizeof bytes);
    EXPECT_EQ(ReadU32(bytes + 0), 3000u);
    EXPECT_EQ(bytes[4], 3u);
    EXPECT_EQ(bytes[5] | bytes[6] | bytes[7], 0);
    EXPECT_EQ(ReadU32(bytes + 8), 100u);
    EXPECT_EQ(ReadU32(bytes + 12), 0u);
    EXPECT_EQ(bytes[16], 1u);
    EXPECT_EQ(bytes[17] | bytes[18] | bytes[19], 0);
    for (size_t unit = 0; unit < CChannelSettings::kPasUnits; ++unit) {
        EXPECT_EQ(ReadU32(bytes + 20 + 4 * unit), 0u) << unit;
    }
    EXPECT_EQ(bytes[116] | bytes[117] | bytes[118] | bytes[119], 0);

    ch.Settings().m_pasModels[23] = 1;
    ch.Settings().m_pollPeriod = 1000;
    std::memcpy(bytes, &ch.Settings(), sizeof bytes);
    EXPECT_EQ(ReadU32(bytes + 112), 1u);
    EXPECT_EQ(ReadU32(bytes + 12), 1000u);
}

TEST(Channel, KeyLikeName)
{
    TestChannel ch;
    EXPECT_EQ(ch.GetKey(), "");
    ch.SetKey("Ключ1");
    EXPECT_EQ(ch.GetKey(), "Ключ1");
    ch.SetKey(static_cast<const char*>(nullptr));
    EXPECT_EQ(ch.GetKey(), "Ключ1");
    ch.SetKey("");
    EXPECT_EQ(ch.GetKey(), "");
}

TEST(Channel, InitialiseAndDescribe)
{
    TestChannel ch(kKindChannelTCP, "T");
    EXPECT_EQ(ch.Kind(), kKindChannelTCP);
    ch.SetState(kChannelOpen);
    ch.Initialise();
    EXPECT_EQ(ch.State(), kChannelClosed);
    EXPECT_EQ(ch.RunFlag(), 1u);
    EXPECT_FALSE(ch.HasThread());
    std::string label = "x";
    std::string value = "y";
    EXPECT_FALSE(ch.Describe(0, label, value));
}

TEST(Channel, ShutdownStopsTheThreadTearsDownThenCloses)
{
    auto root = std::make_unique<CLevelRoot>();
    auto owned = std::make_unique<TestChannel>(kKindChannelCOM, "S");
    TestChannel& ch = *owned;
    root->AddLevel(std::move(owned));
    ch.Initialise();
    ASSERT_NE(ch.CreatePath("PU_1.a"), nullptr);
    ASSERT_NE(ch.CreatePath("b"), nullptr);
    ASSERT_EQ(ch.StartThread(&SpinUntilStopped), 1);
    EXPECT_TRUE(ch.HasThread());

    ch.Shutdown();
    EXPECT_EQ(ch.RunFlag(), 0u);
    EXPECT_FALSE(ch.HasThread());
    EXPECT_EQ(ch.LevelCount(), 0u);
    EXPECT_EQ(ch.TagCount(), 0u);
    ASSERT_EQ(ch.m_calls.size(), 1u);
    EXPECT_EQ(ch.m_calls[0], "Close");
    // Shutting down twice is harmless.
    ch.Shutdown();
    EXPECT_EQ(ch.m_calls.size(), 2u);
}

TEST(Channel, StartWhileRunningDoesNothingAndAStoppedChannelStartsAgain)
{
    TestChannel ch;
    ch.Initialise();
    EXPECT_EQ(ch.StartThread(nullptr), 0);
    EXPECT_FALSE(ch.HasThread());

    g_started = 0;
    ASSERT_EQ(ch.StartThread(&SpinUntilStopped), 1);
    const std::thread::id first = ch.ThreadId();
    EXPECT_NE(first, std::thread::id());
    EXPECT_EQ(ch.StartThread(&SpinUntilStopped), 1);
    EXPECT_EQ(ch.ThreadId(), first);
    ASSERT_TRUE(WaitFor([] { return g_started.load() >= 1; }));

    ch.StopThread();
    EXPECT_FALSE(ch.HasThread());
    EXPECT_EQ(ch.ThreadId(), std::thread::id());
    EXPECT_EQ(g_started.load(), 1);

    // Start sets the run flag again even after a stop cleared it.
    ASSERT_EQ(ch.StartThread(&SpinUntilStopped), 1);
    EXPECT_EQ(ch.RunFlag(), 1u);
    ASSERT_TRUE(WaitFor([] { return g_started.load() == 2; }));
    ch.StopThread();
    ch.StopThread();
    EXPECT_EQ(g_started.load(), 2);
}

namespace {

std::atomic<int> g_withSignalStack{-1};

int RecordSignalStack(CLevelChannel*)
{
    stack_t current{};
    g_withSignalStack = sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 ? 1 : 0;
    return 0;
}

}  // namespace

// So that a stack overflow in a channel's thread reaches the crash report.
TEST(Channel, ItsThreadRunsWithItsOwnSignalStack)
{
    TestChannel ch;
    ch.Initialise();
    g_withSignalStack = -1;
    ASSERT_EQ(ch.StartThread(&RecordSignalStack), 1);
    ch.StopThread();
    EXPECT_EQ(g_withSignalStack.load(), 1);
}

namespace {

// The first channel's thread ends only once the second channel's run flag
// is also down (bounded), and records whether it saw that happen.
CLevelChannel* g_second = nullptr;
std::atomic<bool> g_sawSecondCleared{false};

int WaitForSecondCleared(CLevelChannel* channel)
{
    while (channel->RunFlag() != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    g_sawSecondCleared = WaitFor([] { return g_second->RunFlag() == 0; }, std::chrono::milliseconds(2000));
    return 0;
}

}  // namespace

TEST(Root, StopAllClearsEveryRunFlagBeforeWaiting)
{
    CLevelRoot root;
    auto a = std::make_unique<TestChannel>(kKindChannelCOM, "A");
    auto b = std::make_unique<TestChannel>(kKindChannelUDP, "B");
    TestChannel* pa = a.get();
    TestChannel* pb = b.get();
    root.AddLevel(std::move(a));
    root.AddLevel(std::move(b));
    pa->Initialise();
    pb->Initialise();
    g_second = pb;
    g_sawSecondCleared = false;
    ASSERT_EQ(pa->StartThread(&WaitForSecondCleared), 1);
    ASSERT_EQ(pb->StartThread(&SpinUntilStopped), 1);

    EXPECT_EQ(root.StopAll(), 2u);
    EXPECT_TRUE(g_sawSecondCleared.load());
    EXPECT_FALSE(pa->HasThread());
    EXPECT_FALSE(pb->HasThread());
    // Nothing running: stopping again is immediate.
    EXPECT_EQ(root.StopAll(), 2u);
}

TEST(Root, StartAllStartsEveryChannel)
{
    CLevelRoot root;
    for (const char* name : {"A", "B", "C"}) {
        auto ch = std::make_unique<TestChannel>(kKindChannelTCP, name);
        ch->Initialise();
        root.AddLevel(std::move(ch));
    }
    g_started = 0;
    EXPECT_TRUE(root.StartAll(&SpinUntilStopped));
    ASSERT_TRUE(WaitFor([] { return g_started.load() == 3; }));
    for (size_t i = 0; i < root.LevelCount(); ++i) {
        EXPECT_TRUE(root.ChannelAt(i)->HasThread());
    }
    EXPECT_FALSE(root.StartAll(nullptr));
    root.StopAll();
    for (size_t i = 0; i < root.LevelCount(); ++i) {
        EXPECT_FALSE(root.ChannelAt(i)->HasThread());
    }
    EXPECT_EQ(g_started.load(), 3);
}

TEST(Root, DestroyingTheTreeStopsRunningChannels)
{
    auto root = std::make_unique<CLevelRoot>();
    auto ch = std::make_unique<TestChannel>(kKindChannelCOM, "A");
    ch->Initialise();
    TestChannel* p = ch.get();
    root->AddLevel(std::move(ch));
    g_started = 0;
    g_ended = 0;
    ASSERT_EQ(p->StartThread(&SpinAndCountEnd), 1);
    ASSERT_TRUE(WaitFor([] { return g_started.load() == 1; }));
    EXPECT_EQ(g_ended.load(), 0);
    root.reset();  // must join, not leave a thread running on a dead channel
    EXPECT_EQ(g_ended.load(), 1);
}
