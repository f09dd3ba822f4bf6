// A group's item table against a plain map: adds, lookups, erasures and
// erasures by predicate, with handles both consecutive and scattered (runs
// in the index wrap around its end and must close up when an item goes).

#include "GroupItems.h"

#include <gtest/gtest.h>
#include <map>
#include <random>

namespace {

struct TableCase {
    const char* name;
    uint32_t handleStep;  // between consecutive handles
    uint32_t firstHandle;
};

class GroupItemsTest : public ::testing::TestWithParam<TableCase> {};

TEST_P(GroupItemsTest, AgreesWithAMapThroughAddsAndErasures)
{
    const TableCase c = GetParam();
    CGroupItems table;
    std::map<uint32_t, uint32_t> model;  // handle -> client handle
    std::mt19937 random(7);
    uint32_t next = c.firstHandle;
    auto check = [&] {
        ASSERT_EQ(table.size(), model.size());
        for (const auto& [handle, clientHandle] : model) {
            GroupItem* item = table.Find(handle);
            ASSERT_NE(item, nullptr) << handle;
            ASSERT_EQ(item->clientHandle, clientHandle);
        }
        for (const GroupItem& item : table) ASSERT_EQ(model.count(item.handle), 1u);
    };
    for (int round = 0; round < 40; ++round) {
        for (int i = static_cast<int>(random() % 300); i > 0; --i, next += c.handleStep) {
            table.Add(next).clientHandle = next ^ 0x5A5A;
            model[next] = next ^ 0x5A5A;
        }
        for (int i = static_cast<int>(random() % 250); i > 0 && !model.empty(); --i) {
            auto it = model.begin();
            std::advance(it, random() % model.size());
            ASSERT_TRUE(table.Erase(it->first));
            model.erase(it);
        }
        EXPECT_FALSE(table.Erase(next));
        EXPECT_EQ(table.Find(next), nullptr);
        if (round % 10 == 9) {
            const uint32_t odd = static_cast<uint32_t>(random() % 2);
            table.EraseIf([&](const GroupItem& item) { return item.clientHandle % 2 == odd; });
            std::erase_if(model, [&](const auto& entry) { return entry.second % 2 == odd; });
        }
        check();
    }
    table.EraseIf([](const GroupItem&) { return true; });
    EXPECT_TRUE(table.empty());
    table.Add(next).clientHandle = 1;
    EXPECT_EQ(table.Find(next)->clientHandle, 1u);
}

INSTANTIATE_TEST_SUITE_P(Handles, GroupItemsTest,
                         ::testing::Values(TableCase{"Consecutive", 1, 1},
                                           TableCase{"ScatteredAcrossTheWrap", 0x9E3779B9u, 0xFFFFFF00u},
                                           TableCase{"PowersOfTwoApart", 1024, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
