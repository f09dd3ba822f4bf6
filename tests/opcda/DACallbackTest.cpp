// The DA callback behind the toolkit's in-process client: channel "Vireo-2_1"
// on the kit simulator over TCP and, for a device that never answers, a
// scripted channel.
#include "ZellDAClient.h"
#include "opcda/DACallback.h"
#include "opcda/SimChannelFixture.h"
#include "platform/FileTime.h"
#include "platform/TaskMem.h"
#include "support/ScopedEnv.h"
#include "support/WaitFor.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr CLSID kClsid = {0x5D1E8A42, 0x7C3B, 0x4F06, {0x9A, 0x2D, 0x1B, 0x8E, 0x6F, 0x0C, 0x4A, 0x37}};
const std::string kWord = "PU_1.const_data_contr_num";  // VT_UI2, read only
const std::string kKernel = "MyPin.kernel_version";     // the low byte of register 516
const std::string kPassword = "MyPin.Write_Password";   // write only
const std::string kCommand = "MyPin.Pribor_Comm1.Command";

std::string Id(const std::string& tail, const char* channel = "Vireo-2_1")
{
    return std::string(CLevelRoot::kRootName) + "." + channel + "." + tail;
}

CDAVariant Value(VARTYPE vt, int32_t number, const char16_t* text = nullptr)
{
    CDAVariant v;
    v.Get().vt = vt;
    v.Get().lVal = number;
    if (vt == VT_BSTR) v.Get().bstrVal = SysAllocString(text);
    return v;
}

// A fresh singleton whose DA callback serves the toolkit, a client with one
// group, DA traces at level 2; SimChannel adds the simulator's channel.
class DACallbackTest : public SimChannelTest {
   protected:
    void SetUp() override
    {
        SimChannelTest::SetUp();
        App().DebugLog()->ApplySettings("DBG_DA=2");
        ASSERT_EQ(SetCallbackObject(&Callback()), S_OK);
        ASSERT_TRUE(StartDAServer(nullptr, &kClsid));
        uint32_t rate = 0;
        ASSERT_EQ(m_client.Connect("test"), S_OK);
        ASSERT_EQ(m_client.AddGroup("g", true, 1000, 1, &m_group, &rate), S_OK);
    }
    void TearDown() override
    {
        m_client.Disconnect();
        StopDAServer();
        SetCallbackObject(nullptr);
        SimChannelTest::TearDown();  // the channels leave the toolkit with the singleton
    }

    // Polled every pollMs when given, else not polled (its poll period 250 ms).
    CLevelChannel& SimChannel(int pollMs = -1)
    {
        CLevelChannel& channel = AddSimChannel(
            [&](CLevelChannel& c) { c.Settings().m_pollPeriod = pollMs < 0 ? 250 : uint32_t(pollMs); });
        EXPECT_TRUE(pollMs < 0 || channel.StartThread() == 1);
        return channel;
    }
    CDATag* Item(const std::string& id)
    {
        CCriticalSectionLock lock(App().ConfigurationLock());
        return Callback().FindItem(id.c_str());
    }
    uint32_t AddOne(const std::string& id)
    {
        std::vector<DAItemResult> results;
        EXPECT_EQ(m_client.AddItems(m_group, {{id}}, &results), S_OK) << id;
        return results.at(0).serverHandle;
    }
    CDACallback& Callback() { return App().DACallback(); }

    CDAClient m_client;
    uint32_t m_group = 0;
};

