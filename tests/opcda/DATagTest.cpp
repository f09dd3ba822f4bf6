#include "config/LevelGroup.h"
#include "config/LevelTag.h"
#include "opcda/DATag.h"
#include "platform/FileTime.h"

#include <gtest/gtest.h>
#include <memory>

namespace {

std::uint64_t Stamp(const CDATag& item)
{
    return FileTimeToUInt64(item.m_timeStamp);
}

// The time stamp is "now": between two readings of the clock around the call.
template <typename F>
void ExpectStampedNow(CDATag& item, F&& call)
{
    item.m_timeStamp = {};
    const std::uint64_t before = SystemTimeNow();
    call();
    const std::uint64_t after = SystemTimeNow();
    EXPECT_GE(Stamp(item), before);
    EXPECT_LE(Stamp(item), after);
}

}  // namespace

TEST(Status, EightBitsAndNothingAbove)
{
    CStatus status;
    EXPECT_EQ(status.Flags(), 0);
    for (unsigned bit = 0; bit < 8; ++bit) {
        EXPECT_FALSE(status.TestBit(bit));
        status.SetBit(bit);
        EXPECT_TRUE(status.TestBit(bit));
        for (unsigned other = bit + 1; other < 8; ++other) EXPECT_FALSE(status.TestBit(other)) << bit;
    }
    EXPECT_EQ(status.Flags(), 0xFF);
    status.ClearAll();
    EXPECT_EQ(status.Flags(), 0);
    status.SetBit(8);
    status.SetBit(31);
    status.SetBit(1000);
    EXPECT_EQ(status.Flags(), 0) << "bits above 7 cannot be set";
    status.SetBit(0);
    EXPECT_FALSE(status.TestBit(8));
    EXPECT_FALSE(status.TestBit(256)) << "no wrap-around to bit 0";
}

TEST(DATag, ConstructionLeavesEverythingEmpty)
{
    CDATag item;
    EXPECT_EQ(item.Flags(), 0);
    EXPECT_EQ(item.Address(), 0);
    EXPECT_EQ(item.Code(), 0);
    EXPECT_EQ(item.AccessMode(), 0);
    EXPECT_EQ(item.RegisterImage(), nullptr);
    EXPECT_EQ(item.RegisterImageSize(), 0u);
    EXPECT_EQ(item.Exchange(), nullptr);
    EXPECT_EQ(item.Owner(), nullptr);
    EXPECT_EQ(item.PendingWriteValue(), nullptr);
    EXPECT_EQ(item.m_canonicalType, VT_EMPTY);
    EXPECT_FALSE(item.InUse());
    EXPECT_EQ(item.FullName(), "");
    EXPECT_FALSE(item.TestBit(CDATag::kProcessedBit));
}

TEST(DATag, SetupFromTheCodeAndTheAccessMode)
{
    CDATag item;
    ExpectStampedNow(item, [&] { item.Setup(7471, 1, 2); });
    EXPECT_EQ(item.Address(), 7471);
    EXPECT_EQ(item.AccessMode(), 1);
    EXPECT_EQ(item.Code(), 2);
    EXPECT_EQ(item.m_canonicalType, VT_UI4);
    EXPECT_EQ(item.m_value.vt, VT_UI4);
    ASSERT_NE(item.RegisterImage(), nullptr);
    EXPECT_EQ(item.RegisterImageSize(), 4u);
    EXPECT_EQ(item.m_accessRights, OPC_WRITEABLE);
    EXPECT_FALSE(item.IsReadable());
    EXPECT_TRUE(item.IsWriteable());
    EXPECT_EQ(item.m_quality, OPC_QUALITY_UNCERTAIN);
    EXPECT_FALSE(item.IsGood());

    struct Case {
        std::uint8_t mode, code;
        std::uint32_t rights;
        VARTYPE vt;
        std::uint32_t imageBytes;
    };
    const Case cases[] = {
        {0, 1, OPC_READABLE, VT_UI2, 4},
        {0, 4, OPC_READABLE, VT_UI4, 6},
        {2, 6, OPC_READABLE | OPC_WRITEABLE, VT_BOOL, 2},
        {2, 40, OPC_READABLE | OPC_WRITEABLE, VT_UI1, 2},
        {0, 43, OPC_READABLE, VT_UI1, 4},
        {0, 5, OPC_READABLE, VT_UI1, 2},
    };
    for (const Case& c : cases) {
        CDATag tag;
        tag.Setup(100, c.mode, c.code);
        EXPECT_EQ(tag.m_accessRights, c.rights) << int(c.code);
        EXPECT_EQ(tag.m_canonicalType, c.vt) << int(c.code);
        EXPECT_EQ(tag.m_value.vt, c.vt) << int(c.code);
        EXPECT_EQ(tag.RegisterImageSize(), c.imageBytes) << int(c.code);
        for (std::uint32_t i = 0; i < tag.RegisterImageSize(); ++i) EXPECT_EQ(tag.RegisterImage()[i], 0);
    }
}

