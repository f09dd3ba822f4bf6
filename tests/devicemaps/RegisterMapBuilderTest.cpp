#include "config/LevelGroup.h"
#include "config/LevelRoot.h"
#include "config/LevelTag.h"
#include "config/TestChannel.h"
#include "devicemaps/RegisterMapBuilder.h"
#include "opcda/DATag.h"

#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

const std::string kChannelPath = std::string(CLevelRoot::kRootName) + ".Vireo-2_1";

struct Built {
    std::string path;
    std::uint16_t address;
    std::uint8_t code;
    std::uint8_t access;
    std::uint32_t rights;
    VARTYPE vt;
    bool operator==(const Built&) const = default;
};

// Depth first as the polling list is collected: tags of an element, then its levels.
void Walk(const CLevelElementBase& e, std::vector<Built>& out)
{
    for (std::size_t i = 0; i < e.TagCount(); ++i) {
        const CLevelTag* tag = e.TagAt(i);
        const CDATag* item = tag->Item();
        out.push_back({tag->FullPath(), item->Address(), item->Code(), item->AccessMode(),
                       item->m_accessRights, item->m_canonicalType});
    }
    for (std::size_t i = 0; i < e.LevelCount(); ++i) Walk(*e.LevelAt(i), out);
}

class BuilderTest : public ::testing::Test {
   protected:
    void SetUp() override
    {
        auto channel = std::make_unique<TestChannel>(kKindChannelTCP, "Vireo-2_1");
        m_channel = channel.get();
        m_root.AddLevel(std::move(channel));
    }

    std::vector<Built> Items() const
    {
        std::vector<Built> items;
        Walk(*m_channel, items);
        return items;
    }

    CDATag* Find(const std::string& relative)
    {
        CLevelElementBase* e = m_root.FindTag(kChannelPath + "." + relative);
        if (e == nullptr || e->Kind() != kKindTag) return nullptr;
        return static_cast<CLevelTag*>(e)->Item();
    }

    CLevelRoot m_root;
    TestChannel* m_channel = nullptr;
    CRegisterMapBuilder m_builder;
};

}  // namespace

TEST_F(BuilderTest, NullChannelBuildsNothing)
{
    EXPECT_EQ(m_builder.BuildChannelItems(nullptr), 0);
    EXPECT_EQ(m_channel->TagCount() + m_channel->LevelCount(), 0u);
}

TEST_F(BuilderTest, BuildsTheWholeItemSpaceUnderOneGroupPerDevice)
{
    ASSERT_EQ(m_builder.BuildChannelItems(m_channel), 1);
    EXPECT_EQ(m_builder.Channel(), nullptr);
    const auto items = Items();
    EXPECT_EQ(items.size(), 29961u);  // every PAS unit at model 0

    // Levels in building order: 32 PU, 8 PI, 8 CPI, 4 PIN, 24 PAS, MyPin; the types are tags.
    ASSERT_EQ(m_channel->LevelCount(), 32u + 8 + 8 + 4 + 24 + 1);
    EXPECT_EQ(m_channel->LevelAt(0)->GetName(), "PU_1");
    EXPECT_EQ(m_channel->LevelAt(31)->GetName(), "PU_32");
    EXPECT_EQ(m_channel->LevelAt(32)->GetName(), "PI_1");
    EXPECT_EQ(m_channel->LevelAt(40)->GetName(), "CPI_1");
    EXPECT_EQ(m_channel->LevelAt(48)->GetName(), "PIN_1");
    EXPECT_EQ(m_channel->LevelAt(52)->GetName(), "PAS_1");
    EXPECT_EQ(m_channel->LevelAt(75)->GetName(), "PAS_24");
    EXPECT_EQ(m_channel->LevelAt(76)->GetName(), "MyPin");
    ASSERT_EQ(m_channel->TagCount(), 24u);
    EXPECT_EQ(m_channel->TagAt(0)->GetName(), "Type_PAS_1");
    EXPECT_EQ(m_channel->TagAt(23)->GetName(), "Type_PAS_24");

    // PU_1's later blocks reuse the groups of the first: one Const group holds
    // En_Sound (block A) and Dev[n] and kernel_version (block B).
    const CLevelElementBase* pu1 = m_channel->LevelAt(0);
    int constGroups = 0;
    for (std::size_t i = 0; i < pu1->LevelCount(); ++i) constGroups += pu1->LevelAt(i)->GetName() == "Const";
    EXPECT_EQ(constGroups, 1);
    const CLevelElementBase* constGroup = pu1->FindLevel("Const");
    ASSERT_NE(constGroup, nullptr);
    EXPECT_NE(constGroup->FindLevel("En_Sound"), nullptr);
    EXPECT_NE(constGroup->FindLevel("Dev[10]"), nullptr);
    EXPECT_EQ(constGroup->LevelCount(), 11u);  // En_Sound, Dev[1] .. Dev[10]

    std::set<std::string> paths;
    for (const Built& b : items) EXPECT_TRUE(paths.insert(b.path).second) << "defined twice: " << b.path;
}

