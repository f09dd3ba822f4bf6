// Lookups through the name indexes of long child lists: the same answers as
// a plain scan of the ordered lists, after every kind of change.
#include "config/LevelGroup.h"
#include "config/LevelRoot.h"
#include "config/LevelTag.h"
#include "config/TestChannel.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kRoot = "Каналы связи";

// FindTag written as a scan over LevelAt/TagAt, kept apart from the tree's code.
const CLevelElementBase* ReferenceFind(const CLevelElementBase& e, std::string_view s)
{
    while (!s.empty() && s.front() == '.') s.remove_prefix(1);
    const std::string_view name = e.Name();
    if (s == name) return &e;
    if (s.size() <= name.size() || s.substr(0, name.size()) != name || s[name.size()] != '.') return nullptr;
    s.remove_prefix(name.size() + 1);
    for (size_t i = 0; i < e.TagCount(); ++i) {
        const std::string_view t = e.TagAt(i)->Name();
        if (s == t || (s.size() == t.size() + 1 && s.substr(0, t.size()) == t && s.back() == '.'))
            return e.TagAt(i);
    }
    for (size_t i = 0; i < e.LevelCount(); ++i) {
        const std::string_view l = e.LevelAt(i)->Name();
        if (s.size() > l.size() && s.substr(0, l.size()) == l && s[l.size()] == '.') {
            return ReferenceFind(*e.LevelAt(i), s);
        }
    }
    return nullptr;
}

const CLevelElementBase* ReferenceFindLevel(const CLevelElementBase& e, std::string_view name)
{
    for (size_t i = 0; i < e.LevelCount(); ++i) {
        if (e.LevelAt(i)->Name() == name) return e.LevelAt(i);
    }
    return nullptr;
}

void Collect(CLevelElementBase* e, std::vector<CLevelElementBase*>& all)
{
    all.push_back(e);
    for (size_t i = 0; i < e->TagCount(); ++i) all.push_back(e->TagAt(i));
    for (size_t i = 0; i < e->LevelCount(); ++i) Collect(e->LevelAt(i), all);
}

CLevelGroup* AddGroup(CLevelElementBase& parent, const std::string& name)
{
    auto group = std::make_unique<CLevelGroup>();
    group->SetName(name);
    CLevelGroup* raw = group.get();
    parent.AddLevel(std::move(group));
    return raw;
}

CLevelTag* AddTag(CLevelElementBase& parent, const std::string& name)
{
    auto tag = std::make_unique<CLevelTag>();
    tag->SetName(name);
    CLevelTag* raw = tag.get();
    parent.AddTag(std::move(tag));
    return raw;
}

// A root with one channel, the channel with `groups` groups of `tags` tags each.
struct WideTree {
    WideTree(int groups, int tags)
    {
        auto ch = std::make_unique<TestChannel>(kKindChannelTCP, "Vireo-2_1");
        channel = ch.get();
        root.AddLevel(std::move(ch));
        for (int g = 0; g < groups; ++g) {
            CLevelGroup* group = AddGroup(*channel, "G" + std::to_string(g));
            for (int t = 0; t < tags; ++t) AddTag(*group, "t" + std::to_string(t));
        }
    }
    std::string Id(const std::string& relative) const { return kRoot + ".Vireo-2_1." + relative; }
    CLevelRoot root;
    TestChannel* channel = nullptr;
};

}  // namespace

