#include "app/LogIni.h"
#include "platform/File.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

namespace {

DebugSettings Make(uint8_t common, uint8_t da, uint8_t hda, uint8_t daTool, uint8_t hdaTool, uint32_t fs)
{
    DebugSettings s;
    s.common = common;
    s.da = da;
    s.hda = hda;
    s.daTool = daTool;
    s.hdaTool = hdaTool;
    s.sizeLimitMb = fs;
    return s;
}

}  // namespace

TEST(LogIni, DefaultsForEmptyTextAndTheDefaultLine)
{
    EXPECT_EQ(ParseDebugSettings(""), Make(0, 0, 0, 0, 0, 1024));
    EXPECT_EQ(ParseDebugSettings(kDefaultLogIni), Make(0, 0, 0, 0, 0, 1024));
    EXPECT_STREQ(kDefaultLogIni, "DBG_COMMON=0 DBG_DA=0 DBG_HDA=0 DBG_DA_TOOL=0 DBG_HDA_TOOL=0 FS=1024");
}

TEST(LogIni, EveryKeyReachesItsOwnField)
{
    EXPECT_EQ(ParseDebugSettings("DBG_COMMON=1 DBG_DA=2 DBG_HDA=3 DBG_DA_TOOL=4 DBG_HDA_TOOL=5 FS=6"),
              Make(1, 2, 3, 4, 5, 6));
    // Order does not matter; DBG_DA= is not found inside DBG_DA_TOOL= or DBG_HDA=.
    EXPECT_EQ(ParseDebugSettings("FS=7 DBG_HDA_TOOL=9 DBG_DA_TOOL=3 DBG_HDA=8"), Make(0, 0, 8, 3, 9, 7));
    EXPECT_EQ(ParseDebugSettings("DBG_DA_TOOL=3").da, 0);
}

TEST(LogIni, FirstOccurrenceCountsAndKeysAreCaseSensitive)
{
    EXPECT_EQ(ParseDebugSettings("DBG_DA=2 DBG_DA=5").da, 2);
    EXPECT_EQ(ParseDebugSettings("dbg_da=3 Dbg_Da=4").da, 0);
    EXPECT_EQ(ParseDebugSettings("fs=0").sizeLimitMb, 1024u);
    // Found anywhere, even inside another word.
    EXPECT_EQ(ParseDebugSettings("XDBG_DA=4").da, 4);
    // The first occurrence counts even when it is negative and so ignored.
    EXPECT_EQ(ParseDebugSettings("DBG_DA=-1 DBG_DA=6").da, 0);
}

TEST(LogIni, ValuesAreReadLikeStrtol)
{
    EXPECT_EQ(ParseDebugSettings("DBG_DA=   7").da, 7);
    EXPECT_EQ(ParseDebugSettings("DBG_DA=\t\r\n8").da, 8);
    EXPECT_EQ(ParseDebugSettings("DBG_DA=+9").da, 9);
    EXPECT_EQ(ParseDebugSettings("DBG_DA=12abc").da, 12);
    EXPECT_EQ(ParseDebugSettings("DBG_DA=3.9").da, 3);
    // Blank between key and "=": the key is not there.
    EXPECT_EQ(ParseDebugSettings("DBG_DA =5").da, 0);
    EXPECT_EQ(ParseDebugSettings("FS =5").sizeLimitMb, 1024u);
}

TEST(LogIni, MalformedCountsAsZeroNegativeKeepsTheDefault)
{
    EXPECT_EQ(ParseDebugSettings("FS=abc").sizeLimitMb, 0u);
    EXPECT_EQ(ParseDebugSettings("FS=").sizeLimitMb, 0u);
    EXPECT_EQ(ParseDebugSettings("FS=-").sizeLimitMb, 0u);
    EXPECT_EQ(ParseDebugSettings("FS=-0").sizeLimitMb, 0u);
    EXPECT_EQ(ParseDebugSettings("FS=-5").sizeLimitMb, 1024u);
    EXPECT_EQ(ParseDebugSettings("FS=-99999999999").sizeLimitMb, 1024u);
    EXPECT_EQ(ParseDebugSettings("FS=0").sizeLimitMb, 0u);
}

TEST(LogIni, LevelsWrapAt256AndHugeValuesSaturate)
{
    EXPECT_EQ(ParseDebugSettings("DBG_COMMON=256").common, 0);
    EXPECT_EQ(ParseDebugSettings("DBG_COMMON=257").common, 1);
    EXPECT_EQ(ParseDebugSettings("DBG_COMMON=511").common, 255);
    EXPECT_EQ(ParseDebugSettings("FS=4294967296").sizeLimitMb, 2147483647u);
    EXPECT_EQ(ParseDebugSettings("FS=2147483647").sizeLimitMb, 2147483647u);
    EXPECT_EQ(ParseDebugSettings("FS=99999999999999999999999").sizeLimitMb, 2147483647u);
    EXPECT_EQ(ParseDebugSettings("DBG_DA=99999999999999999999999").da, 255);
}

TEST(LogIni, OnlyTheFirst1023BytesAndTextBeforeANulCount)
{
    // "DBG_DA=57" with its '7' at byte 1023: only the 5 is inside.
    std::string text(1015, ' ');
    text += "DBG_DA=57";
    EXPECT_EQ(text.size(), 1024u);
    EXPECT_EQ(ParseDebugSettings(text).da, 5);
    // A key that begins beyond the limit is not there.
    std::string late(1023, ' ');
    late += "DBG_DA=3";
    EXPECT_EQ(ParseDebugSettings(late).da, 0);
    EXPECT_EQ(LogIniText(late).size(), 1023u);

    const std::string withNul("DBG_DA=1\0DBG_HDA=2", 18);
    EXPECT_EQ(ParseDebugSettings(withNul), Make(0, 1, 0, 0, 0, 1024));
    EXPECT_EQ(LogIniText(withNul), "DBG_DA=1");
}

TEST(LogIni, ReadingCreatesAMissingFileWithTheDefaultLine)
{
    CTempFolder dir;
    const std::string ini = dir.File("log.ini");
    std::string text = "unchanged";
    ASSERT_TRUE(ReadLogIni(ini, &text));
    EXPECT_EQ(text, kDefaultLogIni);
    std::string onDisk;
    ASSERT_TRUE(ReadFileText(ini, &onDisk));
    EXPECT_EQ(onDisk, kDefaultLogIni);  // no line end

    // An existing file is read as it is, never rewritten, and cut at 1023.
    ASSERT_TRUE(WriteFileText(ini, "DBG_DA=2" + std::string(2000, 'x')));
    ASSERT_TRUE(ReadLogIni(ini, &text));
    EXPECT_EQ(text.size(), 1023u);
    EXPECT_EQ(text.substr(0, 9), "DBG_DA=2x");
    uint64_t size = 0;
    ASSERT_TRUE(GetFileSize(ini, &size));
    EXPECT_EQ(size, 2008u);
}

TEST(LogIni, UnreachableFileLeavesTheTextAlone)
{
    CTempFolder dir;
    std::string text = "before";
    EXPECT_FALSE(ReadLogIni(dir.File("no/such/folder/log.ini"), &text));
    EXPECT_EQ(text, "before");
    EXPECT_FALSE(ReadLogIni(dir.File("log.ini"), nullptr));
}