TEST_F(BuilderTest, ItemsAreSetUpFromTheirEntries)
{
    ASSERT_EQ(m_builder.BuildChannelItems(m_channel), 1);
    struct Case {
        const char* name;
        std::uint16_t address;
        std::uint8_t code;
        std::uint32_t rights;
        VARTYPE vt;
        std::uint32_t imageBytes;
    };
    const Case cases[] = {
        {"PU_1.Sh_Signal1.shl_9", 3501, 27, OPC_READABLE, VT_UI1, 2},
        {"PU_32.Sh_Signal1.shl_1", 3996, 27, OPC_READABLE, VT_UI1, 2},
        {"PU_1.U_Signal.dev_3_start", 3503, 6, OPC_READABLE, VT_BOOL, 2},
        {"PU_1.const_data_contr_num", 3514, 3, OPC_READABLE, VT_UI2, 4},
        {"CPI_8.names_crc", 7471, 2, OPC_READABLE, VT_UI4, 4},
        {"PAS_1.crc_zones", 4367, 1, OPC_READABLE, VT_UI2, 4},
        {"PAS_24.state_zone40", 4363 + 28 * 23 + 25, 46, OPC_READABLE, VT_UI1, 4},
        {"MyPin.Pribor_Comm76.Device", 2075, 40, OPC_READABLE | OPC_WRITEABLE, VT_UI1, 2},
        {"MyPin.Pin_Control_17", 2501, 6, OPC_READABLE | OPC_WRITEABLE, VT_BOOL, 2},
        {"MyPin.Write_Password", 2600, 2, OPC_WRITEABLE, VT_UI4, 4},
    };
    for (const Case& c : cases) {
        CDATag* item = Find(c.name);
        ASSERT_NE(item, nullptr) << c.name;
        EXPECT_EQ(item->Address(), c.address) << c.name;
        EXPECT_EQ(item->Code(), c.code) << c.name;
        EXPECT_EQ(item->m_accessRights, c.rights) << c.name;
        EXPECT_EQ(item->m_canonicalType, c.vt) << c.name;
        EXPECT_EQ(item->m_value.vt, c.vt) << c.name;
        EXPECT_EQ(item->RegisterImageSize(), c.imageBytes) << c.name;
        EXPECT_EQ(item->m_quality, OPC_QUALITY_UNCERTAIN) << c.name;
        EXPECT_EQ(item->FullName(), kChannelPath + "." + c.name);
    }
}

TEST_F(BuilderTest, TheWritePasswordItemIsTheOnlyWriteOnlyItemAndTheChannelKnowsIt)
{
    ASSERT_EQ(m_builder.BuildChannelItems(m_channel), 1);
    CDATag* password = Find("MyPin.Write_Password");
    ASSERT_NE(password, nullptr);
    EXPECT_EQ(m_channel->Exchange().WritePasswordItem(), password);
    int writeOnly = 0;
    for (const Built& b : Items()) writeOnly += b.rights == OPC_WRITEABLE;
    EXPECT_EQ(writeOnly, 1);
    EXPECT_FALSE(password->IsReadable());
    EXPECT_TRUE(password->IsWriteable());
}

TEST_F(BuilderTest, TrailingSpaceNameIsKept)
{
    ASSERT_EQ(m_builder.BuildChannelItems(m_channel), 1);
    CDATag* item = Find("PU_3.Const.kernel_version ");
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->Address(), 5999 + 18 * 2 + 12);
    EXPECT_EQ(item->FullName().back(), ' ');
    EXPECT_EQ(Find("PU_3.Const.kernel_version"), nullptr);
}

