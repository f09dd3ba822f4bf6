// The table of a session's items against std::map as the reference, through
// inserts and erases that move entries along their probe runs.

#include "opcua/UaHeldItems.h"

#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>

using ua::CHeldItems;

namespace {

std::string IdOf(int i)
{
    return "Каналы связи.Vireo-2_1.PU_" + std::to_string(i % 32) + ".item_" + std::to_string(i);
}

void ExpectSame(CHeldItems<int>& table, const std::map<std::string, int>& reference, int range)
{
    ASSERT_EQ(table.Size(), reference.size());
    std::vector<std::string> ids;
    for (int i = 0; i < range; ++i) ids.push_back(IdOf(i));
    std::vector<std::string_view> views(ids.begin(), ids.end());
    std::vector<int*> found;
    table.FindAll(views, &found);
    for (int i = 0; i < range; ++i) {
        auto it = reference.find(ids[i]);
        int* one = table.Find(ids[i]);
        ASSERT_EQ(found[i], one) << ids[i];
        if (it == reference.end()) {
            EXPECT_EQ(one, nullptr) << ids[i];
        } else {
            ASSERT_NE(one, nullptr) << ids[i];
            EXPECT_EQ(*one, it->second);
        }
    }
}

TEST(UaHeldItemsTest, AgreesWithAMapThroughGrowthAndErasure)
{
    CHeldItems<int> table;
    std::map<std::string, int> reference;
    std::mt19937 random(7);
    constexpr int kRange = 3000;
    for (int round = 0; round < 20000; ++round) {
        const int i = static_cast<int>(random() % kRange);
        const std::string id = IdOf(i);
        if (random() % 3 != 0) {
            if (!reference.count(id)) {
                table.Insert(id, i);
                reference[id] = i;
            }
        } else {
            table.Erase(id);
            reference.erase(id);
        }
    }
    ExpectSame(table, reference, kRange);
    // Entries stay where they are: a pointer taken before more inserts still holds.
    int* kept = table.Find(reference.begin()->first);
    for (int i = kRange; i < kRange + 5000; ++i) {
        table.Insert(IdOf(i), i);
        reference[IdOf(i)] = i;
    }
    EXPECT_EQ(kept, table.Find(reference.begin()->first));
    ExpectSame(table, reference, kRange + 5000);
}

TEST(UaHeldItemsTest, EraseIfTakesExactlyThePickedEntries)
{
    CHeldItems<int> table;
    std::map<std::string, int> reference;
    for (int i = 0; i < 4000; ++i) {
        table.Insert(IdOf(i), i);
        reference[IdOf(i)] = i;
    }
    int taken = 0;
    table.EraseIf([](int v) { return v % 3 == 0; }, [&](int v) { taken += v % 3 == 0 ? 1 : 1000; });
    for (auto it = reference.begin(); it != reference.end();)
        it = it->second % 3 == 0 ? reference.erase(it) : std::next(it);
    EXPECT_EQ(taken, 1334);
    ExpectSame(table, reference, 4000);
    table.Clear();
    EXPECT_EQ(table.Size(), 0u);
    EXPECT_EQ(table.Find(IdOf(1)), nullptr);
}

}  // namespace
