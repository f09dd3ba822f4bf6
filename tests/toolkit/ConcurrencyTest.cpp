// Reference counting from many threads, and no callback once the server has stopped.

#include "FakeProgram.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(TagReferences, TheItemBaseStaysSmall)
{
    // Over a million items derive from it: a vtable pointer, the VARIANT and four
    // members in 48 bytes, with room in the tail for a derived class's small members.
    EXPECT_LE(sizeof(COPCTag), 48u);
    CFakeTag tag;
    EXPECT_EQ(tag.m_canonicalType, VT_EMPTY);
    EXPECT_EQ(tag.m_value.vt, VT_EMPTY);
    EXPECT_EQ(tag.m_quality, OPC_QUALITY_BAD);
    EXPECT_EQ(tag.m_accessRights, 0u);
}

TEST(TagReferences, CountCorrectlyFromManyThreads)
{
    CFakeTag tag;
    EXPECT_FALSE(tag.InUse());
    EXPECT_EQ(tag.Release(), 0u);  // never below zero
    EXPECT_FALSE(tag.InUse());

    constexpr int kThreads = 8, kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) tag.AddRef();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(tag.AddRef(), kThreads * kRounds + 1u);
    EXPECT_EQ(tag.Release(), static_cast<uint32_t>(kThreads * kRounds));

    threads.clear();
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                tag.Release();
                tag.AddRef();
                tag.Release();
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_FALSE(tag.InUse());
    EXPECT_EQ(tag.AddRef(), 1u);
}

TEST(TagReferences, ClientsAddingAndRemovingConcurrentlyLeaveNoReference)
{
    ToolkitFixture fx;
    ASSERT_TRUE(fx.m_started);
    std::vector<CFakeTag*> tags;
    for (int i = 0; i < 16; ++i) tags.push_back(fx.m_program.Add(Id("Ch.D.i" + std::to_string(i))));

    constexpr int kClients = 6, kRounds = 150;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c)
        threads.emplace_back([&, c] {
            CDAClient client;
            uint32_t group, rate;
            if (client.Connect(("c" + std::to_string(c)).c_str()) != S_OK ||
                FAILED(client.AddGroup("g", true, 20, 0, &group, &rate))) {
                ++failures;
                return;
            }
            std::vector<DAItemDef> defs;
            for (int i = 0; i < 16; ++i) defs.push_back({Id("Ch.D.i" + std::to_string(i))});
            for (int r = 0; r < kRounds; ++r) {
                std::vector<DAItemResult> results;
                if (client.AddItems(group, defs, &results) != S_OK) ++failures;
                std::vector<uint32_t> handles;
                for (const auto& res : results) handles.push_back(res.serverHandle);
                std::vector<HRESULT> errors;
                if (client.RemoveItems(group, handles, &errors) != S_OK) ++failures;
            }
            // Leave some items held: disconnecting must release them.
            std::vector<DAItemResult> results;
            client.AddItems(group, defs, &results);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    for (CFakeTag* tag : tags) EXPECT_FALSE(tag->InUse()) << tag->m_id;
    EXPECT_FALSE(DAServerInUse());
}

TEST(ServerStop, WaitsForACallInProgress)
{
    ToolkitFixture fx;
    ASSERT_TRUE(fx.m_started);
    fx.m_program.Add(Id("Ch.D.a"));

    std::mutex m;
    std::condition_variable cv;
    bool inScan = false, release = false;
    fx.m_program.m_onScan = [&] {
        std::unique_lock lock(m);
        inScan = true;
        cv.notify_all();
        cv.wait_for(lock, 10s, [&] { return release; });
    };

    CDAClient client;
    ASSERT_EQ(client.Connect("reader"), S_OK);
    uint32_t group, rate;
    ASSERT_TRUE(SUCCEEDED(client.AddGroup("g", false, 100, 0, &group, &rate)));
    std::vector<DAItemResult> results;
    ASSERT_EQ(client.AddItems(group, {{Id("Ch.D.a")}}, &results), S_OK);

    std::thread reader([&] {
        std::vector<DAItemState> states;
        client.Read(group, DADataSource::Device, {results[0].serverHandle}, &states);
    });
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return inScan; }));
    }
    std::atomic<bool> stopReturned{false};
    std::thread stopper([&] {
        StopDAServer();
        fx.m_program.m_stopped = true;
        stopReturned = true;
        std::lock_guard lock(m);
        cv.notify_all();
    });
    {
        // Stop must still be waiting for the scan it cannot interrupt.
        std::unique_lock lock(m);
        EXPECT_FALSE(cv.wait_for(lock, 200ms, [&] { return stopReturned.load(); }));
        release = true;
        cv.notify_all();
    }
    stopper.join();
    reader.join();
    EXPECT_TRUE(stopReturned.load());
    EXPECT_EQ(fx.m_program.m_callsAfterStop.load(), 0);
    EXPECT_FALSE(fx.m_program.Find(Id("Ch.D.a").c_str())->InUse());
}

