// Reading through the device exchange: how items are merged into requests,
// how replies land in the items, and what a lost device does to them.
#include "app/CommEvents.h"
#include "config/LevelTag.h"
#include "platform/FileTime.h"
#include "polling/ExchangeFixture.h"

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const std::string kNoAnswer = "Нет ответа от устройства";
const std::string kLinkDown = "Нет связи";
const std::string kLinkUp = "Есть связь";

// (start, count) of every read the device saw.
std::vector<std::pair<uint16_t, uint16_t>> Reads(const ScriptedChannel& channel)
{
    std::vector<std::pair<uint16_t, uint16_t>> reads;
    for (const DeviceRequest& r : channel.Parsed()) {
        EXPECT_TRUE(r.m_valid);
        EXPECT_EQ(r.m_function, 3);
        reads.emplace_back(r.m_start, r.m_count);
    }
    return reads;
}

using Reads_t = std::vector<std::pair<uint16_t, uint16_t>>;

uint64_t Stamp(const CDATag* item)
{
    return FileTimeToUInt64(item->m_timeStamp);
}

}  // namespace

TEST_F(ExchangeTest, NeighboursMergeAndAGapStartsTheNextPass)
{
    ScriptedChannel& ch = AddChannel();
    CDATag* a = AddItem(ch, "PU_1.a", 10, kAccessRead, 39);  // low byte, 1 register
    CDATag* b = AddItem(ch, "PU_1.b", 11, kAccessRead, 2);   // 32 bits, 2 registers
    CDATag* c = AddItem(ch, "PU_1.c", 14, kAccessRead, 39);
    ch.SetRegister(10, 0x0011);
    ch.SetRegister(11, 0x5678);
    ch.SetRegister(12, 0x1234);
    ch.SetRegister(14, 0x00AB);
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(Reads(ch), (Reads_t{{10, 3}, {14, 1}}));
    EXPECT_EQ(a->m_value.vt, VT_UI1);
    EXPECT_EQ(a->m_value.bVal, 0x11);
    EXPECT_EQ(b->m_value.vt, VT_UI4);
    EXPECT_EQ(b->m_value.ulVal, 0x12345678u);
    EXPECT_EQ(c->m_value.bVal, 0xAB);
    for (const CDATag* item : {a, b, c}) {
        EXPECT_EQ(item->m_quality, OPC_QUALITY_GOOD);
        EXPECT_FALSE(item->TestBit(CDATag::kProcessedBit));
    }
    // The image keeps the raw register bytes.
    EXPECT_EQ(Bytes(b->RegisterImage(), b->RegisterImage() + 4), RegisterBytes({0x5678, 0x1234}));
    // The first good reply after start is logged once.
    EXPECT_EQ(EventTexts(), (std::vector<std::string>{kLinkUp}));
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(EventTexts().size(), 1u);
}

TEST_F(ExchangeTest, AccessModesAreNeverMerged)
{
    ScriptedChannel& ch = AddChannel();
    AddItem(ch, "g.r20", 20, kAccessRead, 39);
    AddItem(ch, "g.rw21", 21, kAccessReadWrite, 39);
    AddItem(ch, "g.r30", 30, kAccessRead, 39);
    AddItem(ch, "g.rw30", 30, kAccessReadWrite, 40);
    AddItem(ch, "g.r31", 31, kAccessRead, 39);
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(Reads(ch), (Reads_t{{20, 1}, {21, 1}, {30, 2}, {30, 1}}));
}

TEST_F(ExchangeTest, ARequestStopsAtOneHundredTwentyRegistersPlusTheLastItem)
{
    ScriptedChannel& ch = AddChannel();
    for (uint16_t r = 0; r < 130; ++r) {
        AddItem(ch, ("a.i" + std::to_string(r)).c_str(), static_cast<uint16_t>(1000 + r), kAccessRead, 39);
    }
    for (uint16_t r = 0; r < 119; ++r) {
        AddItem(ch, ("b.i" + std::to_string(r)).c_str(), static_cast<uint16_t>(2000 + r), kAccessRead, 39);
    }
    // 119 registers so far: this two-register item still joins.
    AddItem(ch, "b.long", 2119, kAccessRead, 2);
    for (uint16_t r = 0; r < 5; ++r) {
        AddItem(ch, ("b.j" + std::to_string(r)).c_str(), static_cast<uint16_t>(2121 + r), kAccessRead, 39);
    }
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(Reads(ch), (Reads_t{{1000, 120}, {1120, 10}, {2000, 121}, {2121, 5}}));
}