TEST(DATag, UndefinedCodeAndUnknownModes)
{
    CDATag item;
    item.Setup(10, 0, 22);
    EXPECT_EQ(item.m_canonicalType, VT_EMPTY);
    EXPECT_EQ(item.m_value.vt, VT_EMPTY);
    EXPECT_EQ(item.RegisterImage(), nullptr);
    EXPECT_EQ(item.m_accessRights, OPC_READABLE);
    // Modes 3 and above are not register items: rights stay as they were.
    item.Setup(10, 3, 22);
    EXPECT_EQ(item.m_accessRights, OPC_READABLE);
    item.Setup(10, 2, 0);
    item.Setup(10, 200, 49);
    EXPECT_EQ(item.m_accessRights, OPC_READABLE | OPC_WRITEABLE);
    EXPECT_EQ(item.AccessMode(), 200);
}

TEST(DATag, SetupResetsImageQualityAndPendingWrite)
{
    CDATag item;
    item.Setup(1, 2, 39);
    item.RegisterImage()[0] = 0xAB;
    item.RegisterImage()[1] = 0xCD;
    item.m_quality = OPC_QUALITY_GOOD;
    VARIANT pending;
    VariantInit(&pending);
    item.SetPendingWriteValue(&pending);
    item.Setup(2, 2, 39);
    EXPECT_EQ(item.RegisterImage()[0], 0);
    EXPECT_EQ(item.RegisterImage()[1], 0);
    EXPECT_EQ(item.m_quality, OPC_QUALITY_UNCERTAIN);
    EXPECT_EQ(item.PendingWriteValue(), nullptr);
}

TEST(DATag, QualityChangesStampTheTime)
{
    CDATag item;
    item.Setup(1, 0, 1);
    ExpectStampedNow(item, [&] { item.SetQuality(OPC_QUALITY_GOOD); });
    EXPECT_TRUE(item.IsGood());
    item.SetQuality(OPC_QUALITY_BAD);
    EXPECT_FALSE(item.IsGood());
    EXPECT_EQ(item.m_quality, OPC_QUALITY_BAD);
    item.SetQuality(OPC_QUALITY_GOOD | 0x03);  // a limit field makes it not exactly good
    EXPECT_FALSE(item.IsGood());
}

TEST(DATag, FullNameIsTheOwnersPath)
{
    auto group = std::make_unique<CLevelGroup>();
    group->SetName("PU_1");
    CLevelTag* tag = group->CreatePath("Sh_State.shl_1");
    ASSERT_NE(tag, nullptr);
    ASSERT_NE(tag->Item(), nullptr);
    EXPECT_EQ(tag->Item()->FullName(), "PU_1.Sh_State.shl_1");
    tag->Item()->SetOwner(nullptr);
    EXPECT_EQ(tag->Item()->FullName(), "");
}

TEST(DATag, ProcessedMarkIsBitThree)
{
    CDATag item;
    item.Setup(1, 0, 6);
    item.SetBit(CDATag::kProcessedBit);
    EXPECT_EQ(item.Flags(), 0x08);
    EXPECT_TRUE(item.TestBit(3));
    item.ClearAll();
    EXPECT_FALSE(item.TestBit(3));
}