TEST(ServerStop, NoCallbackReachesTheProgramAfterStopReturns)
{
    for (int round = 0; round < 5; ++round) {
        ToolkitFixture fx;
        ASSERT_TRUE(fx.m_started);
        for (int i = 0; i < 8; ++i) fx.m_program.Add(Id("Ch.D.i" + std::to_string(i)));

        std::atomic<bool> stopNow{false};
        std::atomic<int> okCalls{0};
        std::vector<std::thread> threads;
        for (int c = 0; c < 4; ++c)
            threads.emplace_back([&, c] {
                CDAClient client;
                client.Connect(("hammer" + std::to_string(c)).c_str());
                uint32_t group = 0, rate;
                client.AddGroup("g", true, 20, 0, &group, &rate);
                // Keep calling until the server refuses: every kind of call that reaches the program.
                for (int i = 0;; ++i) {
                    std::vector<DAItemResult> results;
                    HRESULT hr = client.AddItems(group, {{Id("Ch.D.i" + std::to_string(i % 8))}}, &results);
                    if (FAILED(hr)) break;
                    std::vector<uint32_t> h{results[0].serverHandle};
                    std::vector<DAItemState> states;
                    client.Read(group, i % 2 ? DADataSource::Device : DADataSource::Cache, h, &states);
                    std::vector<HRESULT> errors;
                    std::vector<CDAVariant> values(1);
                    client.Write(group, h, values, &errors);
                    std::vector<DAProperty> props;
                    client.QueryAvailableProperties(Id("Ch.D.i0").c_str(), &props);
                    if (i % 3 == 0) client.RemoveItems(group, h, &errors);
                    ++okCalls;
                    if (okCalls.load() > 50) stopNow = true;
                }
            });
        EXPECT_TRUE(SpinUntil([&] { return stopNow.load(); }));
        ASSERT_EQ(StopDAServer(), S_OK);
        fx.m_program.m_stopped = true;
        int callsAtStop = fx.m_program.m_calls.load();
        for (auto& t : threads) t.join();  // their clients' destructors call in as well
        EXPECT_EQ(fx.m_program.m_callsAfterStop.load(), 0) << "round " << round;
        EXPECT_EQ(fx.m_program.m_calls.load(), callsAtStop);
        EXPECT_GT(okCalls.load(), 50);
        for (int i = 0; i < 8; ++i)
            EXPECT_FALSE(fx.m_program.Find(Id("Ch.D.i" + std::to_string(i)).c_str())->InUse());
    }
}

TEST(ServerStop, DeleteDuringCallsDropsEveryReference)
{
    ToolkitFixture fx;
    ASSERT_TRUE(fx.m_started);
    for (int i = 0; i < 8; ++i) fx.m_program.Add(Id("Ch.D.i" + std::to_string(i)));
    std::atomic<bool> deleteReturned{false}, finish{false};
    std::atomic<int> added{0}, triedAfter{0}, addedAfter{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < 3; ++c)
        threads.emplace_back([&, c] {
            CDAClient client;
            client.Connect(("c" + std::to_string(c)).c_str());
            uint32_t group = 0, rate;
            client.AddGroup("g", true, 20, 0, &group, &rate);
            for (int i = 0; !finish.load(); ++i) {
                bool after = deleteReturned.load();
                std::vector<DAItemResult> results;
                HRESULT hr = client.AddItems(group, {{Id("Ch.D.i" + std::to_string(i % 8))}}, &results);
                if (hr == S_OK) ++(after ? addedAfter : added);
                if (after) ++triedAfter;
                std::vector<DAItemState> states;
                client.Read(group, DADataSource::Device, {results[0].serverHandle}, &states);
            }
            client.Disconnect();
        });
    EXPECT_TRUE(SpinUntil([&] { return added.load() >= 30; }));
    ASSERT_EQ(DeleteDAItem(Id("Ch").c_str()), S_OK);
    deleteReturned = true;
    // Once DeleteDAItem has returned nothing below the path is held.
    for (int i = 0; i < 8; ++i)
        EXPECT_FALSE(fx.m_program.Find(Id("Ch.D.i" + std::to_string(i)).c_str())->InUse());
    EXPECT_TRUE(SpinUntil([&] { return triedAfter.load() >= 30; }));
    finish = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(addedAfter.load(), 0);  // and nothing below it can be added again
}

}  // namespace
