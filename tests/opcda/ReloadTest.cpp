// A reload of the configuration file while a client's device read is under
// way: the old channels go only after the read has left them, however long
// it takes.
#include "ZellDAClient.h"
#include "config/ConfigurationFile.h"
#include "config/LevelRoot.h"
#include "opcda/SimChannelFixture.h"
#include "support/WaitFor.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr CLSID kClsid = {0x5D1E8A42, 0x7C3B, 0x4F06, {0x9A, 0x2D, 0x1B, 0x8E, 0x6F, 0x0C, 0x4A, 0x37}};

class ReloadTest : public SimChannelTest {
   protected:
    void SetUp() override
    {
        SimChannelTest::SetUp();
        App().DebugLog()->ApplySettings("DBG_DA=1");
        (void)SetDebugSettingsDA(App().DebugLogPath().c_str(), "DBG_DA_TOOL=1");
        ASSERT_EQ(SetCallbackObject(&App().DACallback()), S_OK);
        ASSERT_TRUE(StartDAServer(nullptr, &kClsid));
    }
    void TearDown() override
    {
        StopDAServer();
        SetCallbackObject(nullptr);
        SetDAServerWaitNotice(5 * 60 * 1000);
        (void)SetDebugSettingsDA("", "");
        SimChannelTest::TearDown();
    }
    // The running tree: one TCP channel on the simulator that tries once and
    // waits 5 s for an answer, without a polling thread, so that only the
    // client's read uses it. Written to the file the reload reads.
    std::string RunChannel()
    {
        AddSimChannel([](CLevelChannel& channel) {
            channel.Settings().m_attempts = 1;
            channel.Settings().m_responseTimeout = 5000;
        });
        const std::string path = m_folder.File("OpcVireo2.cfg");
        EXPECT_TRUE(WriteConfigurationFile(path, App().Root()));
        return path;
    }
    bool Traced(const std::string& text) const
    {
        const std::vector<std::string> lines = TraceLines();
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& line) { return line.find(text) != std::string::npos; });
    }
    std::string Trace() const
    {
        std::string all;
        for (const std::string& line : TraceLines()) all += line + "\n";
        return all;
    }
};

TEST_F(ReloadTest, OldChannelsOutliveADeviceReadLongerThanTheWaitNotice)
{
    const std::string path = RunChannel();

    CDAClient client;
    ASSERT_EQ(client.Connect("reader"), S_OK);
    uint32_t group = 0, rate = 0;
    ASSERT_EQ(client.AddGroup("g", false, 1000, 1, &group, &rate), S_OK);
    std::vector<DAItemResult> added;
    const std::string id = std::string(CLevelRoot::kRootName) + ".Vireo-2_1.PU_1.const_data_contr_num";
    ASSERT_EQ(client.AddItems(group, {{id}}, &added), S_OK);

    // Every answer comes 2 s late; the toolkit waits at most 100 ms before noting that it waits on.
    Sim("fault delay=2000");
    SetDAServerWaitNotice(100);
    const uint64_t before = SimCount("requests");
    std::vector<DAItemState> states;
    HRESULT readResult = E_FAIL;
    std::thread reader(
        [&] { readResult = client.Read(group, DADataSource::Device, {added[0].serverHandle}, &states); });
    // The request is out, its answer 2 s away.
    ASSERT_TRUE(WaitFor([&] { return SimCount("requests") > before; }));

    EXPECT_EQ(LoadConfiguration(App(), path), kLoadDone);
    reader.join();
    // The withdrawal waited past the notice, then the old channel left the
    // toolkit whole, with the client's item, after the read.
    EXPECT_TRUE(Traced("DeleteDAItem: still waiting for 1 calls in progress")) << Trace();
    EXPECT_TRUE(Traced("DeleteDAItem(" + std::string(CLevelRoot::kRootName) + ".Vireo-2_1): "));
    EXPECT_EQ(readResult, S_OK);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].quality, OPC_QUALITY_GOOD);
    std::vector<HRESULT> errors;
    EXPECT_EQ(client.RemoveItems(group, {added[0].serverHandle}, &errors), S_FALSE);
    client.Disconnect();
}

}  // namespace
