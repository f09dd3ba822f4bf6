// The configuration file: its bytes against files written by hand, damaged
// and hostile files, loading into the running tree and saving that never
// loses the file on disk.
#include "ZellDAServer.h"
#include "app/SingleVectors.h"
#include "config/ChannelForm.h"
#include "config/ConfigGolden.h"
#include "config/ConfigurationFile.h"
#include "platform/File.h"
#include "platform/MessageBox.h"
#include "support/TempFolder.h"

#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

using S = CGoldenFile::Settings;

CGoldenFile& Udp(CGoldenFile& file, std::u16string_view name, uint32_t children = 0)
{
    return file.Header(children, 4, name).Block(S{}).U32(0).U32(5001).U32(6001);
}

std::vector<uint8_t> Cut(std::vector<uint8_t> bytes, size_t keep)
{
    bytes.resize(keep);
    return bytes;
}

class GoldenTest : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenTest, WriterProducesItAndLoaderReadsItBack)
{
    const GoldenCase& c = GetParam();
    EXPECT_EQ(c.m_bytes.size(), c.m_size);
    CLevelRoot root;
    c.m_build(root);
    EXPECT_EQ(WriteConfigurationImage(root), c.m_bytes);
    CConfigurationRead read = ReadConfigurationImage(c.m_bytes);
    ASSERT_TRUE(read.Intact());
    EXPECT_EQ(WriteConfigurationImage(*read.m_root), c.m_bytes);
}

INSTANTIATE_TEST_SUITE_P(Config, GoldenTest, ::testing::ValuesIn(GoldenCases()),
                         [](const auto& info) { return std::string(info.param.m_name); });

TEST(ConfigImage, RoundTripKeepsOrderNamesSettingsModelsAndKeys)
{
    CLevelRoot root;
    root.SetStatisticsEnabled(0);
    root.SetStatisticsSizeLimit(60000);
    auto& udp = AddChannel<CLevelChannelUDP>(root, "Канал №1");
    udp.DatagramSettings() = {0x0A000001, 5002, 6010};
    udp.SetKey("Ключ-16-символов");
    auto& tcp = AddChannel<CLevelChannelTCP>(root, "ёЖ tcp");
    tcp.ConnectionSettings() = {0xC0A80001, 1502, 700};
    auto& com = AddChannel<CLevelChannelCOM>(root, "Последовательный");
    com.PortSettings() = {12, 76800, 4};
    com.SetKey("k");
    for (size_t i = 0; i < root.ChannelCount(); ++i) {
        CChannelSettings& s = root.ChannelAt(i)->Settings();
        s = {1000 + static_cast<uint32_t>(i), static_cast<uint8_t>(5 + i), {}, 200, 60000, 9, {}, {}, 0, 0};
        s.m_pasModels[i] = s.m_pasModels[23 - i] = 1;
    }
    const std::vector<uint8_t> image = WriteConfigurationImage(root);
    CConfigurationRead read = ReadConfigurationImage(image);
    ASSERT_TRUE(read.Intact());
    ASSERT_EQ(read.m_root->ChannelCount(), 3u);
    EXPECT_EQ(read.m_root->StatisticsEnabled(), 0u);
    EXPECT_EQ(read.m_root->StatisticsSizeLimit(), 60000u);
    for (size_t i = 0; i < 3; ++i) {
        const CLevelChannel& original = *root.ChannelAt(i);
        const CLevelChannel& loaded = *read.m_root->ChannelAt(i);
        EXPECT_EQ(loaded.Kind(), original.Kind());
        EXPECT_EQ(ChannelFormOf(loaded), ChannelFormOf(original)) << original.GetName();
        // What no page shows.
        EXPECT_EQ(loaded.GetKey(), original.GetKey());
        EXPECT_EQ(loaded.Settings().m_slaveAddress, 9);
        EXPECT_EQ(loaded.Settings().m_pollPeriod, 60000u);
    }
    EXPECT_EQ(WriteConfigurationImage(*read.m_root), image);
}

struct DamagedCase {
    const char* m_name;
    std::vector<uint8_t> m_bytes;
    ConfigImageState m_state;
    int m_code;
    int m_channels;  // -1: no tree, the running one stays
    uint32_t m_dropped = 0;
    bool m_unread = false;
};

