// The in-process client: items through the callback, reads, writes, properties.

#include "FakeProgram.h"

#include <gtest/gtest.h>

namespace {

class ClientTest : public ::testing::Test, public ToolkitFixture {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_started);
        m_a = m_program.Add(Id("Ch1.PU_1.a"), VT_UI2);
        m_b = m_program.Add(Id("Ch1.PU_1.b"), VT_UI4);
        m_ro = m_program.Add(Id("Ch1.PU_1.ro"), VT_UI2, OPC_READABLE);
        m_wo = m_program.Add(Id("Ch1.PU_1.wo"), VT_UI2, OPC_WRITEABLE);
        m_other = m_program.Add(Id("Ch2.PU_1.a"), VT_UI2);
        ASSERT_EQ(m_client.Connect("client"), S_OK);
        uint32_t rate;
        ASSERT_TRUE(SUCCEEDED(m_client.AddGroup("g", true, 100, 7, &m_group, &rate)));
    }
    uint32_t AddOne(const std::string& id, VARTYPE type = VT_EMPTY)
    {
        std::vector<DAItemResult> r;
        EXPECT_EQ(m_client.AddItems(m_group, {{id, type, true, 42}}, &r), S_OK) << id;
        return r.empty() ? 0 : r[0].serverHandle;
    }
    CDAClient m_client;
    uint32_t m_group = 0;
    CFakeTag *m_a, *m_b, *m_ro, *m_wo, *m_other;
};

