// Data change reports: which items, when, and how often.

#include "FakeProgram.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <signal.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Report {
    Clock::time_point at;
    uint32_t group;
    std::vector<DAItemState> items;
};

class CRecordingSink : public IDAClientSink {
   public:
    void OnDataChange(uint32_t group, const std::vector<DAItemState>& items) override
    {
        std::function<void()> hook;
        {
            std::lock_guard lock(m_mutex);
            hook = m_onReport;
        }
        if (hook) hook();
        std::lock_guard lock(m_mutex);
        m_reports.push_back({Clock::now(), group, items});
        m_cv.notify_all();
    }
    void OnServerShutdown() override
    {
        std::lock_guard lock(m_mutex);
        m_shutdowns++;
        m_cv.notify_all();
    }
    // Waits (bounded) until at least n reports have arrived.
    bool WaitFor(size_t n, std::chrono::milliseconds limit = 5s)
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, limit, [&] { return m_reports.size() >= n; });
    }
    size_t Count()
    {
        std::lock_guard lock(m_mutex);
        return m_reports.size();
    }
    Report At(size_t i)
    {
        std::lock_guard lock(m_mutex);
        return m_reports.at(i);
    }
    std::vector<Report> ForGroup(uint32_t group)
    {
        std::lock_guard lock(m_mutex);
        std::vector<Report> out;
        for (const Report& r : m_reports)
            if (r.group == group) out.push_back(r);
        return out;
    }
    // Runs on the toolkit's thread at the start of every report.
    void OnReport(std::function<void()> hook)
    {
        std::lock_guard lock(m_mutex);
        m_onReport = std::move(hook);
    }
    int Shutdowns()
    {
        std::lock_guard lock(m_mutex);
        return m_shutdowns;
    }

   private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Report> m_reports;
    std::function<void()> m_onReport;
    int m_shutdowns = 0;
};

std::vector<uint32_t> ClientHandles(const Report& r)
{
    std::vector<uint32_t> out;
    for (const auto& s : r.items) out.push_back(s.clientHandle);
    std::sort(out.begin(), out.end());
    return out;
}

class DataChangeTest : public ::testing::Test, public ToolkitFixture {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_started);
        m_a = m_program.Add(Id("Ch.D.a"));
        m_b = m_program.Add(Id("Ch.D.b"));
        m_c = m_program.Add(Id("Ch.D.c"));
        m_program.Set(m_a, 1);
        m_program.Set(m_b, 2);
        m_program.Set(m_c, 3);
        ASSERT_EQ(m_client.Connect("subscriber", &m_sink), S_OK);
    }
    // A group with a (client handle 1), b (2) and an inactive c (3).
    uint32_t MakeGroup(uint32_t rate, uint32_t clientHandle = 100, bool active = true)
    {
        uint32_t group, revised;
        EXPECT_EQ(m_client.AddGroup(nullptr, active, rate, clientHandle, &group, &revised), S_OK);
        std::vector<DAItemResult> results;
        EXPECT_EQ(m_client.AddItems(group,
                                    {{Id("Ch.D.a"), VT_EMPTY, true, 1},
                                     {Id("Ch.D.b"), VT_EMPTY, true, 2},
                                     {Id("Ch.D.c"), VT_EMPTY, false, 3}},
                                    &results),
                  S_OK);
        for (const auto& r : results) m_handles.push_back(r.serverHandle);
        return group;
    }
    CRecordingSink m_sink;
    CDAClient m_client;
    std::vector<uint32_t> m_handles;
    CFakeTag *m_a, *m_b, *m_c;
};