std::vector<DamagedCase> DamagedCases()
{
    const CGoldenFile rootOnly = CGoldenFile().Root(0);
    CGoldenFile two = CGoldenFile().Root(2);
    Udp(two, u"A");
    const size_t secondHeader = two.Bytes().size();
    Udp(two, u"B");
    std::vector<uint8_t> version2 = rootOnly.Bytes();
    version2[16] = 2;
    std::vector<uint8_t> otherSignature = rootOnly.Bytes();
    otherSignature[15] ^= 1;
    CGoldenFile many = CGoldenFile().Root(34);
    for (int i = 0; i < 34; ++i) {
        Udp(many, u"K" + std::u16string(1, static_cast<char16_t>(u'A' + i)));
    }
    CGoldenFile nested = CGoldenFile().Root(2);
    Udp(Udp(Udp(Udp(nested, u"A", 2), u"A1", 1), u"A11"), u"A2");
    Udp(nested, u"B");
    CGoldenFile rootBelow = CGoldenFile().Root(2).Header(0, 1, u"R").U32(1).U32(5000);
    Udp(rootBelow, u"B");
    CGoldenFile unknown = CGoldenFile().Root(3);
    Udp(unknown, u"A").Header(0, 9, u"X");
    Udp(unknown, u"B");
    CGoldenFile notRoot;
    Udp(notRoot, u"A");
    CGoldenFile longName = CGoldenFile().Root(1).U32(0).U8(4).U8(0).U16(0xFFFF).Utf16(u"abc");
    return {
        {"Empty", {}, ConfigImageState::Empty, kLoadDone, -1},
        {"ShorterThanSignature", Cut(rootOnly.Bytes(), 5), ConfigImageState::Short, kLoadDone, -1},
        {"Version2", version2, ConfigImageState::WrongSignature, kLoadBadSignature, -1},
        {"OtherSignature", otherSignature, ConfigImageState::WrongSignature, kLoadBadSignature, -1},
        {"VersionCut", Cut(rootOnly.Bytes(), 18), ConfigImageState::WrongSignature, kLoadBadSignature, -1},
        {"RootHeaderCut", Cut(rootOnly.Bytes(), 24), ConfigImageState::NoRoot, kLoadCutShort, -1},
        {"FirstRecordNotRoot", notRoot.Bytes(), ConfigImageState::NotRoot, kLoadCutShort, 0},
        {"CutInSecondChannelHeader", Cut(two.Bytes(), secondHeader + 4), ConfigImageState::Read,
         kLoadCutShort, 1},
        {"NameRunsPastTheEnd", longName.Bytes(), ConfigImageState::Read, kLoadDone, 1},
        {"MoreThan32Channels", many.Bytes(), ConfigImageState::Read, kLoadDone, 32, 2},
        {"RecordsBelowAChannel", nested.Bytes(), ConfigImageState::Read, kLoadDone, 2, 3},
        {"RootBelowTheRoot", rootBelow.Bytes(), ConfigImageState::Read, kLoadDone, 1, 1},
        {"UnknownKindEndsTheChannelsQuietly", unknown.Bytes(), ConfigImageState::Read, kLoadDone, 1, 0, true},
    };
}

class DamagedTest : public ::testing::TestWithParam<DamagedCase> {};

TEST_P(DamagedTest, ReadsAsFarAsTheBytesGo)
{
    const DamagedCase& c = GetParam();
    CConfigurationRead read = ReadConfigurationImage(c.m_bytes);
    EXPECT_EQ(read.m_state, c.m_state);
    EXPECT_EQ(read.m_code, c.m_code);
    ASSERT_EQ(read.m_root != nullptr, c.m_channels >= 0);
    if (read.m_root) {
        EXPECT_EQ(read.m_root->ChannelCount(), static_cast<size_t>(c.m_channels));
    }
    EXPECT_EQ(read.m_dropped, c.m_dropped);
    EXPECT_EQ(read.m_unread != 0, c.m_unread);
    EXPECT_FALSE(read.Intact());
}

INSTANTIATE_TEST_SUITE_P(Config, DamagedTest, ::testing::ValuesIn(DamagedCases()),
                         [](const auto& info) { return std::string(info.param.m_name); });

