// Defining, withdrawing and browsing item IDs.

#include "FakeProgram.h"

#include <gtest/gtest.h>

namespace {

class ItemSpaceTest : public ::testing::Test, public ToolkitFixture {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_started);
        ASSERT_EQ(m_client.Connect("browser"), S_OK);
    }
    std::vector<std::string> Names(const char* path, HRESULT* hr = nullptr)
    {
        std::vector<DABrowseEntry> children;
        HRESULT r = m_client.Browse(path, &children);
        if (hr) *hr = r;
        std::vector<std::string> names;
        for (const auto& c : children) names.push_back(c.name);
        return names;
    }
    CDAClient m_client;
};

TEST_F(ItemSpaceTest, BrowseListsChildrenInDefinitionOrder)
{
    m_program.Add(Id("Vireo-2_1.PU_1.Sh_State.shl_2"));
    m_program.Add(Id("Vireo-2_1.PU_1.Sh_State.shl_1"));
    m_program.Add(Id("Vireo-2_1.PU_1.Version"));
    m_program.Add(Id("Vireo-2_1.PAS_1.pas_status.err_rs485"));

    EXPECT_EQ(Names(nullptr), std::vector<std::string>{kRoot});
    EXPECT_EQ(Names(""), std::vector<std::string>{kRoot});
    EXPECT_EQ(Names(Id("Vireo-2_1").c_str()), (std::vector<std::string>{"PU_1", "PAS_1"}));
    EXPECT_EQ(Names(Id("Vireo-2_1.PU_1").c_str()), (std::vector<std::string>{"Sh_State", "Version"}));
    EXPECT_EQ(Names(Id("Vireo-2_1.PU_1.Sh_State").c_str()), (std::vector<std::string>{"shl_2", "shl_1"}));

    std::vector<DABrowseEntry> children;
    ASSERT_EQ(m_client.Browse(Id("Vireo-2_1.PU_1").c_str(), &children), S_OK);
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].itemId, Id("Vireo-2_1.PU_1.Sh_State"));
    EXPECT_FALSE(children[0].isItem);
    EXPECT_TRUE(children[0].hasChildren);
    EXPECT_EQ(children[1].itemId, Id("Vireo-2_1.PU_1.Version"));
    EXPECT_TRUE(children[1].isItem);
    EXPECT_FALSE(children[1].hasChildren);
}

TEST_F(ItemSpaceTest, BrowseAnswersBadPathsClearly)
{
    m_program.Add(Id("Vireo-2_1.PU_1.Version"));
    HRESULT hr;
    EXPECT_TRUE(Names(Id("Vireo-2_1.PU_1.Version").c_str(), &hr).empty());
    EXPECT_EQ(hr, S_FALSE);  // an item without children
    EXPECT_TRUE(Names(Id("Vireo-2_2").c_str(), &hr).empty());
    EXPECT_EQ(hr, OPC_E_UNKNOWNITEMID);
    EXPECT_TRUE(Names(Id("Vireo-2_1.PU").c_str(), &hr).empty());  // a prefix of a name is no path
    EXPECT_EQ(hr, OPC_E_UNKNOWNITEMID);
    for (const std::string& bad : {Id("Vireo-2_1..PU_1"), "." + kRoot, kRoot + "."}) {
        Names(bad.c_str(), &hr);
        EXPECT_EQ(hr, E_INVALIDARG) << bad;
    }
    EXPECT_EQ(m_client.Browse(kRoot.c_str(), nullptr), E_INVALIDARG);

    CDAClient notConnected;
    std::vector<DABrowseEntry> children;
    EXPECT_EQ(notConnected.Browse(nullptr, &children), RPC_E_DISCONNECTED);
}

TEST_F(ItemSpaceTest, DefineRefusesMalformedIdsAndAcceptsRepeats)
{
    EXPECT_EQ(DefineDAItem(nullptr), E_INVALIDARG);
    EXPECT_EQ(DefineDAItem(""), E_INVALIDARG);
    EXPECT_EQ(DefineDAItem((kRoot + "..a").c_str()), E_INVALIDARG);
    EXPECT_EQ(DefineDAItem((kRoot + ".a.").c_str()), E_INVALIDARG);
    EXPECT_EQ(DefineDAItem((".a")), E_INVALIDARG);
    EXPECT_EQ(Names(nullptr), std::vector<std::string>{});  // nothing half-defined

    EXPECT_EQ(DefineDAItem(Id("A.b").c_str()), S_OK);
    EXPECT_EQ(DefineDAItem(Id("A.b").c_str()), S_FALSE);
    EXPECT_EQ(Names(Id("A").c_str()), std::vector<std::string>{"b"});
}