TEST_F(DataChangeTest, FirstReportHoldsEveryActiveItemThenOnlyChanges)
{
    uint32_t group = MakeGroup(100);
    ASSERT_TRUE(m_sink.WaitFor(1));
    Report first = m_sink.At(0);
    EXPECT_EQ(first.group, 100u);
    EXPECT_EQ(ClientHandles(first), (std::vector<uint32_t>{1, 2}));
    for (const auto& s : first.items) {
        EXPECT_EQ(s.quality, OPC_QUALITY_GOOD);
        EXPECT_EQ(s.value.Get().uiVal, s.clientHandle);  // a = 1, b = 2
    }

    // Nothing changed: nothing is sent over several update periods.
    EXPECT_FALSE(m_sink.WaitFor(2, 400ms));

    m_program.Set(m_a, 5);
    ASSERT_TRUE(m_sink.WaitFor(2));
    Report second = m_sink.At(1);
    ASSERT_EQ(second.items.size(), 1u);
    EXPECT_EQ(second.items[0].clientHandle, 1u);
    EXPECT_EQ(second.items[0].value.Get().uiVal, 5);
    EXPECT_EQ(FileTimeToUInt64(second.items[0].timeStamp), FileTimeToUInt64(m_a->m_timeStamp));

    // Quality alone, and the time stamp alone, count as changes too.
    {
        CCriticalSectionLock lock(m_program.ItemLock());
        m_b->m_quality = OPC_QUALITY_BAD;
    }
    ASSERT_TRUE(m_sink.WaitFor(3));
    ASSERT_EQ(m_sink.At(2).items.size(), 1u);
    EXPECT_EQ(m_sink.At(2).items[0].clientHandle, 2u);
    EXPECT_EQ(m_sink.At(2).items[0].quality, OPC_QUALITY_BAD);
    m_program.Set(m_b, 2, OPC_QUALITY_BAD);  // same value and quality, new time stamp
    ASSERT_TRUE(m_sink.WaitFor(4));
    EXPECT_EQ(ClientHandles(m_sink.At(3)), std::vector<uint32_t>{2});

    // The inactive item never shows up, whatever it does.
    m_program.Set(m_c, 33);
    EXPECT_FALSE(m_sink.WaitFor(5, 400ms));
    (void)group;
}

TEST_F(DataChangeTest, ReportsComeNoFasterThanTheUpdateRate)
{
    constexpr auto kRate = 100ms;
    // Every report triggers the next change at once, so only the rate holds reports back.
    uint16_t next = 10;
    m_sink.OnReport([&] { m_program.Set(m_a, next++); });
    uint32_t fast = MakeGroup(static_cast<uint32_t>(kRate.count()), 100);
    ASSERT_TRUE(m_sink.WaitFor(7, 10s));
    m_sink.OnReport(nullptr);
    std::vector<Report> reports = m_sink.ForGroup(100);
    ASSERT_GE(reports.size(), 7u);
    for (size_t i = 1; i < reports.size(); ++i) {
        auto gap = reports[i].at - reports[i - 1].at;
        EXPECT_GE(gap, kRate * 8 / 10) << "report " << i;
    }
    auto span = reports.back().at - reports.front().at;
    EXPECT_LT(span / (reports.size() - 1), kRate * 4) << "reports lag far behind the rate";

    // A slower rate takes effect.
    std::vector<HRESULT> errors;
    uint32_t revised;
    ASSERT_EQ(m_client.SetGroupUpdateRate(fast, 300, &revised), S_OK);
    size_t before = m_sink.Count();
    m_sink.OnReport([&] { m_program.Set(m_a, next++); });
    ASSERT_TRUE(m_sink.WaitFor(before + 3, 10s));
    m_sink.OnReport(nullptr);
    reports = m_sink.ForGroup(100);
    for (size_t i = before + 1; i < reports.size(); ++i)
        EXPECT_GE(reports[i].at - reports[i - 1].at, 300ms * 8 / 10) << "report " << i;
}