TEST(ConfigImage, FieldsCutShortKeepTheirDefaultsAndTheNameIsWhatArrived)
{
    CGoldenFile file = CGoldenFile().Root(1).U32(0).U8(4).U8(0).U16(4).Utf16(u"Абвг");
    file.U32(777).U8(9).Raw({0, 0, 0}).U16(0x1234);  // the pause cut after two bytes
    CConfigurationRead read = ReadConfigurationImage(file.Bytes());
    ASSERT_EQ(read.m_root->ChannelCount(), 1u);
    const auto& channel = dynamic_cast<const CLevelChannelUDP&>(*read.m_root->ChannelAt(0));
    EXPECT_EQ(channel.GetName(), "Абвг");
    EXPECT_EQ(channel.Settings().m_responseTimeout, 777u);
    EXPECT_EQ(channel.Settings().m_attempts, 9);
    EXPECT_EQ(channel.Settings().m_pauseBeforeRequest, 100u);
    EXPECT_EQ(channel.DatagramSettings().m_localPort, 6001u);
    EXPECT_EQ(ReadConfigurationImage(Cut(file.Bytes(), 60 + 8 + 5)).m_root->ChannelAt(0)->GetName(), "Аб");
}

// Message boxes recorded instead of shown.
class CRecordingBox : public IMessageBox {
   public:
    int Show(std::string_view text, std::string_view caption, unsigned flags) override
    {
        m_shown.push_back(std::string(caption) + ": " + std::string(text));
        m_flags = flags;
        return IDOK;
    }
    std::vector<std::string> m_shown;
    unsigned m_flags = 0;
};

class ConfigFileTest : public ::testing::Test {
   protected:
    void SetUp() override { m_previousBox = SetMessageBox(&m_box); }
    void TearDown() override
    {
        SetMessageBox(m_previousBox);
        CSingleVectors::ResetInstance();
    }

    CSingleVectors& App() { return CSingleVectors::Instance(); }
    std::string FileText(const std::string& path)
    {
        std::string text;
        EXPECT_TRUE(ReadFileText(path, &text));
        return text;
    }
    void WriteFile(const std::vector<uint8_t>& bytes)
    {
        ASSERT_TRUE(WriteFileText(m_path, std::string(bytes.begin(), bytes.end())));
    }
    // The running tree from a file of one UDP channel.
    CLevelRoot* LoadOneChannel()
    {
        CGoldenFile file = CGoldenFile().Root(1);
        WriteFile(Udp(file, u"Vireo-2_1").Bytes());
        EXPECT_EQ(LoadConfiguration(App(), m_path), kLoadDone);
        return App().Root();
    }

    CTempFolder m_folder;
    std::string m_path = m_folder.File(kConfigurationFileName);
    CRecordingBox m_box;
    IMessageBox* m_previousBox = nullptr;
};

TEST_F(ConfigFileTest, LoadBuildsAndStartsTheChannelsAndSaveReloads)
{
    CLevelRoot* root = LoadOneChannel();
    ASSERT_EQ(root->ChannelCount(), 1u);
    CLevelChannel* channel = root->ChannelAt(0);
    EXPECT_GT(channel->LevelCount(), 0u);  // the item space
    EXPECT_TRUE(channel->HasThread());

    root->SetStatisticsSizeLimit(100);
    const std::vector<uint8_t> expected = WriteConfigurationImage(*root);
    ASSERT_EQ(SaveConfiguration(App(), m_path), 1);
    EXPECT_EQ(FileText(m_path), std::string(expected.begin(), expected.end()));
    EXPECT_NE(App().Root(), root);
    EXPECT_EQ(App().Root()->StatisticsSizeLimit(), 100u);
    EXPECT_TRUE(App().Root()->ChannelAt(0)->HasThread());
    EXPECT_TRUE(m_box.m_shown.empty());

    App().SetStatisticsLog(std::make_unique<CLogFile>(m_folder.File("s.txt"), 5000, 1));
    ApplyStatisticsSettings(App());
    EXPECT_EQ(App().StatisticsLog()->SizeLimitKb(), 100u);
}

TEST_F(ConfigFileTest, FilesThatCannotBeLoadedLeaveTreeAndFileUntouched)
{
    CLevelRoot* root = LoadOneChannel();
    for (const DamagedCase& c : DamagedCases()) {
        if (c.m_channels >= 0 || c.m_bytes.empty()) {
            continue;
        }
        SCOPED_TRACE(c.m_name);
        WriteFile(c.m_bytes);
        EXPECT_EQ(LoadConfiguration(App(), m_path), c.m_code);
        EXPECT_EQ(App().Root(), root);
        EXPECT_EQ(FileText(m_path), std::string(c.m_bytes.begin(), c.m_bytes.end()));
    }
    EXPECT_TRUE(m_box.m_shown.empty());
}

