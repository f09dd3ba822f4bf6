// The channel's polling thread: its turn, the poll period, the forced first
// poll, and how it stops, alone and together with other channels.
#include "config/LevelTag.h"
#include "polling/ExchangeFixture.h"
#include "polling/PollingThread.h"

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::vector<std::pair<uint16_t, uint16_t>> ReadsOf(const ScriptedChannel& channel)
{
    std::vector<std::pair<uint16_t, uint16_t>> reads;
    for (const DeviceRequest& r : channel.Parsed()) reads.emplace_back(r.m_start, r.m_count);
    return reads;
}

long long Ms(Clock::duration d)
{
    return std::chrono::duration_cast<milliseconds>(d).count();
}

}  // namespace

TEST_F(ExchangeTest, NoChannelEndsTheThreadWithOne)
{
    EXPECT_EQ(ChannelPollingThread(nullptr), 1);
}

TEST_F(ExchangeTest, PeriodZeroPollsAtEveryTurnStartingAtOnce)
{
    ScriptedChannel& ch = AddChannel();
    AddItem(ch, "g.a", 10, kAccessRead, 39);
    const auto start = Clock::now();
    ASSERT_EQ(ch.StartThread(), 1);
    ASSERT_TRUE(ch.WaitForRequests(1, milliseconds(2000)));
    std::this_thread::sleep_for(milliseconds(600));
    ch.StopThread();
    const auto times = ch.RequestTimes();
    ASSERT_FALSE(times.empty());
    EXPECT_LT(Ms(times[0] - start), 100);
    // About one poll per 50 ms turn.
    EXPECT_GE(times.size(), 9u);
    EXPECT_LE(times.size(), 15u);
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_GE(Ms(times[i] - times[i - 1]), 45) << i;
    }
}

TEST_F(ExchangeTest, APeriodCountsFromTheStartOfOnePollToTheNext)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_pollPeriod = 1000;
    ch.Settings().m_responseTimeout = 3000;
    ch.SetReplyDelay(300);
    AddItem(ch, "g.a", 10, kAccessRead, 39);
    const auto start = Clock::now();
    ASSERT_EQ(ch.StartThread(), 1);
    ASSERT_TRUE(ch.WaitForRequests(3, milliseconds(5000)));
    ch.StopThread();
    const auto times = ch.RequestTimes();
    // The first poll is forced: it does not wait for the period.
    EXPECT_LT(Ms(times[0] - start), 100);
    for (size_t i = 1; i < 3; ++i) {
        const long long gap = Ms(times[i] - times[i - 1]);
        EXPECT_GE(gap, 990) << i;
        EXPECT_LE(gap, 1200) << i;
    }
}

TEST_F(ExchangeTest, APollLongerThanThePeriodIsFollowedAtTheNextTurn)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_pollPeriod = 1000;
    ch.Settings().m_responseTimeout = 3000;
    ch.SetReplyDelay(1500);
    AddItem(ch, "g.a", 10, kAccessRead, 39);
    ASSERT_EQ(ch.StartThread(), 1);
    ASSERT_TRUE(ch.WaitForRequests(3, milliseconds(6000)));
    ch.StopThread();
    const auto times = ch.RequestTimes();
    for (size_t i = 1; i < 3; ++i) {
        const long long gap = Ms(times[i] - times[i - 1]);
        EXPECT_GE(gap, 1500) << i;
        EXPECT_LE(gap, 1750) << i;
    }
}

TEST_F(ExchangeTest, AStopDuringATransactionEndsWithinOneReceiveTimeout)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_responseTimeout = 500;
    CDATag* a = AddItem(ch, "g.a", 10, kAccessRead, 39);
    ch.Script(
        {DeviceAction::Answer(), DeviceAction::Silence(), DeviceAction::Silence(), DeviceAction::Silence()});
    ASSERT_EQ(ch.StartThread(), 1);
    ASSERT_TRUE(ch.WaitForRequests(2, milliseconds(3000)));
    const auto stop = Clock::now();
    ch.StopThread();
    // Slack for a loaded machine under a sanitizer; a further attempt would take another 500.
    EXPECT_LT(Ms(Clock::now() - stop), 500 + 400);
    EXPECT_EQ(ch.RequestCount(), 2u);
    EXPECT_EQ(a->m_quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(EventTexts(), (std::vector<std::string>{"Есть связь", "Нет ответа от устройства"}));
    EXPECT_EQ(ch.Closes(), 0);
}