TEST_F(ExchangeTest, ARequestCoversEveryItemMergedIntoIt)
{
    // A three-register item followed by a one-register item inside it: the
    // request keeps the longer end.
    ScriptedChannel& ch = AddChannel();
    CDATag* wide = AddItem(ch, "g.wide", 50, kAccessRead, 4);
    CDATag* inner = AddItem(ch, "g.inner", 51, kAccessRead, 40);
    ch.SetRegister(50, 0xAABB);
    ch.SetRegister(51, 0xCCDD);
    ch.SetRegister(52, 0xEEFF);
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(Reads(ch), (Reads_t{{50, 3}}));
    EXPECT_EQ(wide->m_value.ulVal, 0xFFCCDDAAu);
    EXPECT_EQ(wide->m_quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(inner->m_value.bVal, 0xCC);
}

TEST_F(ExchangeTest, RegistersMissingFromAShortReplyAreNotDecoded)
{
    ScriptedChannel& ch = AddChannel();
    CDATag* a = AddItem(ch, "g.a", 10, kAccessRead, 39);
    CDATag* b = AddItem(ch, "g.b", 11, kAccessRead, 2);
    ch.SetRegister(10, 0x0001);
    ch.SetRegister(11, 0x0002);
    ch.SetRegister(12, 0x0003);
    ASSERT_EQ(ch.Exchange().Poll(), 0);
    ASSERT_EQ(b->m_value.ulVal, 0x00030002u);
    const uint64_t before = Stamp(b);

    ch.SetRegister(10, 0x0009);
    ch.SetRegister(11, 0x0008);
    ch.Script(DeviceAction::Fewer(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(a->m_value.bVal, 0x09);
    EXPECT_EQ(a->m_quality, OPC_QUALITY_GOOD);
    // b needs registers 11 and 12; only 11 came.
    EXPECT_EQ(b->m_value.ulVal, 0x00030002u);
    EXPECT_EQ(b->m_quality, OPC_QUALITY_UNCERTAIN);
    EXPECT_GT(Stamp(b), before);
    EXPECT_EQ(Bytes(b->RegisterImage(), b->RegisterImage() + 4), RegisterBytes({0x0002, 0x0003}));

    // A reply with no registers at all leaves every value.
    ch.Script(DeviceAction::Fewer(3));
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(a->m_value.bVal, 0x09);
    EXPECT_EQ(a->m_quality, OPC_QUALITY_UNCERTAIN);
    EXPECT_EQ(ch.RequestCount(), 3u);
}

TEST_F(ExchangeTest, AnExceptionReplyMakesThePassUncertainAndPollingGoesOn)
{
    ScriptedChannel& ch = AddChannel();
    CDATag* a = AddItem(ch, "g.a", 10, kAccessRead, 39);
    CDATag* b = AddItem(ch, "g.b", 20, kAccessRead, 39);
    ch.SetRegister(20, 0x0042);
    ch.Script(DeviceAction::Exception(2));
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(Reads(ch), (Reads_t{{10, 1}, {20, 1}}));
    EXPECT_EQ(a->m_quality, OPC_QUALITY_UNCERTAIN);
    EXPECT_FALSE(a->TestBit(CDATag::kProcessedBit));
    EXPECT_EQ(b->m_quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(b->m_value.bVal, 0x42);
}

TEST_F(ExchangeTest, NothingInUseSendsNothing)
{
    ScriptedChannel& ch = AddChannel();
    AddItem(ch, "g.a", 10, kAccessRead, 39, false);
    AddItem(ch, "g.pw", 2600, kAccessWrite, 2, true);  // in use, but not readable
    EXPECT_EQ(ch.Exchange().Poll(), 1);
    EXPECT_EQ(ch.RequestCount(), 0u);
    EXPECT_TRUE(EventTexts().empty());
}

TEST_F(ExchangeTest, ALostDeviceIsReportedOnceItsItemsGoBadAndTheChannelReopens)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_attempts = 3;
    ch.Exchange().SetRecoveryWaitMs(300);
    CDATag* used = AddItem(ch, "g.used", 10, kAccessRead, 39);
    CDATag* unused = AddItem(ch, "g.unused", 11, kAccessRead, 39, false);
    ch.SetRegister(10, 0x0077);
    ASSERT_EQ(ch.Exchange().Poll(), 0);
    ASSERT_EQ(used->m_value.bVal, 0x77);
    unused->SetQuality(OPC_QUALITY_GOOD);
    ch.ClearRecords();
    const int opens = ch.Opens();

    ch.Script({DeviceAction::Silence(), DeviceAction::Silence(), DeviceAction::Silence()});
    const auto start = Clock::now();
    EXPECT_EQ(ch.Exchange().Poll(), 1);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300 + 3 * 20));
    EXPECT_EQ(ch.RequestCount(), 3u);
    EXPECT_EQ(EventTexts(), (std::vector<std::string>{kLinkUp, kNoAnswer, kNoAnswer, kNoAnswer, kLinkDown}));
    // Every item of the channel, used or not, is bad and keeps its value.
    EXPECT_EQ(used->m_quality, OPC_QUALITY_BAD);
    EXPECT_EQ(unused->m_quality, OPC_QUALITY_BAD);
    EXPECT_EQ(used->m_value.bVal, 0x77);
    EXPECT_EQ(ch.Closes(), 1);
    EXPECT_EQ(ch.Opens(), opens + 1);
    EXPECT_EQ(ch.State(), kChannelOpen);
    EXPECT_TRUE(ch.Exchange().LinkReportedDown());

    // Still silent: no second "Нет связи".
    ch.Script({DeviceAction::Silence(), DeviceAction::Silence(), DeviceAction::Silence()});
    EXPECT_EQ(ch.Exchange().Poll(), 1);
    EXPECT_EQ(EventTexts().size(), 8u);
    EXPECT_EQ(EventTexts().back(), kNoAnswer);

    // Back again: "Есть связь" once.
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    std::vector<std::string> texts = EventTexts();
    ASSERT_EQ(texts.size(), 9u);
    EXPECT_EQ(texts.back(), kLinkUp);
    EXPECT_EQ(used->m_quality, OPC_QUALITY_GOOD);
    EXPECT_TRUE(ch.Exchange().LinkReportedUp());
}

TEST_F(ExchangeTest, AStopEndsTheFiveSecondWaitEarly)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_attempts = 1;
    AddItem(ch, "g.a", 10, kAccessRead, 39);
    ch.Script(DeviceAction::Silence());
    std::thread stopper([&ch] {
        ASSERT_TRUE(ch.WaitForRequests(1, std::chrono::milliseconds(5000)));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ch.ClearRunFlag();
    });
    const auto start = Clock::now();
    EXPECT_EQ(ch.Exchange().Poll(), 1);
    const auto took = Clock::now() - start;
    stopper.join();
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_EQ(EventTexts(), (std::vector<std::string>{kNoAnswer, kLinkDown}));
}

