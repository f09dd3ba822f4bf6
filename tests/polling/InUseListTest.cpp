// The in-use list of an exchange on its own. Its items belong to no exchange,
// so their references note nothing: each test delivers the notes itself, in
// an order that racing clients and polls can give them.
#include "opcda/DATag.h"
#include "polling/InUseList.h"

#include <cstdint>
#include <gtest/gtest.h>

// The first reference is noted only after the poll that took the release's
// note: the item, which nobody holds, must not be polled from then on.
TEST(InUseList, AnItemLetGoBeforeItsTakingWasNotedIsNotPolled)
{
    CInUseList list;
    CDATag item;
    item.Setup(10, kAccessRead, 39);
    item.AddRef();
    item.Release();
    list.LetGo();
    EXPECT_TRUE(list.Collect(false).empty());
    list.Taken(&item, nullptr);
    EXPECT_TRUE(list.Collect(false).empty());
    EXPECT_TRUE(list.Collect(false).empty());

    item.AddRef();
    list.Taken(&item, nullptr);
    EXPECT_EQ(list.Collect(false).size(), 1u);
    item.Release();
    list.LetGo();
    EXPECT_TRUE(list.Collect(false).empty());
}

// Four billion first references later a poll must still look at the items.
TEST(InUseList, TheCountOfFirstReferencesNeverWrapsToNothingInUse)
{
    CInUseList list(UINT32_MAX);
    list.Taken(nullptr, nullptr);
    EXPECT_FALSE(list.NothingInUse());
}