TEST_F(ExchangeTest, StopAllClearsEveryRunFlagBeforeItWaits)
{
    std::vector<ScriptedChannel*> channels;
    for (int i = 0; i < 3; ++i) {
        ScriptedChannel& ch = AddChannel(kKindChannelUDP, ("Vireo-2_" + std::to_string(i + 1)).c_str());
        ch.Settings().m_responseTimeout = 400;
        ch.Script({DeviceAction::Silence(), DeviceAction::Silence(), DeviceAction::Silence()});
        AddItem(ch, "g.a", 10, kAccessRead, 39);
        channels.push_back(&ch);
    }
    ASSERT_TRUE(App().StartChannels());
    for (ScriptedChannel* ch : channels) {
        ASSERT_TRUE(ch->WaitForRequests(1, milliseconds(2000)));
    }
    const auto stop = Clock::now();
    EXPECT_EQ(App().StopChannels(), 3u);
    // Waited one after the other with the later ones still running, each
    // would go on to its next silent attempt.
    EXPECT_LT(Ms(Clock::now() - stop), 400 + 200);
    for (ScriptedChannel* ch : channels) {
        EXPECT_FALSE(ch->HasThread());
        EXPECT_EQ(ch->RequestCount(), 1u);
    }
}

TEST_F(ExchangeTest, AChannelWithNothingInUseSendsNothingAtAll)
{
    ScriptedChannel& ch = AddChannel();
    AddItem(ch, "g.a", 10, kAccessRead, 39, false);
    ASSERT_EQ(ch.StartThread(), 1);
    std::this_thread::sleep_for(milliseconds(300));
    ch.StopThread();
    EXPECT_EQ(ch.RequestCount(), 0u);
    EXPECT_EQ(ch.Drains(), 0);
}

TEST_F(ExchangeTest, AStoppedChannelStartsAgainAndPollsAtOnce)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_pollPeriod = 10000;
    AddItem(ch, "g.a", 10, kAccessRead, 39);
    ASSERT_EQ(ch.StartThread(), 1);
    ASSERT_TRUE(ch.WaitForRequests(1, milliseconds(2000)));
    ch.StopThread();
    EXPECT_EQ(ch.RunFlag(), 0u);
    ASSERT_EQ(ch.StartThread(), 1);
    EXPECT_EQ(ch.RunFlag(), 1u);
    EXPECT_TRUE(ch.WaitForRequests(2, milliseconds(2000)));
    ch.StopThread();
    EXPECT_EQ(ch.RequestCount(), 2u);
}

TEST_F(ExchangeTest, ATurnHoldsTheCycleLockOnlyWhilePolling)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_pollPeriod = 100000;
    AddItem(ch, "g.a", 10, kAccessRead, 39);
    ASSERT_EQ(ch.StartThread(), 1);
    ASSERT_TRUE(ch.WaitForRequests(1, milliseconds(2000)));
    // The sleep between turns is spent without the lock.
    bool taken = false;
    const auto end = Clock::now() + milliseconds(500);
    while (!taken && Clock::now() < end) {
        taken = ch.CycleLock().TryEnter();
        if (!taken) std::this_thread::sleep_for(milliseconds(1));
    }
    ASSERT_TRUE(taken);
    ch.ClearRunFlag();
    ch.CycleLock().Leave();
    ch.StopThread();
    EXPECT_FALSE(ch.HasThread());
}

// Channels with their whole item space, as the configuration builds them.

