#include "devicemaps/ItemList.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Csv(const std::array<std::uint32_t, kPasUnits>& models)
{
    std::ostringstream out;
    WriteItemListCsv(out, models);
    return out.str();
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

TEST(ItemList, OneLinePerItemWithTheColumnsIntegratorsNeed)
{
    std::array<std::uint32_t, kPasUnits> models{};
    std::ostringstream out;
    EXPECT_EQ(WriteItemListCsv(out, models), 29961u);
    const auto lines = Lines(out.str());
    ASSERT_EQ(lines.size(), 29961u + 1);
    EXPECT_EQ(lines[0], "item_id,address,registers,code,canonical_type,access_mode,access");
    EXPECT_EQ(lines[1], "\"PU_1.Sh_Signal1.shl_1\",3500,1,27,VT_UI1,0,R");
    EXPECT_TRUE(HasLine(lines, "\"PU_7.Const.kernel_version \",6119,1,40,VT_UI1,0,R"));
    EXPECT_TRUE(HasLine(lines, "\"CPI_8.names_crc\",7471,2,2,VT_UI4,0,R"));
    EXPECT_TRUE(HasLine(lines, "\"PAS_3.crc_zones\",4423,2,1,VT_UI2,0,R"));
    EXPECT_TRUE(HasLine(lines, "\"PU_1.U_Signal.dev_3_start\",3503,1,6,VT_BOOL,0,R"));
    EXPECT_TRUE(HasLine(lines, "\"MyPin.Pribor_Comm76.Device\",2075,1,40,VT_UI1,2,RW"));
    EXPECT_EQ(lines.back(), "\"MyPin.Write_Password\",2600,2,2,VT_UI4,1,W");
    for (std::size_t i = 1; i < lines.size(); ++i)
        ASSERT_EQ(std::count(lines[i].begin(), lines[i].end(), ','), 6) << lines[i];
}

TEST(ItemList, PasModelsChangeTheList)
{
    std::array<std::uint32_t, kPasUnits> models{};
    models[4] = 1;
    const auto lines = Lines(Csv(models));
    EXPECT_EQ(lines.size(), 29961u + 1 + 634 - 60);
    EXPECT_TRUE(HasLine(lines, "\"PAS_5.state_zone1\",4483,1,40,VT_UI1,0,R"));  // 4363 + 28 * 4 + 8
    EXPECT_TRUE(HasLine(lines, "\"PAS_6.state_zone1\",4516,2,43,VT_UI1,0,R"));  // 4376 + 28 * 5
}

TEST(ItemList, ParsingPasModelLists)
{
    using Models = std::array<std::uint32_t, kPasUnits>;
    EXPECT_EQ(ParsePasModels(""), Models{});
    Models expected{};
    expected[0] = 1;
    EXPECT_EQ(ParsePasModels("1"), expected);
    expected[2] = 2;
    EXPECT_EQ(ParsePasModels("1,,2"), expected);
    Models all{};
    all.fill(1);
    EXPECT_EQ(ParsePasModels("1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1"), all);
    EXPECT_EQ(ParsePasModels("1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1"), std::nullopt);
    EXPECT_EQ(ParsePasModels("x"), std::nullopt);
    EXPECT_EQ(ParsePasModels("-1"), std::nullopt);
    EXPECT_EQ(ParsePasModels("1 "), std::nullopt);
    EXPECT_EQ(ParsePasModels("4294967296"), std::nullopt);
    EXPECT_EQ(ParsePasModels("4294967295")->at(0), 4294967295u);
}

TEST(ItemList, CanonicalTypeNames)
{
    EXPECT_EQ(CanonicalTypeName(1), "VT_UI2");
    EXPECT_EQ(CanonicalTypeName(4), "VT_UI4");
    EXPECT_EQ(CanonicalTypeName(21), "VT_BOOL");
    EXPECT_EQ(CanonicalTypeName(48), "VT_UI1");
    EXPECT_EQ(CanonicalTypeName(22), "");
}
