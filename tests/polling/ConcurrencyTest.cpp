// The polling thread of a channel and four toolkit threads reading and
// writing on demand through the same exchange, with a device that now and
// then does not answer. Run under the tsan preset this shows the locking:
// no data race, no lock-order inversion (cycle lock, exchange lock, item
// lock, configuration lock), and every call returns.
#include "polling/ExchangeFixture.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

TEST_F(ExchangeTest, PollingAndToolkitThreadsShareTheExchange)
{
    ScriptedChannel& ch = AddChannel(kKindChannelUDP);
    // One attempt: every silent request is a lost device, its recovery included.
    ch.Settings().m_attempts = 1;
    ch.Settings().m_responseTimeout = 5;
    ch.SetSilentEvery(17);
    ch.Exchange().SetRecoveryWaitMs(20);

    std::vector<CDATag*> readable;
    std::vector<CDATag*> writable;
    for (uint16_t r = 0; r < 40; ++r) {
        readable.push_back(AddItem(ch, ("PU_1.s.i" + std::to_string(r)).c_str(),
                                   static_cast<uint16_t>(500 + r), kAccessRead,
                                   static_cast<uint8_t>(r % 2 ? 39 : 6), r % 3 != 0));
    }
    CDATag* password = AddItem(ch, "MyPin.Write_Password", 2600, kAccessWrite, 2, false);
    ch.Exchange().SetWritePasswordItem(password);
    for (uint16_t b = 0; b < 16; ++b) {
        writable.push_back(AddItem(ch, ("MyPin.Pin_Control_" + std::to_string(b + 1)).c_str(), 2500,
                                   kAccessReadWrite, static_cast<uint8_t>(6 + b)));
    }
    for (uint16_t n = 0; n < 4; ++n) {
        writable.push_back(AddItem(ch, ("MyPin.Pribor_Comm" + std::to_string(n + 1) + ".Command").c_str(),
                                   static_cast<uint16_t>(2000 + n), kAccessReadWrite, 39));
    }
    for (uint16_t r = 0; r < 600; ++r)
        ch.SetRegister(static_cast<uint16_t>(500 + r), static_cast<uint16_t>(r * 7));

    ASSERT_EQ(ch.StartThread(), 1);

    constexpr int kThreads = 4;
    const auto runFor = std::chrono::milliseconds(2000);
    std::atomic<int> finished{0};
    std::atomic<long long> calls{0};
    std::atomic<long long> longestMs{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t + 1));
            const auto end = Clock::now() + runFor;
            CSingleVectors& app = CSingleVectors::Instance();
            while (Clock::now() < end) {
                const auto start = Clock::now();
                switch (random() % 4) {
                    case 0: {
                        std::vector<CDATag*> items;
                        for (int i = 0; i < 6; ++i) items.push_back(readable[random() % readable.size()]);
                        items.push_back(writable[random() % writable.size()]);
                        items.push_back(password);  // refused: no read rights
                        std::vector<HRESULT> errors(items.size(), S_OK);
                        (void)ch.Exchange().ReadRequested(static_cast<uint32_t>(items.size()), items.data(),
                                                          errors.data());
                        EXPECT_EQ(errors.back(), OPC_E_BADRIGHTS);
                        break;
                    }
                    case 1: {
                        std::vector<CDATag*> items = {writable[random() % writable.size()], password,
                                                      writable[random() % writable.size()]};
                        std::vector<VARIANT> values(items.size());
                        for (VARIANT& v : values) {
                            VariantInit(&v);
                            v.vt = VT_UI4;
                            v.ulVal = random() % 2;
                        }
                        std::vector<HRESULT> errors(items.size(), S_OK);
                        (void)ch.Exchange().WriteRequested(static_cast<uint32_t>(items.size()), items.data(),
                                                           values.data(), errors.data());
                        EXPECT_EQ(errors[1], S_OK);
                        break;
                    }
                    case 2: {
                        // The toolkit reading items as it serves clients.
                        CCriticalSectionLock lock(app.ItemLock());
                        for (const CDATag* item : readable) {
                            EXPECT_LE(item->m_quality, OPC_QUALITY_GOOD);
                            (void)item->m_value.vt;
                            (void)item->m_timeStamp.dwLowDateTime;
                        }
                        break;
                    }
                    default: {
                        // A client adding an item: item lock, then configuration lock.
                        CCriticalSectionLock itemLock(app.ItemLock());
                        CCriticalSectionLock configurationLock(app.ConfigurationLock());
                        CLevelElementBase* found = app.Root()->FindTag("Каналы связи.Vireo-2_1.PU_1.s.i3");
                        EXPECT_NE(found, nullptr);
                        break;
                    }
                }
                ++calls;
                const long long took =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
                long long seen = longestMs.load();
                while (took > seen && !longestMs.compare_exchange_weak(seen, took)) {
                }
            }
            ++finished;
        });
    }

    // Every call returns: should one hang, the test stops the process rather than itself.
    const auto deadline = Clock::now() + runFor + std::chrono::seconds(20);
    while (finished.load() < kThreads) {
        if (Clock::now() > deadline) {
            ADD_FAILURE() << "a call did not return";
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (std::thread& thread : threads) thread.join();
    const auto stop = Clock::now();
    ch.StopThread();
    EXPECT_LT(Clock::now() - stop, std::chrono::milliseconds(1000));

    EXPECT_GT(calls.load(), 100);
    // A call waits at most for the passes ahead of it, each bounded by its
    // attempts, timeouts and the recovery pause.
    EXPECT_LT(longestMs.load(), 5000);
    EXPECT_GT(ch.RequestCount(), 50u);
    EXPECT_GE(ch.Closes(), 1);
    for (const CDATag* item : writable) {
        EXPECT_EQ(item->PendingWriteValue(), nullptr);
        EXPECT_FALSE(item->TestBit(CDATag::kProcessedBit));
    }
}

// Clients taking and letting go of items from four threads while the
// polling thread polls: afterwards a poll reads exactly the items still held.
TEST_F(ExchangeTest, ClientsTakingAndLettingGoWhilePollingLeaveTheRightItemsInThePoll)
{
    ScriptedChannel& ch = AddChannel(kKindChannelUDP);
    ch.Settings().m_responseTimeout = 5;
    std::vector<CDATag*> items;
    for (uint16_t r = 0; r < 64; ++r) {
        // Every other register: each item held makes a request of its own.
        items.push_back(AddItem(ch, ("PU_1.s.i" + std::to_string(r)).c_str(),
                                static_cast<uint16_t>(100 + 2 * r), kAccessRead, 39, false));
    }
    ASSERT_EQ(ch.StartThread(), 1);

    constexpr int kThreads = 4;
    std::vector<std::vector<int>> held(kThreads, std::vector<int>(items.size(), 0));
    std::vector<std::thread> threads;
    const auto end = Clock::now() + std::chrono::milliseconds(1000);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t + 11));
            std::vector<int>& mine = held[t];
            while (Clock::now() < end) {
                // Two threads per item, each holding it at most once: about
                // a quarter of the items end up held by nobody.
                const size_t i = (random() % (items.size() / 2)) * 2 + t % 2;
                if (mine[i] > 0) {
                    items[i]->Release();
                    --mine[i];
                } else {
                    items[i]->AddRef();
                    ++mine[i];
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::set<uint16_t> expected;
    for (size_t i = 0; i < items.size(); ++i) {
        int count = 0;
        for (const std::vector<int>& mine : held) count += mine[i];
        EXPECT_EQ(items[i]->InUse(), count > 0);
        if (count > 0) expected.insert(items[i]->Address());
    }
    // The thread's own polls from now on: two whole passes at least. A poll
    // planned before the last release may still be running, and it reads
    // what it planned: the records start at a poll boundary, with the cycle
    // lock that the polling thread holds around each poll.
    {
        CCriticalSectionLock cycle(ch.CycleLock());
        ch.ClearRecords();
    }
    EXPECT_TRUE(ch.WaitForRequests(3 * expected.size(), std::chrono::milliseconds(5000)));
    ch.StopThread();
    std::set<uint16_t> read;
    for (const DeviceRequest& r : ch.Parsed()) {
        EXPECT_EQ(r.m_count, 1);
        read.insert(r.m_start);
    }
    EXPECT_EQ(read, expected);
    for (size_t i = 0; i < items.size(); ++i) {
        for (const std::vector<int>& mine : held) {
            for (int n = 0; n < mine[i]; ++n) items[i]->Release();
        }
    }
}