TEST_F(DACallbackTest, AddAndValidateAnswerEveryEntry)
{
    SimChannel();
    const std::string word = Id(kWord), unknown = Id("PU_1.nothing"), group = Id("PU_1");
    const char* ids[] = {
        word.c_str(), word.c_str(), word.c_str(), unknown.c_str(), group.c_str(), nullptr, ""};
    const VARTYPE types[] = {VT_EMPTY, VT_UI2, VT_R8, VT_EMPTY, VT_EMPTY, VT_EMPTY, VT_EMPTY};
    const HRESULT expected[] = {
        S_OK, S_OK, OPC_E_BADTYPE, OPC_E_UNKNOWNITEMID, OPC_E_UNKNOWNITEMID, E_INVALIDARG, E_INVALIDARG};
    HRESULT errors[7];
    COPCTag* tags[7];
    CDATag* item = Item(word);
    EXPECT_EQ(Callback().ValidateTag(0, 7, ids, nullptr, types, errors), S_FALSE);
    EXPECT_FALSE(item->InUse());
    EXPECT_TRUE(std::equal(errors, errors + 7, expected));

    item->m_timeStamp = UInt64ToFileTime(1);
    EXPECT_EQ(Callback().AddTag(0, 7, ids, nullptr, types, tags, errors), S_FALSE);
    EXPECT_TRUE(std::equal(errors, errors + 7, expected));
    for (size_t i = 0; i < 7; ++i) EXPECT_EQ(tags[i], expected[i] == S_OK ? item : nullptr) << i;
    // The first reference stamps the item; a later client finds it in use.
    const uint64_t stamped = FileTimeToUInt64(item->m_timeStamp);
    EXPECT_GT(stamped, 1u);
    EXPECT_EQ(Callback().AddTag(0, 1, ids, nullptr, types, tags, errors), S_OK);
    EXPECT_EQ(FileTimeToUInt64(item->m_timeStamp), stamped);
    for (int held = 3; held > 0; --held) {
        EXPECT_TRUE(item->InUse());
        EXPECT_EQ(Callback().RemoveTag(0, 1, tags), S_OK);
    }
    EXPECT_FALSE(item->InUse());
    EXPECT_EQ(Callback().RemoveTag(0, 0, tags), E_INVALIDARG);
    EXPECT_EQ(Callback().RemoveTag(0, 1, nullptr), S_FALSE);
    EXPECT_EQ(
        TraceLines(),
        (std::vector<std::string>{
            "CDACallBack::ValidateTag <7>", "CDACallback::AddTag(7)", "CDACallback::AddTag OPC_E_BADTYPE",
            "CDACallback::AddTag OPC_E_UNKNOWNITEMID", "CDACallback::AddTag OPC_E_UNKNOWNITEMID",
            "CDACallback::AddTag(1)", "CDACallback::RemoveTag <1>", "CDACallback::RemoveTag <1>",
            "CDACallback::RemoveTag <1>", "CDACallback::RemoveTag <0>", "CDACallback::RemoveTag <1>"}));
    // Refusals are level 2, requests level 1.
    App().DebugLog()->ApplySettings("DBG_DA=1");
    EXPECT_EQ(Callback().AddTag(0, 1, ids + 2, nullptr, types + 2, tags, errors), S_FALSE);
    EXPECT_EQ(TraceLines().back(), "CDACallback::AddTag(1)");
}