TEST_F(ExchangeTest, BuildAllGivesEveryChannelItsItemsAndThePolledItemIsRead)
{
    ScriptedChannel& first = AddChannel();
    ScriptedChannel& second = AddChannel(kKindChannelTCP, "Vireo-2_2");
    second.Settings().m_pasModels[0] = 1;
    App().Root()->BuildAll();
    EXPECT_EQ(first.Exchange().Items().size(), 29961u);
    EXPECT_GT(second.Exchange().Items().size(), first.Exchange().Items().size());
    ASSERT_NE(first.Exchange().WritePasswordItem(), nullptr);
    EXPECT_EQ(first.Exchange().WritePasswordItem()->Address(), 2600);

    CLevelElementBase* found = App().Root()->FindTag("Каналы связи.Vireo-2_1.MyPin.kernel_version");
    ASSERT_NE(found, nullptr);
    ASSERT_EQ(found->Kind(), kKindTag);
    CDATag* item = static_cast<CLevelTag*>(found)->Item();
    ASSERT_EQ(item->Exchange(), &first.Exchange());
    item->AddRef();
    first.SetRegister(item->Address(), 0x1203);
    ASSERT_EQ(first.StartThread(), 1);
    ASSERT_TRUE(first.WaitForRequests(1, milliseconds(2000)));
    first.StopThread();
    EXPECT_EQ(ReadsOf(first).front(), std::make_pair(item->Address(), uint16_t{1}));
    EXPECT_EQ(item->m_quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(item->m_value.bVal, 0x03);
    EXPECT_EQ(second.RequestCount(), 0u);
    item->Release();

    App().Root()->TeardownAll();
    EXPECT_TRUE(first.Exchange().Items().empty());
    EXPECT_EQ(first.Exchange().WritePasswordItem(), nullptr);
    EXPECT_EQ(first.LevelCount(), 0u);
}

TEST_F(ExchangeTest, ARestartAppliesNewSettingsInItsOrder)
{
    ScriptedChannel& ch = AddChannel();
    ch.Build();
    ASSERT_EQ(ch.Exchange().Items().size(), 29961u);
    ASSERT_EQ(ch.StartThread(), 1);
    std::vector<std::string> seen;
    const int started = ch.Restart([&seen](CLevelChannel& c) {
        // Applied with the thread gone and the item space empty.
        seen.push_back(c.HasThread() ? "thread" : "no thread");
        seen.push_back(std::to_string(c.TagCount() + c.LevelCount()));
        seen.push_back(c.State() == kChannelClosed ? "closed" : "not closed");
        for (uint32_t& model : c.Settings().m_pasModels) model = 1;
        c.Settings().m_pollPeriod = 1000;
    });
    EXPECT_EQ(started, 1);
    EXPECT_EQ(seen, (std::vector<std::string>{"no thread", "0", "closed"}));
    EXPECT_TRUE(ch.HasThread());
    EXPECT_EQ(ch.State(), kChannelOpen);
    EXPECT_EQ(ch.Exchange().Items().size(), 43737u);
    ASSERT_NE(ch.Exchange().WritePasswordItem(), nullptr);
    const std::vector<std::string> calls = ch.Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()),
              (std::vector<std::string>{"Close", "Open"}));
    ch.StopThread();
}

TEST_F(ExchangeTest, AnIdleChannelWakesWhenAClientTakesAnItemAndStopsAtOnce)
{
    ScriptedChannel& ch = AddChannel();
    CDATag* a = AddItem(ch, "g.a", 10, kAccessRead, 39, false);
    ASSERT_EQ(ch.StartThread(), 1);
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(ch.RequestCount(), 0u);
    const auto taken = Clock::now();
    a->AddRef();
    ASSERT_TRUE(ch.WaitForRequests(1, milliseconds(2000)));
    EXPECT_LT(Ms(ch.RequestTimes()[0] - taken), 100);

    // Back to idle once nobody holds it; a stop then ends the wait at once.
    a->Release();
    std::this_thread::sleep_for(milliseconds(200));
    const size_t sent = ch.RequestCount();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(ch.RequestCount(), sent);
    const auto stop = Clock::now();
    ch.StopThread();
    EXPECT_LT(Ms(Clock::now() - stop), 100);
}