TEST_F(ClientTest, AddItemsTakesReferencesAndReportsPerEntry)
{
    std::vector<DAItemResult> results;
    HRESULT hr = m_client.AddItems(m_group,
                                   {{Id("Ch1.PU_1.a")},
                                    {Id("Ch1.PU_1.b"), VT_UI4},
                                    {Id("Ch1.PU_1.b"), VT_R8},  // the program refuses the type
                                    {Id("Ch1.PU_1.nope")},
                                    {""}},
                                   &results);
    EXPECT_EQ(hr, S_FALSE);
    ASSERT_EQ(results.size(), 5u);
    EXPECT_EQ(results[0].error, S_OK);
    EXPECT_EQ(results[0].canonicalType, VT_UI2);
    EXPECT_EQ(results[0].accessRights, OPC_READABLE | OPC_WRITEABLE);
    EXPECT_NE(results[0].serverHandle, 0u);
    EXPECT_EQ(results[1].error, S_OK);
    EXPECT_EQ(results[1].canonicalType, VT_UI4);
    EXPECT_NE(results[1].serverHandle, results[0].serverHandle);
    EXPECT_EQ(results[2].error, OPC_E_BADTYPE);
    EXPECT_EQ(results[2].serverHandle, 0u);
    EXPECT_EQ(results[3].error, OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(results[4].error, E_INVALIDARG);
    EXPECT_TRUE(m_a->InUse());
    EXPECT_TRUE(m_b->InUse());
    EXPECT_FALSE(m_ro->InUse());

    std::vector<HRESULT> errors;
    EXPECT_EQ(m_client.RemoveItems(m_group, {results[0].serverHandle, 999999}, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
    EXPECT_FALSE(m_a->InUse());
    EXPECT_TRUE(m_b->InUse());
    EXPECT_EQ(m_client.AddItems(m_group, {}, &results), E_INVALIDARG);
}

TEST_F(ClientTest, UnknownIdsNeverReachTheProgram)
{
    int before = m_program.m_calls.load();
    std::vector<DAItemResult> results;
    EXPECT_EQ(m_client.AddItems(m_group, {{Id("Ch1.PU_1")}, {Id("Ch9.x")}, {""}}, &results), S_FALSE);
    EXPECT_EQ(results[0].error, OPC_E_UNKNOWNITEMID);  // a branch is not an item
    EXPECT_EQ(results[1].error, OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(results[2].error, E_INVALIDARG);
    std::vector<DAProperty> props;
    EXPECT_EQ(m_client.QueryAvailableProperties(Id("Ch9.x").c_str(), &props), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(m_client.QueryAvailableProperties(nullptr, &props), E_INVALIDARG);
    EXPECT_EQ(m_client.QueryAvailableProperties("", &props), E_INVALIDARG);
    EXPECT_EQ(m_program.m_calls.load(), before);
}

TEST_F(ClientTest, ValidateChecksWithoutTakingReferences)
{
    std::vector<DAItemResult> results;
    EXPECT_EQ(m_client.ValidateItems(m_group, {{Id("Ch1.PU_1.a")}, {Id("Ch1.PU_1.a"), VT_R8}}, &results),
              S_FALSE);
    EXPECT_EQ(results[0].error, S_OK);
    EXPECT_EQ(results[1].error, OPC_E_BADTYPE);
    EXPECT_EQ(results[0].serverHandle, 0u);
    EXPECT_FALSE(m_a->InUse());
}

TEST_F(ClientTest, ItemAttributesNameItemsAsTheProgramDoes)
{
    uint32_t a = AddOne(Id("Ch1.PU_1.a"));
    uint32_t b = AddOne(Id("Ch1.PU_1.b"), VT_UI4);
    m_a->m_id = "the program's own name";
    std::vector<DAItemAttributes> items;
    ASSERT_EQ(m_client.GetItemAttributes(m_group, &items), S_OK);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].serverHandle, a);
    EXPECT_EQ(items[0].itemId, "the program's own name");
    EXPECT_EQ(items[0].requestedType, VT_EMPTY);
    EXPECT_EQ(items[1].serverHandle, b);
    EXPECT_EQ(items[1].itemId, Id("Ch1.PU_1.b"));
    EXPECT_EQ(items[1].clientHandle, 42u);
    EXPECT_EQ(items[1].requestedType, VT_UI4);
    EXPECT_EQ(items[1].canonicalType, VT_UI4);
    EXPECT_EQ(items[1].accessRights, OPC_READABLE | OPC_WRITEABLE);
    EXPECT_TRUE(items[1].accessPath.empty());

    std::vector<HRESULT> errors;
    ASSERT_EQ(m_client.RemoveItems(m_group, {a, b}, &errors), S_OK);
    EXPECT_EQ(m_client.GetItemAttributes(m_group, &items), S_FALSE);
    EXPECT_EQ(m_client.GetItemAttributes(m_group + 1000, &items), OPC_E_INVALIDHANDLE);
}

TEST_F(ClientTest, CacheReadTakesTheItemMembers)
{
    uint32_t a = AddOne(Id("Ch1.PU_1.a"));
    uint32_t wo = AddOne(Id("Ch1.PU_1.wo"));
    m_program.Set(m_a, 1234);
    std::vector<DAItemState> states;
    EXPECT_EQ(m_client.Read(m_group, DADataSource::Cache, {a, wo, 31337}, &states), S_FALSE);
    ASSERT_EQ(states.size(), 3u);
    EXPECT_EQ(states[0].error, S_OK);
    EXPECT_EQ(states[0].clientHandle, 42u);
    EXPECT_EQ(states[0].value.Get().vt, VT_UI2);
    EXPECT_EQ(states[0].value.Get().uiVal, 1234);
    EXPECT_EQ(states[0].quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(FileTimeToUInt64(states[0].timeStamp), FileTimeToUInt64(m_a->m_timeStamp));
    EXPECT_EQ(states[1].error, OPC_E_BADRIGHTS);
    EXPECT_EQ(states[2].error, OPC_E_INVALIDHANDLE);
    EXPECT_EQ(m_program.m_scans.load(), 0);

    // Inactive items report out of service from the cache.
    std::vector<HRESULT> errors;
    ASSERT_EQ(m_client.SetActiveState(m_group, {a}, false, &errors), S_OK);
    ASSERT_EQ(m_client.Read(m_group, DADataSource::Cache, {a}, &states), S_OK);
    EXPECT_EQ(states[0].quality, OPC_QUALITY_OUT_OF_SERVICE);
    ASSERT_EQ(m_client.SetActiveState(m_group, {a}, true, &errors), S_OK);
    ASSERT_EQ(m_client.SetGroupActive(m_group, false), S_OK);
    ASSERT_EQ(m_client.Read(m_group, DADataSource::Cache, {a}, &states), S_OK);
    EXPECT_EQ(states[0].quality, OPC_QUALITY_OUT_OF_SERVICE);
}

TEST_F(ClientTest, DeviceReadScansFirst)
{
    uint32_t a = AddOne(Id("Ch1.PU_1.a"));
    uint32_t wo = AddOne(Id("Ch1.PU_1.wo"));
    m_program.Set(m_a, 10);
    std::vector<DAItemState> states;
    EXPECT_EQ(m_client.Read(m_group, DADataSource::Device, {a, wo}, &states), S_FALSE);
    EXPECT_EQ(m_program.m_scans.load(), 1);
    EXPECT_EQ(states[0].error, S_OK);
    EXPECT_EQ(states[0].value.Get().uiVal, 11);  // the fake device counts up on every scan
    EXPECT_EQ(states[1].error, OPC_E_BADRIGHTS);
}

TEST_F(ClientTest, WriteHandsValuesToTheProgram)
{
    uint32_t a = AddOne(Id("Ch1.PU_1.a"));
    uint32_t ro = AddOne(Id("Ch1.PU_1.ro"));
    std::vector<CDAVariant> values(2);
    values[0].Get().vt = VT_I4;
    values[0].Get().lVal = 77;
    values[1].Get().vt = VT_I4;
    values[1].Get().lVal = 88;
    std::vector<HRESULT> errors;
    EXPECT_EQ(m_client.Write(m_group, {a, ro}, values, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_BADRIGHTS);
    ASSERT_EQ(m_program.m_written.size(), 1u);
    EXPECT_EQ(m_program.m_written[0], std::make_pair(Id("Ch1.PU_1.a"), 77));
    EXPECT_EQ(m_client.Write(m_group, {a, ro}, std::vector<CDAVariant>(1), &errors), E_INVALIDARG);
    EXPECT_EQ(m_client.Write(m_group + 1000, {a}, std::vector<CDAVariant>(1), &errors), OPC_E_INVALIDHANDLE);
}

TEST_F(ClientTest, PropertiesPassThroughTheCallback)
{
    std::string id = Id("Ch1.PU_1.b");
    std::vector<DAProperty> props;
    ASSERT_EQ(m_client.QueryAvailableProperties(id.c_str(), &props), S_OK);
    ASSERT_EQ(props.size(), 2u);
    EXPECT_EQ(props[0].id, 1u);
    EXPECT_EQ(props[0].description, "Item Canonical DataType");
    EXPECT_EQ(props[1].type, VT_UI4);

    {
        CCriticalSectionLock lock(m_program.ItemLock());
        m_b->m_value.ulVal = 0xDEADBEEF;
    }
    std::vector<CDAVariant> values;
    std::vector<HRESULT> errors;
    EXPECT_EQ(m_client.GetItemProperties(id.c_str(), {1, 2, 7}, &values, &errors), S_FALSE);
    EXPECT_EQ(values[0].Get().iVal, VT_UI4);
    EXPECT_EQ(values[1].Get().ulVal, 0xDEADBEEFu);
    EXPECT_EQ(errors[2], OPC_E_INVALID_PID);
    EXPECT_EQ(m_client.GetItemProperties(id.c_str(), {}, &values, &errors), E_INVALIDARG);

    std::vector<std::string> texts;
    EXPECT_EQ(m_client.LookupItemIDs(id.c_str(), {101, 7}, &texts, &errors), S_FALSE);
    EXPECT_EQ(texts[0], "Item Description");
    EXPECT_EQ(errors[1], 1);
    EXPECT_EQ(m_client.LookupItemIDs(Id("Ch1.none").c_str(), {101}, &texts, &errors), OPC_E_UNKNOWNITEMID);
}

TEST_F(ClientTest, GroupsHaveUniqueNamesAndRevisedRates)
{
    uint32_t g, rate;
    EXPECT_EQ(m_client.AddGroup("g", true, 100, 1, &g, &rate), OPC_E_DUPLICATENAME);
    EXPECT_EQ(m_client.AddGroup("fast", true, 0, 1, &g, &rate), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(rate, 20u);  // the base rate
    EXPECT_EQ(m_client.AddGroup("odd", true, 50, 1, &g, &rate), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(rate, 60u);  // a whole multiple of the base rate
    EXPECT_EQ(m_client.SetGroupUpdateRate(g, 200, &rate), S_OK);
    EXPECT_EQ(rate, 200u);
    EXPECT_EQ(m_client.SetGroupName(g, "g"), OPC_E_DUPLICATENAME);
    EXPECT_EQ(m_client.SetGroupName(g, ""), E_INVALIDARG);
    EXPECT_EQ(m_client.SetGroupName(g, "renamed"), S_OK);
    EXPECT_EQ(m_client.AddGroup("odd", true, 100, 1, &g, &rate), S_OK);  // the old name is free again

    uint32_t unnamed1, unnamed2;
    EXPECT_TRUE(SUCCEEDED(m_client.AddGroup(nullptr, true, 100, 1, &unnamed1, &rate)));
    EXPECT_TRUE(SUCCEEDED(m_client.AddGroup("", true, 100, 1, &unnamed2, &rate)));
    EXPECT_NE(unnamed1, unnamed2);

    DAServerStatus status;
    ASSERT_EQ(m_client.GetStatus(&status), S_OK);
    EXPECT_EQ(status.groupCount, 6u);
    EXPECT_EQ(status.state, OPC_STATUS_RUNNING);
    EXPECT_EQ(status.vendorInfo, "LLC SPC ZELL");
    EXPECT_GE(FileTimeToUInt64(status.currentTime), FileTimeToUInt64(status.startTime));

    EXPECT_EQ(m_client.RemoveGroup(g), S_OK);
    EXPECT_EQ(m_client.RemoveGroup(g), OPC_E_INVALIDHANDLE);
}

TEST_F(ClientTest, RemovingAGroupOrDisconnectingReleasesItsItems)
{
    AddOne(Id("Ch1.PU_1.a"));
    AddOne(Id("Ch1.PU_1.a"));  // twice: two references
    uint32_t g2, rate;
    ASSERT_TRUE(SUCCEEDED(m_client.AddGroup("g2", true, 100, 1, &g2, &rate)));
    std::vector<DAItemResult> r;
    ASSERT_EQ(m_client.AddItems(g2, {{Id("Ch1.PU_1.b")}}, &r), S_OK);
    EXPECT_EQ(m_a->AddRef(), 3u);
    EXPECT_EQ(m_a->Release(), 2u);
    ASSERT_EQ(m_client.RemoveGroup(m_group), S_OK);
    EXPECT_FALSE(m_a->InUse());
    EXPECT_TRUE(m_b->InUse());
    ASSERT_EQ(m_client.Disconnect(), S_OK);
    EXPECT_FALSE(m_b->InUse());
    EXPECT_EQ(m_client.Disconnect(), S_FALSE);
}

TEST_F(ClientTest, DeleteDropsClientReferencesBeforeReturning)
{
    uint32_t a = AddOne(Id("Ch1.PU_1.a"));
    uint32_t other = AddOne(Id("Ch2.PU_1.a"));
    CDAClient second;
    ASSERT_EQ(second.Connect("second"), S_OK);
    uint32_t g, rate;
    ASSERT_TRUE(SUCCEEDED(second.AddGroup("g", true, 100, 1, &g, &rate)));
    std::vector<DAItemResult> r;
    ASSERT_EQ(second.AddItems(g, {{Id("Ch1.PU_1.b")}}, &r), S_OK);

    ASSERT_EQ(DeleteDAItem(Id("Ch1").c_str()), S_OK);
    EXPECT_FALSE(m_a->InUse());
    EXPECT_FALSE(m_b->InUse());
    EXPECT_TRUE(m_other->InUse());

    std::vector<DAItemState> states;
    EXPECT_EQ(m_client.Read(m_group, DADataSource::Cache, {a, other}, &states), S_FALSE);
    EXPECT_EQ(states[0].error, OPC_E_INVALIDHANDLE);
    EXPECT_EQ(states[1].error, S_OK);
}

TEST_F(ClientTest, InUseFollowsConnectedClients)
{
    EXPECT_TRUE(DAServerInUse());  // the fixture's client
    CDAClient second;
    ASSERT_EQ(second.Connect("second"), S_OK);
    EXPECT_EQ(second.Connect("again"), S_FALSE);
    ASSERT_EQ(m_client.Disconnect(), S_OK);
    EXPECT_TRUE(DAServerInUse());
    ASSERT_EQ(second.Disconnect(), S_OK);
    EXPECT_FALSE(DAServerInUse());
    ASSERT_EQ(second.Connect("back"), S_OK);
    EXPECT_TRUE(DAServerInUse());
    ASSERT_EQ(StopDAServer(), S_OK);
    EXPECT_FALSE(DAServerInUse());
    EXPECT_FALSE(second.IsConnected());
    std::vector<DABrowseEntry> children;
    EXPECT_EQ(second.Browse(nullptr, &children), RPC_E_DISCONNECTED);
    EXPECT_EQ(second.Connect("stopped"), E_FAIL);
}

TEST(ToolkitStart, NeedsACallbackAndAClassId)
{
    EXPECT_FALSE(StartDAServer(nullptr, &kTestClsid));  // no callback object yet
    CFakeProgram program;
    ASSERT_EQ(SetCallbackObject(&program), S_OK);
    EXPECT_FALSE(StartDAServer(nullptr, nullptr));
    EXPECT_TRUE(StartDAServer(nullptr, &kTestClsid));
    EXPECT_TRUE(StartDAServer(nullptr, &kTestClsid));  // already running
    EXPECT_EQ(StopDAServer(), S_OK);
    EXPECT_EQ(StopDAServer(), S_FALSE);
    // Restartable: a server stopped and started again serves clients.
    EXPECT_TRUE(StartDAServer(nullptr, &kTestClsid));
    CDAClient client;
    EXPECT_EQ(client.Connect("after restart"), S_OK);
    EXPECT_EQ(StopDAServer(), S_OK);
    SetCallbackObject(nullptr);
}

}  // namespace
