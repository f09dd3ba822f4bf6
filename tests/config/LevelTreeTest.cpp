#include "config/LevelGroup.h"
#include "config/LevelRoot.h"
#include "config/LevelTag.h"
#include "config/TestChannel.h"
#include "opcda/DATag.h"

#include <gtest/gtest.h>
#include <memory>

namespace {

const std::string kRoot = "Каналы связи";

// A root with one serial channel named Vireo-2_1.
struct Tree {
    Tree()
    {
        auto ch = std::make_unique<TestChannel>(kKindChannelCOM, "Vireo-2_1");
        channel = ch.get();
        root.AddLevel(std::move(ch));
    }
    CLevelRoot root;
    TestChannel* channel = nullptr;
};

CLevelElementBase* OnlyLevel(CLevelElementBase* e)
{
    EXPECT_EQ(e->LevelCount(), 1u);
    return e->LevelCount() == 1 ? e->LevelAt(0) : nullptr;
}

}  // namespace

TEST(CreatePath, BuildsGroupsAndLeafTagThenReusesTheGroups)
{
    Tree t;
    CLevelTag* tag = t.channel->CreatePath("PU_1.Sh_Signal1.shl_1");
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->Kind(), kKindTag);
    EXPECT_EQ(tag->GetName(), "shl_1");

    CLevelElementBase* pu = OnlyLevel(t.channel);
    ASSERT_NE(pu, nullptr);
    EXPECT_EQ(pu->Kind(), kKindGroup);
    EXPECT_EQ(pu->GetName(), "PU_1");
    EXPECT_EQ(pu->TagCount(), 0u);
    CLevelElementBase* signal = OnlyLevel(pu);
    ASSERT_NE(signal, nullptr);
    EXPECT_EQ(signal->GetName(), "Sh_Signal1");
    ASSERT_EQ(signal->TagCount(), 1u);
    EXPECT_EQ(signal->TagAt(0), tag);
    EXPECT_EQ(tag->Parent(), signal);

    // The tag was initialised at once: it has its item, pointing back.
    ASSERT_NE(tag->Item(), nullptr);
    EXPECT_EQ(tag->Item()->Owner(), tag);
    EXPECT_EQ(tag->Item()->FullName(), kRoot + ".Vireo-2_1.PU_1.Sh_Signal1.shl_1");

    CLevelTag* second = t.channel->CreatePath("PU_1.Sh_Signal1.shl_2");
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, tag);
    EXPECT_EQ(OnlyLevel(t.channel), pu);
    EXPECT_EQ(OnlyLevel(pu), signal);
    ASSERT_EQ(signal->TagCount(), 2u);
    EXPECT_EQ(signal->TagAt(1), second);
}

TEST(CreatePath, LeadingSeparatorsAreSkipped)
{
    Tree t;
    CLevelTag* a = t.channel->CreatePath("PU_1.x");
    CLevelTag* b = t.channel->CreatePath(".PU_1.x");
    CLevelTag* c = t.channel->CreatePath("...PU_1.y");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    CLevelElementBase* pu = OnlyLevel(t.channel);
    ASSERT_NE(pu, nullptr);
    EXPECT_EQ(pu->GetName(), "PU_1");
    EXPECT_EQ(b->Parent(), pu);
    EXPECT_EQ(c->Parent(), pu);
    EXPECT_EQ(pu->TagCount(), 3u);
    // A single leading separator before a plain name makes a tag right here,
    // not a group with a tag of the same name.
    CLevelTag* direct = t.channel->CreatePath(".z");
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(direct->Parent(), t.channel);
    EXPECT_EQ(direct->FullPath(), kRoot + ".Vireo-2_1.z");
    EXPECT_EQ(t.channel->LevelCount(), 1u);
}

TEST(CreatePath, EmptyOrSeparatorOnlyPathsAnswerNullAndLeaveNothing)
{
    Tree t;
    for (const char* path : {"", ".", "..", "...."}) {
        EXPECT_EQ(t.channel->CreatePath(path), nullptr) << '"' << path << '"';
    }
    EXPECT_EQ(t.channel->CreatePath(static_cast<const char*>(nullptr)), nullptr);
    EXPECT_EQ(t.channel->LevelCount(), 0u);
    EXPECT_EQ(t.channel->TagCount(), 0u);

    // The deeper component is empty: neither the new group nor its new
    // subgroup stays behind.
    EXPECT_EQ(t.channel->CreatePath("PU_1.."), nullptr);
    EXPECT_EQ(t.channel->CreatePath("PU_1.A..."), nullptr);
    EXPECT_EQ(t.channel->LevelCount(), 0u);

    // An existing group is kept when the rest fails below it.
    ASSERT_NE(t.channel->CreatePath("PU_1.x"), nullptr);
    EXPECT_EQ(t.channel->CreatePath("PU_1.."), nullptr);
    CLevelElementBase* pu = OnlyLevel(t.channel);
    ASSERT_NE(pu, nullptr);
    EXPECT_EQ(pu->TagCount(), 1u);
    EXPECT_EQ(pu->LevelCount(), 0u);
}