TEST_F(BuilderTest, CollectingTakesEveryItemDepthFirst)
{
    ASSERT_EQ(m_builder.BuildChannelItems(m_channel), 1);
    m_channel->CollectItems();
    const auto items = Items();
    ASSERT_EQ(m_channel->Exchange().Items().size(), items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
        ASSERT_EQ(m_channel->Exchange().Items()[i]->FullName(), items[i].path) << i;
    // The channel's own tags come before its groups.
    EXPECT_EQ(m_channel->Exchange().Items().front()->FullName(), kChannelPath + ".Type_PAS_1");
    EXPECT_EQ(m_channel->Exchange().Items()[24]->FullName(), kChannelPath + ".PU_1.U_uprav_1");
    EXPECT_EQ(m_channel->Exchange().Items().back()->FullName(), kChannelPath + ".MyPin.Pribor_Comm76.Device");
}

TEST_F(BuilderTest, RebuildAfterTeardownGivesTheSameItems)
{
    ASSERT_EQ(m_builder.BuildChannelItems(m_channel), 1);
    m_channel->CollectItems();
    const auto first = Items();
    m_channel->Teardown();
    EXPECT_EQ(m_channel->TagCount() + m_channel->LevelCount(), 0u);
    EXPECT_TRUE(m_channel->Exchange().Items().empty());
    EXPECT_EQ(m_channel->Exchange().WritePasswordItem(), nullptr);

    ASSERT_EQ(m_builder.BuildChannelItems(m_channel), 1);
    m_channel->CollectItems();
    EXPECT_EQ(Items(), first);
    EXPECT_EQ(m_channel->Exchange().Items().size(), first.size());
    EXPECT_EQ(m_channel->Exchange().WritePasswordItem(), Find("MyPin.Write_Password"));
}

TEST_F(BuilderTest, AChangedPasModelTakesEffectAtTheNextBuild)
{
    ASSERT_EQ(m_builder.BuildChannelItems(m_channel), 1);
    EXPECT_EQ(Find("PAS_7.state_zone1")->Code(), 43);
    m_channel->Settings().m_pasModels[6] = 1;
    EXPECT_EQ(Find("PAS_7.state_zone1")->Code(), 43) << "nothing changes before the rebuild";
    m_channel->Teardown();
    ASSERT_EQ(m_builder.BuildChannelItems(m_channel), 1);
    EXPECT_EQ(Find("PAS_7.state_zone1")->Code(), 40);
    EXPECT_EQ(Find("PAS_7.state_zone1")->Address(), 4363 + 28 * 6 + 8);
    EXPECT_NE(Find("PAS_7.sound_device255"), nullptr);
    EXPECT_EQ(Items().size(), 29961u - 60 + 634);

    for (auto& m : m_channel->Settings().m_pasModels) m = 1;
    m_channel->Teardown();
    ASSERT_EQ(m_builder.BuildChannelItems(m_channel), 1);
    EXPECT_EQ(Items().size(), 43737u);
}

TEST_F(BuilderTest, DefineItemJoinsPartsAndTruncatesAddresses)
{
    EXPECT_EQ(m_builder.DefineItem(1, 0, 39, "X"), nullptr) << "no channel";
    m_builder.SetChannel(m_channel);
    m_builder.SetBase(65535);
    CLevelTag* tag = m_builder.DefineItem(2, 2, 39, "A", "B", "C", "D");
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->FullPath(), kChannelPath + ".A.B.C.D");
    EXPECT_EQ(tag->Item()->Address(), 1);  // 65535 + 2 in 16 bits
    m_builder.SetBase(100);
    tag = m_builder.DefineItem(5, 0, 1, "A", "B");
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->FullPath(), kChannelPath + ".A.B");
    EXPECT_EQ(tag->Item()->Address(), 105);
    EXPECT_EQ(m_channel->LevelCount(), 1u) << "group A reused";
    tag = m_builder.DefineItem(5, 0, 1, "A", "B", "E");
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->FullPath(), kChannelPath + ".A.B.E");
    EXPECT_EQ(m_builder.DefineItem(1, 0, 39, ""), nullptr);
    EXPECT_EQ(m_builder.DefineItem(1, 0, 39, "."), nullptr);
    // An undefined code leaves the item without type and image.
    tag = m_builder.DefineItem(1, 0, 22, "Undefined");
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->Item()->m_canonicalType, VT_EMPTY);
    EXPECT_EQ(tag->Item()->RegisterImage(), nullptr);
}