TEST(ChildLookup, EqualNamesAnswerTheFirstListed)
{
    WideTree t(40, 0);
    CLevelElementBase* group = t.channel->LevelAt(3);
    std::vector<CLevelTag*> tags;
    for (int i = 0; i < 200; ++i) tags.push_back(AddTag(*group, "t" + std::to_string(i % 50)));
    EXPECT_EQ(t.root.FindTag(t.Id("G3.t7")), tags[7]);
    EXPECT_EQ(t.root.FindTag(t.Id("G3.t49.")), tags[49]);
    EXPECT_EQ(t.root.FindTag(t.Id("G3.t50")), nullptr);

    // A second group G5 after the first, each with a tag of its own.
    CLevelTag* inFirst = AddTag(*t.channel->LevelAt(5), "x");
    CLevelGroup* second = AddGroup(*t.channel, "G5");
    CLevelTag* inSecond = AddTag(*second, "x");
    AddTag(*second, "only");
    EXPECT_EQ(t.channel->FindLevel("G5"), t.channel->LevelAt(5));
    EXPECT_EQ(t.root.FindTag(t.Id("G5.x")), inFirst);
    EXPECT_EQ(t.root.FindTag(t.Id("G5.only")), nullptr);  // only the first G5 is searched

    // Removing the first makes the second the first; later positions moved down.
    t.channel->RemoveLevel(t.Id("G5"));
    EXPECT_EQ(t.channel->LevelCount(), 40u);
    EXPECT_EQ(t.channel->FindLevel("G5"), second);
    EXPECT_EQ(t.root.FindTag(t.Id("G5.x")), inSecond);
    EXPECT_EQ(t.channel->FindLevel("G6"), t.channel->LevelAt(5));
    EXPECT_EQ(t.channel->FindLevel("G39"), t.channel->LevelAt(38));
    EXPECT_EQ(t.root.FindTag(t.Id("G3.t7")), tags[7]);

    // Renaming a listed element moves it in the lookup too.
    second->SetName("H");
    EXPECT_EQ(t.channel->FindLevel("G5"), nullptr);
    EXPECT_EQ(t.root.FindTag(t.Id("H.x")), inSecond);
    tags[7]->SetName("renamed");
    EXPECT_EQ(t.root.FindTag(t.Id("G3.t7")), tags[57]);
    EXPECT_EQ(t.root.FindTag(t.Id("G3.renamed")), tags[7]);
    tags[57]->SetName("");
    EXPECT_EQ(t.root.FindTag(t.Id("G3.t7")), tags[107]);
    EXPECT_EQ(t.root.FindTag(t.Id("G3.")), tags[57]);
}

TEST(ChildLookup, DeletedListsFindNothingAndFillAgain)
{
    WideTree t(30, 30);
    ASSERT_NE(t.root.FindTag(t.Id("G29.t29")), nullptr);
    CLevelElementBase* g2 = t.channel->LevelAt(2);
    g2->DeleteTags();
    EXPECT_EQ(t.root.FindTag(t.Id("G2.t0")), nullptr);
    CLevelTag* again = AddTag(*g2, "t0");
    EXPECT_EQ(t.root.FindTag(t.Id("G2.t0")), again);

    t.channel->DeleteLevels();
    EXPECT_EQ(t.root.FindTag(t.Id("G29.t29")), nullptr);
    EXPECT_EQ(t.channel->FindLevel("G0"), nullptr);
    CLevelTag* made = nullptr;
    for (int g = 0; g < 20; ++g) made = t.channel->CreatePath("G" + std::to_string(g) + ".t");
    EXPECT_EQ(t.root.FindTag(t.Id("G19.t")), made);
    EXPECT_EQ(t.channel->LevelCount(), 20u);
}

// Separators at the end and nameless elements answer the same in short
// (scanned) and long (indexed) lists.
TEST(ChildLookup, TrailingSeparatorsAndNamelessElementsInShortAndLongLists)
{
    for (const int filler : {2, 40}) {
        SCOPED_TRACE(filler);
        WideTree t(filler, 0);
        for (int i = 0; i < filler; ++i) AddTag(*t.channel, "f" + std::to_string(i));
        CLevelTag* nameless = AddTag(*t.channel, "");
        CLevelTag* dotted = AddTag(*t.channel, "a.b");
        CLevelGroup* group = AddGroup(*t.channel, "g.h");
        CLevelTag* inDotted = AddTag(*group, "x");
        CLevelGroup* blank = AddGroup(*t.channel, "");
        AddTag(*blank, "y");

        EXPECT_EQ(t.root.FindTag(t.Id("")), nameless);
        EXPECT_EQ(t.root.FindTag(t.Id(".")), nameless);
        EXPECT_EQ(t.root.FindTag(t.Id("f1.")), t.channel->TagAt(1));
        EXPECT_EQ(t.root.FindTag(t.Id("f1..")), nullptr);
        EXPECT_EQ(t.root.FindTag(t.Id("a.b")), dotted);
        EXPECT_EQ(t.root.FindTag(t.Id("a.b.")), dotted);
        EXPECT_EQ(t.root.FindTag(t.Id("g.h.x")), inDotted);
        EXPECT_EQ(t.root.FindTag(t.Id("g.h.x.")), inDotted);
        // Leading separators are dropped again inside the nameless group, so its tags are out of reach.
        EXPECT_EQ(t.root.FindTag(t.Id(".y")), nullptr);
        EXPECT_EQ(t.root.FindTag(t.Id("..y")), nullptr);
    }
}