TEST_F(DataChangeTest, InactiveGroupsAndItemsStaySilentAndResendWhenWoken)
{
    uint32_t group = MakeGroup(60);
    ASSERT_TRUE(m_sink.WaitFor(1));

    ASSERT_EQ(m_client.SetGroupActive(group, false), S_OK);
    m_program.Set(m_a, 9);
    EXPECT_FALSE(m_sink.WaitFor(2, 300ms));
    ASSERT_EQ(m_client.SetGroupActive(group, true), S_OK);
    ASSERT_TRUE(m_sink.WaitFor(2));
    EXPECT_EQ(ClientHandles(m_sink.At(1)), (std::vector<uint32_t>{1, 2}));  // all active items again

    std::vector<HRESULT> errors;
    ASSERT_EQ(m_client.SetActiveState(group, {m_handles[0]}, false, &errors), S_OK);
    m_program.Set(m_a, 10);
    EXPECT_FALSE(m_sink.WaitFor(3, 300ms));
    ASSERT_EQ(m_client.SetActiveState(group, {m_handles[0], m_handles[2]}, true, &errors), S_OK);
    ASSERT_TRUE(m_sink.WaitFor(3));
    EXPECT_EQ(ClientHandles(m_sink.At(2)), (std::vector<uint32_t>{1, 3}));
    EXPECT_EQ(m_client.SetActiveState(group, {424242}, true, &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_INVALIDHANDLE);
}

TEST_F(DataChangeTest, DisconnectWaitsForADeliveryInProgress)
{
    std::mutex m;
    std::condition_variable cv;
    bool inSink = false, release = false;
    std::atomic<int> afterDisconnect{0};
    std::atomic<bool> disconnected{false};
    m_sink.OnReport([&] {
        if (disconnected.load()) ++afterDisconnect;
        std::unique_lock lock(m);
        inSink = true;
        cv.notify_all();
        cv.wait_for(lock, 10s, [&] { return release; });
    });
    MakeGroup(40);
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return inSink; }));
    }
    std::thread closer([&] {
        m_client.Disconnect();
        disconnected = true;
        std::lock_guard lock(m);
        cv.notify_all();
    });
    {
        std::unique_lock lock(m);
        EXPECT_FALSE(cv.wait_for(lock, 200ms, [&] { return disconnected.load(); }));
        release = true;
        cv.notify_all();
    }
    closer.join();
    m_program.Set(m_a, 77);
    EXPECT_FALSE(m_sink.WaitFor(2, 300ms));
    EXPECT_EQ(afterDisconnect.load(), 0);
    EXPECT_FALSE(m_a->InUse());
}

TEST_F(DataChangeTest, ASinkMayDisconnectItsOwnClient)
{
    m_sink.OnReport([&] { m_client.Disconnect(); });
    MakeGroup(40);
    ASSERT_TRUE(m_sink.WaitFor(1));
    EXPECT_TRUE(SpinUntil([&] { return !DAServerInUse(); }));
    EXPECT_FALSE(m_a->InUse());
}

TEST_F(DataChangeTest, ASinkMayStopTheServerAndItStartsAgain)
{
    std::atomic<int> stops{0};
    m_sink.OnReport([&] {
        if (stops++ == 0) StopDAServer();
    });
    MakeGroup(40);
    ASSERT_TRUE(m_sink.WaitFor(1));
    EXPECT_TRUE(SpinUntil([&] { return m_sink.Shutdowns() == 1; }));
    EXPECT_FALSE(DAServerInUse());
    EXPECT_FALSE(m_a->InUse());
    // The next start picks up the thread that the stop could not wait for.
    m_sink.OnReport(nullptr);
    ASSERT_TRUE(StartDAServer(nullptr, &kTestClsid));
    CRecordingSink sink;
    CDAClient again;
    ASSERT_EQ(again.Connect("again", &sink), S_OK);
    uint32_t group, rate;
    ASSERT_EQ(again.AddGroup("g", true, 40, 5, &group, &rate), S_OK);
    std::vector<DAItemResult> results;
    ASSERT_EQ(again.AddItems(group, {{Id("Ch.D.a"), VT_EMPTY, true, 1}}, &results), S_OK);
    EXPECT_TRUE(sink.WaitFor(1));
}

TEST_F(DataChangeTest, StopTellsTheSink)
{
    MakeGroup(40);
    ASSERT_TRUE(m_sink.WaitFor(1));
    ASSERT_EQ(StopDAServer(), S_OK);
    EXPECT_EQ(m_sink.Shutdowns(), 1);
    EXPECT_FALSE(m_client.IsConnected());
    EXPECT_FALSE(m_a->InUse());
}

}  // namespace

TEST_F(DataChangeTest, ReportsRunOnAThreadWithItsOwnSignalStack)
{
    // So that a stack overflow in a report reaches the crash report.
    std::atomic<int> withStack{-1};
    m_sink.OnReport([&] {
        stack_t current{};
        withStack = sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 ? 1 : 0;
    });
    MakeGroup(60);
    ASSERT_TRUE(m_sink.WaitFor(1));
    m_sink.OnReport(nullptr);
    EXPECT_EQ(withStack.load(), 1);
}