TEST_F(DACallbackTest, ClientSeesTheCallbacksAnswers)
{
    SimChannel();
    std::vector<DAItemResult> results;
    EXPECT_EQ(m_client.AddItems(m_group, {{Id(kWord), VT_UI2}, {Id(kWord), VT_R8}}, &results), S_FALSE);
    EXPECT_EQ(results[1].error, OPC_E_BADTYPE);
    std::vector<DAItemAttributes> attributes;
    ASSERT_EQ(m_client.GetItemAttributes(m_group, &attributes), S_OK);
    EXPECT_EQ(attributes.at(0).itemId, Id(kWord));
    EXPECT_EQ(Callback().GetTagItemID(nullptr), nullptr);
    DAServerStatus status;
    ASSERT_EQ(m_client.GetStatus(&status), S_OK);
    EXPECT_EQ(status.vendorInfo, "LLC SPC ZELL");
    uint32_t group = 0, rate = 0;
    EXPECT_EQ(m_client.AddGroup("fastest", true, 0, 2, &group, &rate), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(rate, 1000u);
}

TEST_F(DACallbackTest, RemovedItemsAreNoLongerPolled)
{
    CLevelChannel& channel = SimChannel(20);
    const uint32_t handle = AddOne(Id(kKernel));
    const uint64_t before = SimCount("requests");
    EXPECT_TRUE(WaitFor([&] { return SimCount("requests") >= before + 3; })) << "not polled";
    std::vector<HRESULT> errors;
    ASSERT_EQ(m_client.RemoveItems(m_group, {handle}, &errors), S_OK);
    EXPECT_FALSE(Item(Id(kKernel))->InUse());
    ASSERT_TRUE(WaitFor([&] { return channel.Exchange().NothingInUse(); }));
    const uint64_t after = SimCount("requests");
    std::this_thread::sleep_for(200ms);  // ten poll periods
    EXPECT_EQ(SimCount("requests"), after);
}

TEST_F(DACallbackTest, PropertiesOfAnItemNeverRead)
{
    CScopedEnv zone("TZ", "MSK-3");  // local time is not UTC here
    SimChannel();
    const std::string id = Id(kWord);
    SYSTEMTIME setUp;
    DATE setUpDate = 0;
    ASSERT_TRUE(FileTimeToLocalSystemTime(Item(id)->m_timeStamp, &setUp) &&
                SystemTimeToVariantDate(setUp, &setUpDate));
    std::vector<CDAVariant> values;
    std::vector<HRESULT> errors;
    EXPECT_EQ(m_client.GetItemProperties(id.c_str(), {1, 2, 3, 4, 5, 6, 7}, &values, &errors), S_FALSE);
    const VARTYPE types[] = {VT_I2, VT_UI2, VT_I2, VT_DATE, VT_I4, VT_R4, VT_EMPTY};
    for (size_t i = 0; i < 7; ++i) EXPECT_EQ(values[i].Get().vt, types[i]) << "property " << i + 1;
    EXPECT_EQ(values[0].Get().iVal, VT_UI2);
    EXPECT_EQ(values[2].Get().iVal, OPC_QUALITY_UNCERTAIN);
    EXPECT_NEAR(values[3].Get().date, setUpDate, 1e-6);  // within 0.1 s, not 3 h
    EXPECT_EQ(values[4].Get().lVal, int32_t(OPC_READABLE));
    EXPECT_EQ(values[5].Get().fltVal, 250.0f);
    EXPECT_EQ(errors[6], OPC_E_INVALID_PID);

    const char* names[] = {"Item Canonical DataType", "Item Value",       "Item Quality",    "Item Timestamp",
                           "Item Access Rights",      "Server Scan Rate", "Item Description"};
    std::vector<DAProperty> available;
    ASSERT_EQ(m_client.QueryAvailableProperties(id.c_str(), &available), S_OK);
    ASSERT_EQ(available.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(available[i].id, i + 1);
        EXPECT_EQ(available[i].description, names[i]);
        EXPECT_EQ(available[i].type, types[i]);
    }
    std::vector<std::string> texts;
    EXPECT_EQ(m_client.LookupItemIDs(id.c_str(), {1, 2, 3, 4, 5, 6, 101, 7}, &texts, &errors), S_FALSE);
    EXPECT_TRUE(std::equal(names, names + 7, texts.begin()));
    EXPECT_EQ(errors[7], S_FALSE);
    // Never let through by the toolkit's own checks.
    uint32_t ids[] = {1};
    VARIANT value;
    EXPECT_EQ(Callback().GetItemProperties(nullptr, 1, ids, &value, errors.data()), S_FALSE);
    EXPECT_EQ(Callback().GetItemProperties(id.c_str(), 0, ids, &value, errors.data()), E_INVALIDARG);
    EXPECT_EQ(Callback().LookupItemIDs(id.c_str(), 0, ids, nullptr, errors.data()), E_INVALIDARG);
    const std::vector<std::string> lines = TraceLines();
    EXPECT_EQ(
        std::vector<std::string>(lines.begin(), lines.begin() + 4),
        (std::vector<std::string>{
            "CDACallback::GetItemProperties(" + id + ")", "CDACallback::QueryNumProperties(" + id + ")",
            "CDACallback::QueryAvailableProperties(" + id + ")", "CDACallback::LookupItemIDs(" + id + ")"}));
}

TEST_F(DACallbackTest, ScanReadsTheDeviceNow)
{
    SimChannel();
    const uint32_t kernel = AddOne(Id(kKernel));
    for (uint16_t reg : {0x1234, 0x0A5B}) {
        Sim("set 516 " + std::to_string(reg));
        std::vector<DAItemState> states;
        ASSERT_EQ(m_client.Read(m_group, DADataSource::Device, {kernel}, &states), S_OK);
        EXPECT_EQ(states[0].value.Get().bVal, reg & 0xFF);
        EXPECT_EQ(states[0].quality, OPC_QUALITY_GOOD);
    }
    COPCTag* tags[] = {Item(Id(kPassword)), Item(Id(kKernel))};
    HRESULT errors[2];
    EXPECT_EQ(Callback().Scan(2, tags, errors), S_OK);
    EXPECT_EQ(errors[0], OPC_E_BADRIGHTS);
    EXPECT_EQ(errors[1], S_OK);
    EXPECT_EQ(TraceLines().back(), "CDACallBack::Scan <2>");
    EXPECT_EQ(Callback().Scan(0, tags, errors), E_INVALIDARG);
}

TEST_F(DACallbackTest, WritesReachTheSimulatorInOrder)
{
    SimChannel();
    struct Step {
        std::string tail;
        CDAVariant value;
        HRESULT entry;
        uint64_t requests, accepted, refused;  // sent by this write; commands so far
    } const steps[] = {
        {kCommand, Value(VT_UI1, 5), E_FAIL, 3, 0, 1},  // the password item still holds 0
        {kPassword, Value(VT_UI4, 1234), S_OK, 0, 0, 1},
        {kCommand, Value(VT_UI1, 5), S_OK, 2, 1, 1},  // the password goes first
        {"MyPin.Pin_Control_17", Value(VT_BOOL, VARIANT_TRUE), S_OK, 3, 2, 1},
        {"MyPin.Pribor_Comm2.Command", Value(VT_BSTR, 0, u"five"), OPC_E_BADTYPE, 0, 2, 1},
        {kKernel, Value(VT_UI1, 1), OPC_E_BADRIGHTS, 0, 2, 1},
    };
    for (const Step& step : steps) {
        const uint32_t handle = AddOne(Id(step.tail));
        const uint64_t before = SimCount("requests");
        std::vector<HRESULT> errors;
        EXPECT_EQ(m_client.Write(m_group, {handle}, {step.value}, &errors),
                  step.entry == S_OK ? S_OK : S_FALSE);
        EXPECT_EQ(errors[0], step.entry) << step.tail;
        EXPECT_EQ(SimCount("requests") - before, step.requests) << step.tail;
        EXPECT_EQ(SimCount("accepted"), step.accepted) << step.tail;
        EXPECT_EQ(SimCount("refused"), step.refused) << step.tail;
    }
    EXPECT_EQ(Sim("get 2000 2"), "5 0");
    EXPECT_EQ(Sim("get 2501"), "1");
}

TEST_F(DACallbackTest, WriteToASilentDeviceFails)
{
    SimChannel();
    ScriptedChannel& silent = AddChannel(kKindChannelCOM, "Vireo-2_2");
    silent.SetSilentEvery(1);
    silent.Exchange().SetRecoveryWaitMs(0);
    ASSERT_EQ(silent.Build(), 1);
    const std::vector<uint32_t> handles = {AddOne(Id(kPassword)), AddOne(Id(kPassword, "Vireo-2_2")),
                                           AddOne(Id(kCommand)), AddOne(Id(kCommand, "Vireo-2_2"))};
    const CDAVariant password = Value(VT_UI4, 1234), command = Value(VT_UI1, 7);
    std::vector<HRESULT> errors;
    EXPECT_EQ(m_client.Write(m_group, handles, {password, password, command, command}, &errors), S_FALSE);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, S_OK, S_OK, E_FAIL}));
    EXPECT_EQ(SimCount("accepted"), 1u);
    // The callback's own answer; an item that no channel holds reaches no device either.
    CDATag orphan;
    orphan.Setup(2000, kAccessReadWrite, 39);
    COPCTag* tags[] = {Item(Id(kCommand)), &orphan};
    const VARIANT values[] = {command.Get(), command.Get()};
    EXPECT_EQ(Callback().Write(1, tags, values, errors.data()), S_OK);
    EXPECT_EQ(Callback().Write(2, tags, values, errors.data()), S_FALSE);
    EXPECT_EQ(errors[1], E_FAIL);
    EXPECT_EQ(TraceLines().back(), "CDACallBack::Write <2>");
    EXPECT_EQ(Callback().Write(1, tags, nullptr, errors.data()), E_INVALIDARG);
}

