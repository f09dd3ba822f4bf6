// The toolkit's own trace into the program's debug log.

#include "FakeProgram.h"
#include "platform/File.h"
#include "support/TempFolder.h"

#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Exists(const std::string& path)
{
    return std::ifstream(path).good();
}

class TraceTest : public ::testing::Test, public ToolkitFixture {
   protected:
    void SetUp() override { ASSERT_TRUE(m_started); }
    void TearDown() override { SetDebugSettingsDA(m_log.c_str(), ""); }
    // Connects a client and asks for an unknown item: one level-1 line (the
    // connection) and one level-2 line (the refusal).
    void Activity()
    {
        CDAClient client;
        ASSERT_EQ(client.Connect("tracer"), S_OK);
        uint32_t group, rate;
        ASSERT_TRUE(SUCCEEDED(client.AddGroup("g", true, 100, 0, &group, &rate)));
        std::vector<DAItemResult> results;
        client.AddItems(group, {{Id("no.such.item")}}, &results);
    }
    CTempFolder m_folder;
    std::string m_log = m_folder.Path() + "/OpcVireo2_dbg.log";
};

TEST_F(TraceTest, LinesCarryTheDebugLogPrefix)
{
    SetDebugSettingsDA(m_log.c_str(), "DBG_COMMON=0 DBG_DA=0 DBG_HDA=0 DBG_DA_TOOL=1 DBG_HDA_TOOL=0 FS=1024");
    Activity();
    std::string text = ReadAll(m_log);
    std::regex line(
        R"(PID=\d+ TID=\d+ \[ \d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} \] Client \d+ connected \(tracer\)\r\n)");
    EXPECT_TRUE(std::regex_search(text, line)) << text;
    EXPECT_EQ(text.find("no.such.item"), std::string::npos) << "a level-2 line at level 1";
    // Every line is complete.
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

TEST_F(TraceTest, LevelTwoAddsRefusals)
{
    SetDebugSettingsDA(m_log.c_str(), "DBG_DA_TOOL=2");
    Activity();
    std::string text = ReadAll(m_log);
    EXPECT_NE(text.find("no.such.item: 0xC0040007"), std::string::npos) << text;
}

TEST_F(TraceTest, SettingsAreReadLikeTheProgramReadsThem)
{
    struct Case {
        const char* settings;
        bool level1, level2;
    } cases[] = {
        {"", false, false},  // all defaults: silent
        {"DBG_DA_TOOL=0", false, false},
        {"DBG_DA=2 DBG_HDA_TOOL=2", false, false},       // other categories are not the toolkit's
        {"DBG_DA_TOOL=-1", false, false},                // negative: the default stays
        {"DBG_DA_TOOL=  2", true, true},                 // blanks after '='
        {"DBG_DA_TOOL=258", true, true},                 // modulo 256
        {"DBG_DA_TOOL=1 FS=0", false, false},            // size limit 0 switches writing off
        {"x DBG_DA_TOOL=1 DBG_DA_TOOL=0", true, false},  // the first occurrence counts
    };
    for (const Case& c : cases) {
        (void)DeleteFile(m_log);
        SetDebugSettingsDA(m_log.c_str(), c.settings);
        Activity();
        std::string text = Exists(m_log) ? ReadAll(m_log) : std::string();
        EXPECT_EQ(text.find("connected (tracer)") != std::string::npos, c.level1) << c.settings;
        EXPECT_EQ(text.find("no.such.item") != std::string::npos, c.level2) << c.settings;
    }
}

TEST_F(TraceTest, ALogOverTheLimitBecomesTheReserveFile)
{
    std::string reserve = m_log + "_reserv";
    ASSERT_TRUE(WriteFileText(reserve, "older reserve"));
    ASSERT_TRUE(WriteFileText(m_log, std::string(1048576 + 1, 'x')));
    SetDebugSettingsDA(m_log.c_str(), "DBG_DA_TOOL=1 FS=1");
    std::string text = ReadAll(m_log);
    EXPECT_EQ(ReadAll(reserve).size(), 1048577u);
    EXPECT_LT(text.size(), 200u);
    EXPECT_NE(text.find("SetDebugSettingsDA(DBG_DA_TOOL=1 FS=1)"), std::string::npos) << text;
    // Under the limit nothing rotates.
    Activity();
    EXPECT_EQ(ReadAll(reserve).size(), 1048577u);
    EXPECT_NE(ReadAll(m_log).find("connected (tracer)"), std::string::npos);
}

}  // namespace
