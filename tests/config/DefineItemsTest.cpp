#include "ZellDAClient.h"
#include "ZellDAServer.h"
#include "config/LevelRoot.h"
#include "config/LevelTag.h"
#include "config/TestChannel.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string kRoot = "Каналы связи";
constexpr CLSID kClsid = {0x5D1E8A42, 0x7C3B, 0x4F06, {0x9A, 0x2D, 0x1B, 0x8E, 0x6F, 0x0C, 0x4A, 0x37}};

// The toolkit needs a callback object to run; browsing, the only client call
// used here, never reaches it.
class BrowseOnlyCallback : public COPCCallback {
   public:
    HRESULT QueryNumProperties(const char*, uint32_t*) override { return E_NOTIMPL; }
    HRESULT QueryAvailableProperties(const char*, uint32_t, uint32_t*, char**, VARTYPE*) override
    {
        return E_NOTIMPL;
    }
    HRESULT GetItemProperties(const char*, uint32_t, const uint32_t*, VARIANT*, HRESULT*) override
    {
        return E_NOTIMPL;
    }
    HRESULT LookupItemIDs(const char*, uint32_t, const uint32_t*, char**, HRESULT*) override
    {
        return E_NOTIMPL;
    }
    uint32_t GetBaseRate(uint32_t, uint32_t) override { return 1000; }
    HRESULT AddTag(uint32_t, uint32_t, const char* const*, const char* const*, const VARTYPE*, COPCTag**,
                   HRESULT*) override
    {
        return E_NOTIMPL;
    }
    HRESULT ValidateTag(uint32_t, uint32_t, const char* const*, const char* const*, const VARTYPE*,
                        HRESULT*) override
    {
        return E_NOTIMPL;
    }
    HRESULT RemoveTag(uint32_t, uint32_t, COPCTag* const*) override { return E_NOTIMPL; }
    char* GetTagItemID(COPCTag*) override { return nullptr; }
    HRESULT Scan(uint32_t, COPCTag* const*, HRESULT*) override { return E_NOTIMPL; }
    HRESULT CheckReadRights(uint32_t, COPCTag* const*, HRESULT*) override { return E_NOTIMPL; }
    HRESULT Write(uint32_t, COPCTag* const*, const VARIANT*, HRESULT*) override { return E_NOTIMPL; }
    char* GetVendorInfo() override { return nullptr; }
};

// A running toolkit with one connected client; the item space is emptied
// again afterwards, because the toolkit lives for the whole process.
class DefineItemsTest : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_EQ(SetCallbackObject(&m_callback), S_OK);
        ASSERT_TRUE(StartDAServer(nullptr, &kClsid));
        ASSERT_EQ(m_client.Connect("tree test"), S_OK);
    }
    void TearDown() override
    {
        m_client.Disconnect();
        DeleteDAItem(kRoot.c_str());
        StopDAServer();
        SetCallbackObject(nullptr);
    }

    // Names below path with a '*' after items; empty when path is unknown.
    std::vector<std::string> Children(const std::string& path)
    {
        std::vector<DABrowseEntry> entries;
        const HRESULT hr = m_client.Browse(path.c_str(), &entries);
        std::vector<std::string> names;
        if (hr == S_OK) {
            for (const DABrowseEntry& e : entries) {
                names.push_back(e.name + (e.isItem ? "*" : ""));
            }
            std::sort(names.begin(), names.end());
        }
        return names;
    }

    BrowseOnlyCallback m_callback;
    CDAClient m_client;
};

using Names = std::vector<std::string>;

}  // namespace

TEST_F(DefineItemsTest, EveryTagBelowIsDefinedByItsFullPath)
{
    CLevelRoot root;
    auto owned = std::make_unique<TestChannel>(kKindChannelTCP, "Vireo-2_1");
    TestChannel* channel = owned.get();
    root.AddLevel(std::move(owned));
    ASSERT_NE(channel->CreatePath("PU_1.Sh_State.shl_1"), nullptr);
    ASSERT_NE(channel->CreatePath("PU_1.Sh_State.shl_2"), nullptr);
    ASSERT_NE(channel->CreatePath("PU_1.x"), nullptr);
    ASSERT_NE(channel->CreatePath("t"), nullptr);

    EXPECT_EQ(Children(kRoot), Names{});
    EXPECT_EQ(channel->DefineItems(), 1);
    EXPECT_EQ(Children(kRoot), Names{"Vireo-2_1"});
    EXPECT_EQ(Children(kRoot + ".Vireo-2_1"), (Names{"PU_1", "t*"}));
    EXPECT_EQ(Children(kRoot + ".Vireo-2_1.PU_1"), (Names{"Sh_State", "x*"}));
    EXPECT_EQ(Children(kRoot + ".Vireo-2_1.PU_1.Sh_State"), (Names{"shl_1*", "shl_2*"}));
}

TEST_F(DefineItemsTest, TeardownWithdrawsOnlyItsOwnChannel)
{
    CLevelRoot root;
    auto one = std::make_unique<TestChannel>(kKindChannelTCP, "Vireo-2_1");
    auto two = std::make_unique<TestChannel>(kKindChannelUDP, "Vireo-2_2");
    TestChannel* first = one.get();
    TestChannel* second = two.get();
    root.AddLevel(std::move(one));
    root.AddLevel(std::move(two));
    ASSERT_NE(first->CreatePath("PU_1.a"), nullptr);
    ASSERT_NE(second->CreatePath("PU_1.b"), nullptr);
    EXPECT_EQ(root.DefineItems(), 1);
    EXPECT_EQ(Children(kRoot), (Names{"Vireo-2_1", "Vireo-2_2"}));

    first->Teardown();
    EXPECT_EQ(first->LevelCount(), 0u);
    EXPECT_EQ(first->TagCount(), 0u);
    EXPECT_EQ(Children(kRoot), Names{"Vireo-2_2"});
    EXPECT_EQ(Children(kRoot + ".Vireo-2_2.PU_1"), Names{"b*"});

    // Withdrawing what is not there, or again, answers 1 and changes nothing.
    EXPECT_EQ(first->DeleteItem(), 1);
    auto stray = std::make_unique<TestChannel>(kKindChannelCOM, "nowhere");
    EXPECT_EQ(stray->DeleteItem(), 1);
    EXPECT_EQ(Children(kRoot + ".Vireo-2_2.PU_1"), Names{"b*"});
}

TEST_F(DefineItemsTest, RemovingAChannelThroughShutdownWithdrawsItsItems)
{
    CLevelRoot root;
    auto owned = std::make_unique<TestChannel>(kKindChannelCOM, "Vireo-2_3");
    ASSERT_NE(owned->CreatePath("PU_1.a"), nullptr);
    root.AddLevel(std::move(owned));
    EXPECT_EQ(root.DefineItems(), 1);
    EXPECT_EQ(Children(kRoot), Names{"Vireo-2_3"});
    root.RemoveLevel(kRoot + ".Vireo-2_3");
    EXPECT_EQ(root.LevelCount(), 0u);
    EXPECT_EQ(Children(kRoot), Names{});
}
