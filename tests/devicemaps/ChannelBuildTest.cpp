// A channel's Build and Teardown against the DA toolkit: every item defined,
// browsable under the channel, withdrawn at teardown, and the same again after
// a rebuild.
#include "app/SingleVectors.h"
#include "config/LevelRoot.h"
#include "config/LevelTag.h"
#include "config/TestChannel.h"
#include "opcda/DATag.h"
#include "toolkit/FakeProgram.h"

#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace {

class ChannelBuildTest : public ::testing::Test, public ToolkitFixture {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_started);
        ASSERT_EQ(m_client.Connect("integrator"), S_OK);
        auto channel = std::make_unique<TestChannel>(kKindChannelUDP, "Vireo-2_1");
        m_channel = channel.get();
        m_root.AddLevel(std::move(channel));
    }
    void TearDown() override
    {
        m_client.Disconnect();
        m_root.RemoveLevel(m_channel->FullPath());
        CSingleVectors::ResetInstance();
    }

    // Every item ID the toolkit lists below a path, depth first; the count of browse calls that failed.
    void BrowseItems(const std::string& path, std::vector<std::string>& ids, int& failures)
    {
        std::vector<DABrowseEntry> children;
        const HRESULT hr = m_client.Browse(path.c_str(), &children);
        if (hr != S_OK) {
            ++failures;
            return;
        }
        for (const DABrowseEntry& c : children) {
            if (c.isItem) ids.push_back(c.itemId);
            if (c.hasChildren) BrowseItems(c.itemId, ids, failures);
        }
    }

    std::set<std::string> Browsed()
    {
        std::vector<std::string> ids;
        int failures = 0;
        BrowseItems(m_channel->FullPath(), ids, failures);
        EXPECT_EQ(failures, 0);
        std::set<std::string> unique(ids.begin(), ids.end());
        EXPECT_EQ(unique.size(), ids.size()) << "an item ID listed twice";
        return unique;
    }

    std::vector<std::pair<std::string, std::uint16_t>> Collected() const
    {
        std::vector<std::pair<std::string, std::uint16_t>> items;
        for (const CDATag* item : m_channel->Exchange().Items())
            items.emplace_back(item->FullName(), item->Address());
        return items;
    }

    CDAClient m_client;
    CLevelRoot m_root;
    TestChannel* m_channel = nullptr;
};

}  // namespace

TEST_F(ChannelBuildTest, BuildDefinesAndCollectsEveryItem)
{
    ASSERT_EQ(m_channel->Build(), 1);
    ASSERT_EQ(m_channel->Exchange().Items().size(), 29961u);
    std::set<std::string> collected;
    for (const CDATag* item : m_channel->Exchange().Items()) {
        collected.insert(item->FullName());
        ASSERT_NE(item->Owner(), nullptr);
        ASSERT_EQ(item->Exchange(), &m_channel->Exchange()) << "the exchange that polls it";
    }
    EXPECT_EQ(collected.size(), 29961u);
    EXPECT_EQ(Browsed(), collected);
    EXPECT_EQ(collected.count(kRoot + ".Vireo-2_1.PU_1.Const.kernel_version "), 1u);
    EXPECT_EQ(collected.count(kRoot + ".Vireo-2_1.Type_PAS_24"), 1u);
    ASSERT_NE(m_channel->Exchange().WritePasswordItem(), nullptr);
    EXPECT_EQ(m_channel->Exchange().WritePasswordItem()->FullName(),
              kRoot + ".Vireo-2_1.MyPin.Write_Password");
}

TEST_F(ChannelBuildTest, TeardownWithdrawsTheItemsAndRebuildGivesTheSameOnes)
{
    ASSERT_EQ(m_channel->Build(), 1);
    const auto first = Collected();
    const auto browsedFirst = Browsed();

    m_channel->Teardown();
    EXPECT_TRUE(m_channel->Exchange().Items().empty());
    EXPECT_EQ(m_channel->Exchange().WritePasswordItem(), nullptr);
    EXPECT_EQ(m_channel->TagCount() + m_channel->LevelCount(), 0u);
    std::vector<DABrowseEntry> children;
    EXPECT_EQ(m_client.Browse(m_channel->FullPath().c_str(), &children), OPC_E_UNKNOWNITEMID);

    ASSERT_EQ(m_channel->Build(), 1);
    EXPECT_EQ(Collected(), first);
    EXPECT_EQ(Browsed(), browsedFirst);
}

TEST_F(ChannelBuildTest, TwoChannelsKeepTheirOwnItemSpaces)
{
    auto second = std::make_unique<TestChannel>(kKindChannelTCP, "Vireo-2_2");
    TestChannel* other = second.get();
    m_root.AddLevel(std::move(second));
    for (auto& model : other->Settings().m_pasModels) model = 1;
    ASSERT_EQ(m_channel->Build(), 1);
    ASSERT_EQ(other->Build(), 1);
    EXPECT_EQ(m_channel->Exchange().Items().size(), 29961u);
    EXPECT_EQ(other->Exchange().Items().size(), 43737u);
    EXPECT_NE(m_channel->Exchange().WritePasswordItem(), other->Exchange().WritePasswordItem());

    other->Teardown();
    std::vector<DABrowseEntry> children;
    EXPECT_EQ(m_client.Browse(other->FullPath().c_str(), &children), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(Browsed().size(), 29961u) << "the other channel's items stay defined";
    m_root.RemoveLevel(other->FullPath());
}