TEST_F(DACallbackTest, ClientsAddScanWriteAndRemoveWhileTheChannelPolls)
{
    SimChannel(20);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 1; t <= 4; ++t) {
        threads.emplace_back([&, t] {
            CDAClient client;
            uint32_t group = 0, rate = 0;
            std::vector<DAItemResult> a;
            std::vector<DAItemState> states;
            std::vector<HRESULT> errors;
            const std::string command = Id("MyPin.Pribor_Comm" + std::to_string(t) + ".Command");
            bool ok = client.Connect("worker") == S_OK &&
                      client.AddGroup(nullptr, true, 1000, 0, &group, &rate) == S_OK;
            for (int round = 0; ok && round < 10; ++round) {
                ok = client.AddItems(group, {{Id(kPassword)}, {command}, {Id(kKernel)}}, &a) == S_OK &&
                     client.Read(group, DADataSource::Device, {a[2].serverHandle}, &states) == S_OK &&
                     client.Write(group, {a[0].serverHandle, a[1].serverHandle},
                                  {Value(VT_UI4, 1234), Value(VT_UI1, round)}, &errors) == S_OK &&
                     client.RemoveItems(group, {a[0].serverHandle, a[1].serverHandle, a[2].serverHandle},
                                        &errors) == S_OK;
            }
            if (!ok) ++failures;
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_FALSE(Item(Id(kKernel))->InUse());
    EXPECT_EQ(SimCount("accepted"), 40u);
}

}  // namespace