TEST_F(ItemSpaceTest, DeleteWithdrawsEverythingBelowTheChannelOnly)
{
    m_program.Add(Id("Vireo-2_1.PU_1.Sh_State.shl_1"));
    m_program.Add(Id("Vireo-2_1.PU_1.Version"));
    m_program.Add(Id("Vireo-2_10.PU_1.Version"));  // shares the text prefix, not the path

    EXPECT_EQ(DeleteDAItem(Id("Vireo-2_1").c_str()), S_OK);

    HRESULT hr;
    Names(Id("Vireo-2_1").c_str(), &hr);
    EXPECT_EQ(hr, OPC_E_UNKNOWNITEMID);
    Names(Id("Vireo-2_1.PU_1.Version").c_str(), &hr);
    EXPECT_EQ(hr, OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(Names(kRoot.c_str()), std::vector<std::string>{"Vireo-2_10"});
    EXPECT_EQ(Names(Id("Vireo-2_10.PU_1").c_str()), std::vector<std::string>{"Version"});

    // Withdrawn IDs are no longer addable; the other channel's still are.
    uint32_t group, rate;
    ASSERT_TRUE(SUCCEEDED(m_client.AddGroup("g", true, 100, 1, &group, &rate)));
    std::vector<DAItemResult> results;
    EXPECT_EQ(
        m_client.AddItems(group, {{Id("Vireo-2_1.PU_1.Version")}, {Id("Vireo-2_10.PU_1.Version")}}, &results),
        S_FALSE);
    EXPECT_EQ(results[0].error, OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(results[1].error, S_OK);

    // A channel defined again after its withdrawal is whole again.
    DefineDAItem(Id("Vireo-2_1.PU_1.Version").c_str());
    EXPECT_EQ(Names(Id("Vireo-2_1.PU_1").c_str()), std::vector<std::string>{"Version"});
}

TEST_F(ItemSpaceTest, DeleteOfUnknownOrMalformedPathsChangesNothing)
{
    m_program.Add(Id("Vireo-2_1.PU_1.Version"));
    EXPECT_EQ(DeleteDAItem(Id("Vireo-2_2").c_str()), S_FALSE);
    EXPECT_EQ(DeleteDAItem(Id("Vireo-2_").c_str()), S_FALSE);
    EXPECT_EQ(DeleteDAItem(nullptr), E_INVALIDARG);
    EXPECT_EQ(DeleteDAItem(""), E_INVALIDARG);
    EXPECT_EQ(DeleteDAItem((kRoot + ".").c_str()), E_INVALIDARG);
    EXPECT_EQ(Names(Id("Vireo-2_1.PU_1").c_str()), std::vector<std::string>{"Version"});
}

TEST_F(ItemSpaceTest, DeletingOneItemLeavesItsSiblingsAndEmptyBranchesGo)
{
    m_program.Add(Id("Ch.Dev.Grp.a"));
    m_program.Add(Id("Ch.Dev.Grp.b"));
    m_program.Add(Id("Ch.Dev.c"));
    EXPECT_EQ(DeleteDAItem(Id("Ch.Dev.Grp.a").c_str()), S_OK);
    EXPECT_EQ(Names(Id("Ch.Dev.Grp").c_str()), std::vector<std::string>{"b"});
    EXPECT_EQ(DeleteDAItem(Id("Ch.Dev.Grp.b").c_str()), S_OK);
    // The branch held nothing else, so it went with its last item.
    EXPECT_EQ(Names(Id("Ch.Dev").c_str()), std::vector<std::string>{"c"});
}

TEST_F(ItemSpaceTest, AnIdMayBeBothAnItemAndABranch)
{
    m_program.Add(Id("Ch.X"));
    m_program.Add(Id("Ch.X.Y"));
    std::vector<DABrowseEntry> children;
    ASSERT_EQ(m_client.Browse(Id("Ch").c_str(), &children), S_OK);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_TRUE(children[0].isItem);
    EXPECT_TRUE(children[0].hasChildren);
    EXPECT_EQ(DeleteDAItem(Id("Ch.X.Y").c_str()), S_OK);
    ASSERT_EQ(m_client.Browse(Id("Ch").c_str(), &children), S_OK);
    ASSERT_EQ(children.size(), 1u);  // still an item
    EXPECT_FALSE(children[0].hasChildren);
}

TEST_F(ItemSpaceTest, ManyIdsSurviveGrowthAndPartialWithdrawal)
{
    // Enough IDs to grow the lookup table several times; then every other channel goes.
    for (int ch = 0; ch < 8; ++ch)
        for (int i = 0; i < 3000; ++i)
            DefineDAItem(
                Id("C" + std::to_string(ch) + ".D" + std::to_string(i % 7) + ".i" + std::to_string(i))
                    .c_str());
    for (int ch = 0; ch < 8; ch += 2) EXPECT_EQ(DeleteDAItem(Id("C" + std::to_string(ch)).c_str()), S_OK);
    EXPECT_EQ(Names(kRoot.c_str()), (std::vector<std::string>{"C1", "C3", "C5", "C7"}));
    HRESULT hr;
    for (int ch = 0; ch < 8; ++ch) {
        for (int i = 0; i < 3000; i += 97) {
            std::string path =
                Id("C" + std::to_string(ch) + ".D" + std::to_string(i % 7) + ".i" + std::to_string(i));
            Names(path.c_str(), &hr);
            EXPECT_EQ(hr, ch % 2 ? S_FALSE : OPC_E_UNKNOWNITEMID) << path;
        }
    }
    EXPECT_EQ(Names(Id("C3.D2").c_str()).size(), 3000u / 7 + (3000 % 7 > 2 ? 1 : 0));
}

}  // namespace