TEST(CreatePath, TrailingAndDoubledSeparators)
{
    Tree t;
    // A trailing separator ends the last name; a doubled one is skipped.
    CLevelTag* trailing = t.channel->CreatePath("PU_1.x.");
    CLevelTag* doubled = t.channel->CreatePath("PU_1..y");
    ASSERT_NE(trailing, nullptr);
    ASSERT_NE(doubled, nullptr);
    EXPECT_EQ(trailing->GetName(), "x");
    EXPECT_EQ(doubled->GetName(), "y");
    EXPECT_EQ(trailing->Parent(), doubled->Parent());
    EXPECT_EQ(t.channel->LevelCount(), 1u);
}

TEST(CreatePath, SamePathTwiceMakesTwoTagsAndFindTagAnswersTheFirst)
{
    Tree t;
    CLevelTag* first = t.channel->CreatePath("PU_1.Sh_State.shl_1");
    CLevelTag* again = t.channel->CreatePath("PU_1.Sh_State.shl_1");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(again, nullptr);
    EXPECT_NE(first, again);
    EXPECT_EQ(first->Parent(), again->Parent());
    EXPECT_EQ(first->Parent()->TagCount(), 2u);
    EXPECT_EQ(t.root.FindTag(kRoot + ".Vireo-2_1.PU_1.Sh_State.shl_1"), first);
}

TEST(FindTag, ResolvesFullPathsFromTheRoot)
{
    Tree t;
    CLevelTag* tag = t.channel->CreatePath("PU_1.Sh_Signal1.shl_1");
    CLevelTag* ten = t.channel->CreatePath("PU_1.Sh_Signal1.shl_10");
    ASSERT_NE(tag, nullptr);
    const std::string id = kRoot + ".Vireo-2_1.PU_1.Sh_Signal1.shl_1";

    EXPECT_EQ(t.root.FindTag(id), tag);
    EXPECT_EQ(t.root.FindTag(id + "."), tag);
    EXPECT_EQ(t.root.FindTag("." + id), tag);
    EXPECT_EQ(t.root.FindTag(id + "0"), ten);
    EXPECT_EQ(t.root.FindTag(id.c_str()), tag);

    // Without the root's name, or with a wrong one, there is no match.
    EXPECT_EQ(t.root.FindTag("Vireo-2_1.PU_1.Sh_Signal1.shl_1"), nullptr);
    EXPECT_EQ(t.root.FindTag("Каналы связ.Vireo-2_1.PU_1.Sh_Signal1.shl_1"), nullptr);
    EXPECT_EQ(t.root.FindTag(kRoot + "Vireo-2_1.PU_1.Sh_Signal1.shl_1"), nullptr);
    // A path that stops at a group or a channel is not an item.
    EXPECT_EQ(t.root.FindTag(kRoot + ".Vireo-2_1"), nullptr);
    EXPECT_EQ(t.root.FindTag(kRoot + ".Vireo-2_1."), nullptr);
    EXPECT_EQ(t.root.FindTag(kRoot + ".Vireo-2_1.PU_1.Sh_Signal1"), nullptr);
    EXPECT_EQ(t.root.FindTag(id + ".more"), nullptr);
    EXPECT_EQ(t.root.FindTag(kRoot + ".Vireo-2_1.PU_1.Sh_Signal1.shl_"), nullptr);
    EXPECT_EQ(t.root.FindTag(id + ".."), nullptr);
    // The root's own name answers the root.
    EXPECT_EQ(t.root.FindTag(kRoot), &t.root);
    EXPECT_EQ(t.root.FindTag(kRoot + "."), nullptr);
    // Bad input.
    EXPECT_EQ(t.root.FindTag(""), nullptr);
    EXPECT_EQ(t.root.FindTag("."), nullptr);
    EXPECT_EQ(t.root.FindTag(static_cast<const char*>(nullptr)), nullptr);
}