TEST_F(ExchangeTest, AClosedTransportIsReportedDownAndReopenedEveryPoll)
{
    ScriptedChannel& ch = AddChannel();
    ch.Exchange().SetRecoveryWaitMs(20);
    CDATag* a = AddItem(ch, "g.a", 10, kAccessRead, 39);
    ch.SetOpenFails(true);
    ch.Close();
    const int opens = ch.Opens();
    EXPECT_EQ(ch.Exchange().Poll(), 1);
    EXPECT_EQ(ch.Exchange().Poll(), 1);
    EXPECT_EQ(ch.RequestCount(), 0u);
    EXPECT_EQ(ch.Opens(), opens + 2);
    EXPECT_EQ(ch.State(), kChannelOpeningFailed);
    EXPECT_EQ(a->m_quality, OPC_QUALITY_BAD);
    EXPECT_EQ(EventTexts(), (std::vector<std::string>{kLinkDown}));

    ch.SetOpenFails(false);
    EXPECT_EQ(ch.Exchange().Poll(), 1);  // fails once more, then reopens
    EXPECT_EQ(ch.State(), kChannelOpen);
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(EventTexts(), (std::vector<std::string>{kLinkDown, kLinkUp}));
}

TEST_F(ExchangeTest, AStoppedChannelEndsThePollWithoutQualityOrLinkChanges)
{
    ScriptedChannel& ch = AddChannel();
    CDATag* a = AddItem(ch, "g.a", 10, kAccessRead, 39);
    ASSERT_EQ(ch.Exchange().Poll(), 0);
    ASSERT_EQ(a->m_quality, OPC_QUALITY_GOOD);
    const uint64_t stamp = Stamp(a);
    const int closes = ch.Closes();
    ch.Script({DeviceAction::Silence(), DeviceAction::Silence(), DeviceAction::Silence()});
    ch.OnRequest([&ch](size_t) { ch.ClearRunFlag(); });
    EXPECT_EQ(ch.Exchange().Poll(), 1);
    EXPECT_EQ(ch.RequestCount(), 2u);
    EXPECT_EQ(a->m_quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(Stamp(a), stamp);
    EXPECT_EQ(ch.Closes(), closes);
    EXPECT_EQ(EventTexts(), (std::vector<std::string>{kLinkUp, kNoAnswer}));
}

// A restart stops the thread and then closes the transport: a scan that
// comes in between finds a stopped channel, not a lost device, and leaves the
// port closed.
TEST_F(ExchangeTest, AStoppedAndClosedChannelIsNeitherReportedDownNorReopened)
{
    ScriptedChannel& ch = AddChannel();
    ch.Exchange().SetRecoveryWaitMs(20);
    CDATag* a = AddItem(ch, "g.a", 10, kAccessRead, 39);
    ASSERT_EQ(ch.Exchange().Poll(), 0);
    const uint64_t stamp = Stamp(a);
    ch.ClearRunFlag();
    ch.Close();
    const int opens = ch.Opens();
    HRESULT error = S_OK;
    EXPECT_EQ(ch.Exchange().ReadRequested(1, &a, &error), 1);
    EXPECT_EQ(ch.State(), kChannelClosed);
    EXPECT_EQ(ch.Opens(), opens);
    EXPECT_EQ(a->m_quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(Stamp(a), stamp);
    EXPECT_EQ(EventTexts(), (std::vector<std::string>{kLinkUp}));
}

TEST_F(ExchangeTest, ReadRequestedRefusesItemsWithoutReadRights)
{
    ScriptedChannel& ch = AddChannel();
    ScriptedChannel& other = AddChannel(kKindChannelCOM, "Vireo-2_2");
    CDATag* a = AddItem(ch, "g.a", 10, kAccessRead, 39, false);
    CDATag* w = AddItem(ch, "g.w", 11, kAccessWrite, 39, false);
    CDATag* foreign = AddItem(other, "g.x", 12, kAccessRead, 39, false);
    ch.SetRegister(10, 0x0005);
    CDATag* items[] = {a, w, foreign, nullptr, a};
    HRESULT errors[] = {0, 0, 0x1234, 0x5678, 0};
    EXPECT_EQ(ch.Exchange().ReadRequested(5, items, errors), 0);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_BADRIGHTS);
    EXPECT_EQ(errors[2], 0x1234);
    EXPECT_EQ(errors[3], 0x5678);
    EXPECT_EQ(errors[4], S_OK);
    // One read, although the item was asked for twice; items need not be in use.
    EXPECT_EQ(Reads(ch), (Reads_t{{10, 1}}));
    EXPECT_EQ(a->m_value.bVal, 0x05);
    EXPECT_EQ(other.RequestCount(), 0u);
}

TEST_F(ExchangeTest, TcpChannelsReadInTcpFramingFromTheirSlaveAddress)
{
    ScriptedChannel& ch = AddChannel(kKindChannelTCP);
    ch.Settings().m_slaveAddress = 17;
    CDATag* a = AddItem(ch, "g.a", 300, kAccessRead, 1);
    ch.SetRegister(300, 0xBEEF);
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    ASSERT_EQ(ch.Wire().size(), 1u);
    const Bytes frame = ch.Wire()[0];
    ASSERT_EQ(frame.size(), 12u);
    EXPECT_EQ(frame[6], 17);
    EXPECT_EQ(a->m_value.uiVal, 0xBEEF);
}

TEST_F(ExchangeTest, AnItemTakenByAClientIsPolledFromTheNextPollOn)
{
    ScriptedChannel& ch = AddChannel();
    CDATag* a = AddItem(ch, "g.a", 10, kAccessRead, 39, false);
    EXPECT_EQ(ch.Exchange().Poll(), 1);
    EXPECT_EQ(ch.Exchange().Poll(), 1);
    EXPECT_EQ(ch.RequestCount(), 0u);

    a->AddRef();
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(ch.RequestCount(), 1u);
    a->Release();
    EXPECT_EQ(ch.Exchange().Poll(), 1);
    EXPECT_EQ(ch.RequestCount(), 1u);

    a->AddRef();
    a->AddRef();
    a->Release();
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(ch.RequestCount(), 2u);

    // An item already in use when it is collected is polled too.
    ch.Teardown();
    CDATag* c = ch.CreatePath("g.c")->Item();
    c->Setup(30, kAccessRead, 39);
    c->AddRef();
    EXPECT_EQ(ch.Exchange().Poll(), 1);  // nothing collected: the next poll would not look
    ch.Exchange().AddItem(c);
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(Reads(ch).back(), std::make_pair(uint16_t{30}, uint16_t{1}));
}

TEST_F(ExchangeTest, ItemsTakenInAnyOrderAreReadInAddressOrderWithOneStampPerReply)
{
    ScriptedChannel& ch = AddChannel();
    // Collected in one order, taken by the client in another: neither may
    // decide the requests.
    CDATag* c = AddItem(ch, "PU_1.c", 40, kAccessRead, 39, false);
    CDATag* a = AddItem(ch, "PU_1.a", 10, kAccessRead, 39, false);
    CDATag* b = AddItem(ch, "PU_1.b", 11, kAccessRead, 2, false);
    CDATag* d = AddItem(ch, "PU_1.d", 41, kAccessRead, 39, false);
    for (CDATag* item : {d, b, c, a}) item->AddRef();
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(Reads(ch), (Reads_t{{10, 3}, {40, 2}}));
    EXPECT_EQ(Stamp(a), Stamp(b));
    EXPECT_EQ(Stamp(c), Stamp(d));
    EXPECT_LE(Stamp(a), Stamp(c));
    for (CDATag* item : {a, b, c, d}) item->Release();
}

TEST_F(ExchangeTest, ALetGoItemLeavesThePollAndComesBackWhenTakenAgain)
{
    ScriptedChannel& ch = AddChannel();
    CDATag* a = AddItem(ch, "PU_1.a", 10, kAccessRead, 39);
    CDATag* b = AddItem(ch, "PU_1.b", 11, kAccessRead, 39);
    CDATag* c = AddItem(ch, "PU_1.c", 12, kAccessRead, 39);
    CDATag* w = AddItem(ch, "PU_1.w", 13, kAccessWrite, 39);  // in use, never read
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(Reads(ch), (Reads_t{{10, 3}}));

    ch.ClearRecords();
    b->Release();
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(Reads(ch), (Reads_t{{10, 1}, {12, 1}}));

    ch.ClearRecords();
    b->AddRef();
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(Reads(ch), (Reads_t{{10, 3}}));

    // Let go and taken again between two polls: still polled, once.
    ch.ClearRecords();
    c->Release();
    c->AddRef();
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    EXPECT_EQ(Reads(ch), (Reads_t{{10, 3}}));

    // Only the write item left in use: the channel goes idle.
    ch.ClearRecords();
    for (CDATag* item : {a, b, c}) item->Release();
    EXPECT_EQ(ch.Exchange().Poll(), 1);
    EXPECT_TRUE(ch.Exchange().NothingInUse());
    EXPECT_EQ(ch.RequestCount(), 0u);
    EXPECT_TRUE(w->InUse());
}

TEST_F(ExchangeTest, ItemsLetGoByATeardownAreNeverPolledAgain)
{
    ScriptedChannel& ch = AddChannel();
    CDATag* a = AddItem(ch, "PU_1.a", 10, kAccessRead, 39);
    EXPECT_EQ(ch.Exchange().Poll(), 0);
    {
        CCriticalSectionLock lock(ch.ExchangeLock());
        ch.Exchange().ClearItems();
    }
    // A client reference after the channel let go of its items lists nothing.
    a->Release();
    a->AddRef();
    EXPECT_EQ(a->Exchange(), nullptr);
    ch.ClearRecords();
    EXPECT_EQ(ch.Exchange().Poll(), 1);
    EXPECT_EQ(ch.RequestCount(), 0u);
    a->Release();
}