TEST_F(ConfigFileTest, ATruncatedFileKeepsTheChannelsReadAndAFirstRecordNoRootEmptiesTheTree)
{
    const std::vector<DamagedCase> cases = DamagedCases();
    const auto find = [&](std::string_view name) {
        return *std::find_if(cases.begin(), cases.end(),
                             [&](const DamagedCase& c) { return c.m_name == name; });
    };
    WriteFile(find("CutInSecondChannelHeader").m_bytes);
    EXPECT_EQ(LoadConfiguration(App(), m_path), kLoadCutShort);
    ASSERT_EQ(App().Root()->ChannelCount(), 1u);
    EXPECT_EQ(App().Root()->ChannelAt(0)->GetName(), "A");
    EXPECT_TRUE(App().Root()->ChannelAt(0)->HasThread());

    WriteFile(find("FirstRecordNotRoot").m_bytes);
    EXPECT_EQ(LoadConfiguration(App(), m_path), kLoadCutShort);
    EXPECT_EQ(App().Root()->ChannelCount(), 0u);
    // The replaced tree took its items out of the toolkit.
    EXPECT_EQ(DeleteDAItem("Каналы связи.A"), S_FALSE);
}

TEST_F(ConfigFileTest, MissingFileIsCreatedEmptyExceptInARegistrationRun)
{
    CLevelRoot* root = App().Root();
    App().SetStartMode(kStartModeRegistration);
    EXPECT_EQ(LoadConfiguration(App(), m_path), kLoadDone);
    EXPECT_FALSE(FileExists(m_path));
    App().SetStartMode(kStartModeNormal);
    EXPECT_EQ(LoadConfiguration(App(), m_path), kLoadDone);
    EXPECT_EQ(FileText(m_path), "");
    EXPECT_EQ(App().Root(), root);
}

TEST_F(ConfigFileTest, DroppedRecordsAreTraced)
{
    App().SetDataFolder(m_folder.Path());
    App().CreateDebugLog();
    CGoldenFile file = CGoldenFile().Root(1);
    WriteFile(Udp(Udp(file, u"A", 1), u"A1").Bytes());
    EXPECT_EQ(LoadConfiguration(App(), m_path), kLoadDone);
    EXPECT_NE(FileText(App().DebugLogPath()).find("1 records read past and dropped"), std::string::npos);
}

class SaveFaultTest : public ConfigFileTest, public ::testing::WithParamInterface<ReplaceStep> {};

TEST_P(SaveFaultTest, TheOldFileSurvivesByteForByte)
{
    CLevelRoot* root = LoadOneChannel();
    const std::string old = FileText(m_path);
    root->SetStatisticsEnabled(0);
    const ReplaceStep failing = GetParam();
    const int result = SaveConfiguration(
        App(), m_path, [failing](ReplaceStep step) { return step == failing ? ENOSPC : 0; });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(FileText(m_path), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_folder.Path()), {}), 1);  // no temporary
    EXPECT_EQ(m_box.m_shown, std::vector<std::string>{"Ошибка: Файл конфигурации испорчен"});
    EXPECT_EQ(m_box.m_flags & MB_ICONMASK, MB_ICONERROR);
    EXPECT_EQ(App().Root(), root);  // no reload
}

INSTANTIATE_TEST_SUITE_P(Config, SaveFaultTest,
                         ::testing::Values(ReplaceStep::CreateTemporary, ReplaceStep::Write,
                                           ReplaceStep::Flush, ReplaceStep::Rename));

TEST_F(ConfigFileTest, AFolderFlushFailingAfterTheRenameStillSaves)
{
    CLevelRoot* root = LoadOneChannel();
    root->SetStatisticsEnabled(0);
    const std::vector<uint8_t> expected = WriteConfigurationImage(*root);
    EXPECT_EQ(SaveConfiguration(App(), m_path,
                                [](ReplaceStep step) { return step == ReplaceStep::FlushFolder ? EIO : 0; }),
              1);
    EXPECT_EQ(FileText(m_path), std::string(expected.begin(), expected.end()));
    EXPECT_TRUE(m_box.m_shown.empty());
}

TEST_F(ConfigFileTest, AFolderWhereTheFileCannotBeCreatedFailsWithTheMessage)
{
    ASSERT_TRUE(WriteFileText(m_folder.File("plain"), "not a folder"));
    EXPECT_EQ(SaveConfiguration(App(), m_folder.File("plain/OpcVireo2.cfg")), 0);
    EXPECT_EQ(m_box.m_shown, std::vector<std::string>{"Ошибка: Файл конфигурации испорчен"});
    EXPECT_EQ(FileText(m_folder.File("plain")), "not a folder");
}

}  // namespace