TEST(FindTag, ChoosesChannelsByWholeName)
{
    CLevelRoot root;
    auto one = std::make_unique<TestChannel>(kKindChannelTCP, "Vireo-2_1");
    auto ten = std::make_unique<TestChannel>(kKindChannelTCP, "Vireo-2_10");
    CLevelTag* inTen = ten->CreatePath("PU_1.a");
    CLevelTag* inOne = one->CreatePath("PU_1.a");
    root.AddLevel(std::move(one));
    root.AddLevel(std::move(ten));
    EXPECT_EQ(root.FindTag(kRoot + ".Vireo-2_10.PU_1.a"), inTen);
    EXPECT_EQ(root.FindTag(kRoot + ".Vireo-2_1.PU_1.a"), inOne);
}

TEST(FindTag, OnlyTheFirstLevelWithAMatchingNameIsSearched)
{
    // Groups of one name are only made by hand; the lookup does not
    // backtrack into the second one.
    Tree t;
    auto first = std::make_unique<CLevelGroup>();
    first->SetName("G");
    auto second = std::make_unique<CLevelGroup>();
    second->SetName("G");
    CLevelTag* tag = second->CreatePath("t");
    t.channel->AddLevel(std::move(first));
    t.channel->AddLevel(std::move(second));
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(t.root.FindTag(kRoot + ".Vireo-2_1.G.t"), nullptr);
}

TEST(FindTag, TagsBeforeLevelsWithTheSameName)
{
    Tree t;
    CLevelTag* inGroup = t.channel->CreatePath("x.y");
    CLevelTag* leaf = t.channel->CreatePath("x");
    ASSERT_NE(inGroup, nullptr);
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(t.root.FindTag(kRoot + ".Vireo-2_1.x"), leaf);
    EXPECT_EQ(t.root.FindTag(kRoot + ".Vireo-2_1.x."), leaf);
    EXPECT_EQ(t.root.FindTag(kRoot + ".Vireo-2_1.x.y"), inGroup);
}

TEST(Names, FullPathsAndNamelessElements)
{
    Tree t;
    EXPECT_EQ(t.root.FullPath(), kRoot);
    EXPECT_EQ(t.channel->FullPath(), kRoot + ".Vireo-2_1");
    ASSERT_NE(t.channel->CreatePath("PU_1.x"), nullptr);
    CLevelElementBase* pu = OnlyLevel(t.channel);
    ASSERT_NE(pu, nullptr);
    EXPECT_EQ(pu->FullPath(), kRoot + ".Vireo-2_1.PU_1");

    // Null changes nothing; empty leaves the element nameless.
    pu->SetName(static_cast<const char*>(nullptr));
    EXPECT_EQ(pu->GetName(), "PU_1");
    pu->SetName("");
    EXPECT_FALSE(pu->HasName());
    EXPECT_EQ(pu->GetName(), "");
    EXPECT_EQ(pu->NameLength(), 0u);
    EXPECT_EQ(pu->FullPath(), kRoot + ".Vireo-2_1.");
    EXPECT_EQ(pu->TagAt(0)->FullPath(), kRoot + ".Vireo-2_1..x");

    // A nameless root gives paths without a leading separator.
    CLevelRoot bare;
    bare.SetName("");
    auto ch = std::make_unique<TestChannel>(kKindChannelUDP, "C");
    CLevelTag* tag = ch->CreatePath("g.t");
    bare.AddLevel(std::move(ch));
    EXPECT_EQ(bare.FullPath(), "");
    EXPECT_EQ(tag->FullPath(), "C.g.t");
}

TEST(Names, LengthCountsUtf16Units)
{
    CLevelGroup g;
    g.SetName("PU_1");
    EXPECT_EQ(g.NameLength(), 4u);
    CLevelRoot root;
    EXPECT_EQ(root.GetName(), kRoot);
    EXPECT_EQ(root.NameLength(), 12u);
    g.SetName("a\xF0\x9F\x98\x80");  // one character outside the basic plane
    EXPECT_EQ(g.NameLength(), 3u);
    g.SetName(std::string_view("x"));
    EXPECT_EQ(g.GetName(), "x");
    EXPECT_EQ(g.NameLength(), 1u);
}