// Random trees of few names (many equal, some empty or dotted) and long
// lists, changed at random; after each change every probe answers as the scan.
TEST(ChildLookup, AgreesWithAScanAfterRandomChanges)
{
    static const char* kNames[] = {"a", "b", "c", "d", "e", "f", "g", "h",   "i",  "j",    "k",
                                   "l", "m", "n", "o", "p", "q", "",  "a.b", "b.", "PU_1", "x"};
    constexpr size_t kNameCount = sizeof kNames / sizeof kNames[0];
    size_t probes = 0;
    size_t found = 0;
    for (const unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
        auto name = [&] { return std::string(kNames[pick(kNameCount)]); };

        CLevelRoot root;
        for (int c = 0; c < 10; ++c)
            root.AddLevel(
                std::make_unique<TestChannel>(kKindChannelUDP, ("C" + std::to_string(c % 7)).c_str()));

        for (int step = 0; step < 300; ++step) {
            std::vector<CLevelElementBase*> all;
            Collect(&root, all);
            std::vector<CLevelElementBase*> holders;  // the root and elements in level lists
            for (CLevelElementBase* e : all) {
                if (e->Kind() != kKindTag) holders.push_back(e);
            }
            CLevelElementBase* target = holders[pick(holders.size())];
            const bool underRoot = target == &root;
            switch (pick(20)) {
                case 0:
                    if (!underRoot && target->LevelCount() > 0) {
                        target->RemoveLevel(target->LevelAt(pick(target->LevelCount()))->FullPath());
                    }
                    break;
                case 1:
                    if (!underRoot && pick(4) == 0) target->DeleteLevels();
                    break;
                case 2:
                    if (!underRoot) target->DeleteTags();
                    break;
                case 3:
                case 4:
                    all[pick(all.size())]->SetName(name());
                    break;
                case 5:
                case 6:
                    if (!underRoot) target->CreatePath(name() + "." + name() + "." + name());
                    break;
                case 7:
                case 8:
                    if (!underRoot) AddGroup(*target, name());
                    break;
                default:
                    if (!underRoot) {
                        for (int n = 0; n < 4; ++n) AddTag(*target, name());
                    }
                    break;
            }

            // Probes: every element's full path, with separators around it, and random dotted texts.
            all.clear();
            Collect(&root, all);
            std::vector<std::string> ids;
            for (CLevelElementBase* e : all) {
                const std::string path = e->FullPath();
                ids.push_back(path);
                ids.push_back(path + ".");
                ids.push_back(path + "..");
                ids.push_back("." + path);
            }
            for (int n = 0; n < 50; ++n) {
                std::string id = kRoot + "." + root.LevelAt(pick(root.LevelCount()))->GetName();
                for (size_t depth = pick(5); depth > 0; --depth) id += "." + name();
                ids.push_back(id);
            }
            for (const std::string& id : ids) {
                const CLevelElementBase* expected = ReferenceFind(root, id);
                ASSERT_EQ(root.FindTag(id), expected) << "step " << step << ": " << id;
                ++probes;
                found += expected != nullptr;
            }
            for (CLevelElementBase* e : all) {
                if (e->Kind() == kKindTag || e->LevelCount() == 0) continue;
                const std::string n = name();
                ASSERT_EQ(e->FindLevel(n), ReferenceFindLevel(*e, n)) << "step " << step << ": " << n;
            }
        }
        // The trees grew long lists, so the indexed lookups were exercised.
        size_t longest = 0;
        std::vector<CLevelElementBase*> all;
        Collect(&root, all);
        for (const CLevelElementBase* e : all) longest = std::max({longest, e->TagCount(), e->LevelCount()});
        EXPECT_GE(longest, 20u);
    }
    EXPECT_GT(found, probes / 4);
}

// Lookups only read the tree: many threads at once (under the configuration
// lock they are serialised anyway) see the same answers.
TEST(ChildLookup, ConcurrentLookupsAgree)
{
    WideTree t(50, 60);
    std::vector<std::string> ids;
    std::vector<const CLevelElementBase*> expected;
    for (int g = 0; g < 50; ++g) {
        for (int i = 0; i < 60; ++i) {
            ids.push_back(t.Id("G" + std::to_string(g) + ".t" + std::to_string(i)));
            expected.push_back(t.channel->LevelAt(g)->TagAt(i));
        }
    }
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (int n = 0; n < 4; ++n) {
        threads.emplace_back([&, n] {
            for (int round = 0; round < 3; ++round) {
                for (size_t i = 0; i < ids.size(); ++i) wrong[n] += t.root.FindTag(ids[i]) != expected[i];
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (int n = 0; n < 4; ++n) EXPECT_EQ(wrong[n], 0) << "thread " << n;
}