TEST(Children, AddFindRemoveDelete)
{
    CLevelRoot root;
    root.AddLevel(nullptr);
    root.AddTag(nullptr);
    EXPECT_EQ(root.LevelCount(), 0u);
    EXPECT_EQ(root.TagCount(), 0u);

    auto a = std::make_unique<TestChannel>(kKindChannelCOM, "A");
    auto b = std::make_unique<TestChannel>(kKindChannelCOM, "B");
    auto a2 = std::make_unique<TestChannel>(kKindChannelCOM, "A");
    TestChannel* pa = a.get();
    TestChannel* pb = b.get();
    TestChannel* pa2 = a2.get();
    root.AddLevel(std::move(a));
    root.AddLevel(std::move(b));
    root.AddLevel(std::move(a2));
    EXPECT_EQ(pa->Parent(), &root);
    EXPECT_EQ(root.FindLevel("A"), pa);
    EXPECT_EQ(root.FindLevel("B"), pb);
    EXPECT_EQ(root.FindLevel("a"), nullptr);  // names are case-sensitive
    EXPECT_EQ(root.FindLevel("C"), nullptr);

    // Unknown paths, and bare names instead of full paths, remove nothing.
    root.RemoveLevel("B");
    root.RemoveLevel(kRoot + ".Z");
    root.RemoveLevel("");
    EXPECT_EQ(root.LevelCount(), 3u);

    root.RemoveLevel(kRoot + ".A");
    ASSERT_EQ(root.LevelCount(), 2u);
    EXPECT_EQ(root.LevelAt(0), pb);
    EXPECT_EQ(root.LevelAt(1), pa2);
    EXPECT_EQ(root.FindLevel("A"), pa2);

    auto tag = std::make_unique<CLevelTag>();
    CLevelTag* pt = tag.get();
    pb->AddTag(std::move(tag));
    EXPECT_EQ(pt->Parent(), pb);
    ASSERT_NE(pb->CreatePath("g.t"), nullptr);
    pb->DeleteTags();
    EXPECT_EQ(pb->TagCount(), 0u);
    EXPECT_EQ(pb->LevelCount(), 1u);
    pb->DeleteLevels();
    EXPECT_EQ(pb->LevelCount(), 0u);

    root.DeleteLevels();
    EXPECT_EQ(root.LevelCount(), 0u);
    root.DeleteLevels();
    root.DeleteTags();
}

TEST(Children, CountKindFollowsTheLevelLists)
{
    CLevelRoot root;
    auto com1 = std::make_unique<TestChannel>(kKindChannelCOM, "S1");
    auto com2 = std::make_unique<TestChannel>(kKindChannelCOM, "S2");
    auto udp = std::make_unique<TestChannel>(kKindChannelUDP, "U");
    ASSERT_NE(com1->CreatePath("PU_1.a.b"), nullptr);
    ASSERT_NE(udp->CreatePath("PU_1.c"), nullptr);
    ASSERT_NE(udp->CreatePath("PU_2.c"), nullptr);
    root.AddLevel(std::move(com1));
    root.AddLevel(std::move(com2));
    root.AddLevel(std::move(udp));
    EXPECT_EQ(root.CountKind(kKindChannelCOM), 2u);
    EXPECT_EQ(root.CountKind(kKindChannelUDP), 1u);
    EXPECT_EQ(root.CountKind(kKindChannelTCP), 0u);
    EXPECT_EQ(root.CountKind(kKindRoot), 1u);
    EXPECT_EQ(root.CountKind(kKindGroup), 4u);
    // Tags sit in tag lists, which the count does not enter.
    EXPECT_EQ(root.CountKind(kKindTag), 0u);
    EXPECT_EQ(root.LevelAt(0)->CountKind(kKindChannelCOM), 1u);
}

TEST(Tag, OwnsOneItemFromInitialiseToShutdown)
{
    CLevelTag tag;
    EXPECT_EQ(tag.Item(), nullptr);
    tag.Initialise();
    CDATag* item = tag.Item();
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->Owner(), &tag);
    tag.Initialise();
    EXPECT_EQ(tag.Item(), item);
    EXPECT_EQ(item->FullName(), "");  // nameless, parentless
    tag.Shutdown();
    EXPECT_EQ(tag.Item(), nullptr);

    CDATag orphan;
    EXPECT_EQ(orphan.FullName(), "");
}

TEST(Root, NameKindAndStatisticsDefaults)
{
    CLevelRoot root;
    EXPECT_EQ(root.Kind(), kKindRoot);
    EXPECT_EQ(root.Parent(), nullptr);
    EXPECT_EQ(root.StatisticsEnabled(), 1u);
    EXPECT_EQ(root.StatisticsSizeLimit(), 5000u);
    EXPECT_EQ(root.LevelCount(), 0u);
    EXPECT_EQ(root.TagCount(), 0u);
}
