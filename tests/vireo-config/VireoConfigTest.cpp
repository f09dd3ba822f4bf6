// vireo-config: what it prints, the bytes its edits give, and every refusal
// of the channel dialog with its message, its status and the file unchanged.
#include "ConfigCommands.h"
#include "config/ConfigGolden.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "support/ChildProcess.h"
#include "support/TempFolder.h"

#include <cctype>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <tuple>

namespace {

using S = CGoldenFile::Settings;

std::string Repeat(const std::string& text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

struct Result {
    int m_status;
    std::string m_out;
    std::string m_err;
};

class VireoConfigTest : public ::testing::Test {
   protected:
    Result Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--file", m_path});
        std::ostringstream out, err;
        const int status = RunVireoConfig(args, out, err);
        return {status, out.str(), err.str()};
    }
    std::string Bytes()
    {
        std::string text;
        EXPECT_TRUE(ReadFileText(m_path, &text));
        return text;
    }
    void Write(const std::string& bytes) { ASSERT_TRUE(WriteFileText(m_path, bytes)); }

    CTempFolder m_folder;
    std::string m_path = m_folder.File("OpcVireo2.cfg");
};

class GoldenJsonTest : public VireoConfigTest, public ::testing::WithParamInterface<GoldenCase> {};

TEST_P(GoldenJsonTest, ShowJsonPrintsIt)
{
    Write(std::string(GetParam().m_bytes.begin(), GetParam().m_bytes.end()));
    const Result r = Run({"show", "--json"});
    EXPECT_EQ(r.m_status, kExitDone);
    EXPECT_EQ(r.m_out, GetParam().m_json);
    EXPECT_EQ(r.m_err, "");
}

INSTANTIATE_TEST_SUITE_P(VireoConfig, GoldenJsonTest, ::testing::ValuesIn(GoldenCases()),
                         [](const auto& info) { return std::string(info.param.m_name); });

TEST_F(VireoConfigTest, EditsGiveTheBytesOfTheLayout)
{
    // A new channel takes the dialog's defaults: 5000 ms, 3 attempts, 500 ms.
    S udp{5000, 3, 500, 0, 1, {}, u""};
    ASSERT_EQ(Run({"add", "udp", "Vireo-2_1"}).m_status, kExitDone);
    CGoldenFile one = CGoldenFile().Root(1).Header(0, 4, u"Vireo-2_1");
    EXPECT_EQ(Bytes(), one.Block(udp).U32(0).U32(5001).U32(6001).Text());

    ASSERT_EQ(Run({"set", "Vireo-2_1", "address=192.168.1.10", "key=abcde", "pasModels=[1, 0, 1]", "slave=5",
                   "pollPeriodMs=1000"})
                  .m_status,
              kExitDone);
    udp.pollPeriod = 1000;
    udp.slave = 5;
    udp.pasModels[0] = udp.pasModels[2] = 1;
    udp.key = u"abcde";
    CGoldenFile udpRecord;
    udpRecord.Header(0, 4, u"Vireo-2_1").Block(udp).Raw({10, 1, 168, 192}).U32(5001).U32(6001);
    const std::string udpBytes = udpRecord.Text().substr(20);
    EXPECT_EQ(Bytes(), CGoldenFile().Root(1).Text() + udpBytes);

    ASSERT_EQ(Run({"add", "serial", "COM1"}).m_status, kExitDone);
    ASSERT_EQ(Run({"stats", "enabled=0", "sizeKb=100"}).m_status, kExitDone);
    CGoldenFile serial;
    serial.Header(0, 2, u"COM1").Block(S{3000, 10, 500, 0, 1, {}, u""}).U32(1).U32(9600).U32(0);
    const std::string serialBytes = serial.Text().substr(20);
    EXPECT_EQ(Bytes(), CGoldenFile().Root(2, 0, 100).Text() + udpBytes + serialBytes);

    ASSERT_EQ(Run({"remove", "Vireo-2_1"}).m_status, kExitDone);
    EXPECT_EQ(Bytes(), CGoldenFile().Root(1, 0, 100).Text() + serialBytes);
}

struct CheckCase {
    std::vector<std::string> m_args;
    int m_status;
    const char* m_message;  // in stderr; empty when accepted
};

class ChecksTest : public VireoConfigTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(ChecksTest, RefusedWithTheMessageAndTheFileUnchanged)
{
    for (const std::vector<std::string>& add :
         std::vector<std::vector<std::string>>{{"add", "udp", "Vireo-2_1"},
                                               {"add", "udp", "канал", "address=10.0.0.2", "localPort=6002"},
                                               {"add", "tcp", "T1", "address=10.0.0.1"},
                                               {"add", "serial", "S1", "port=1"}}) {
        ASSERT_EQ(Run(add).m_status, kExitDone);
    }
    const std::string before = Bytes();
    const CheckCase& c = GetParam();
    const Result r = Run(c.m_args);
    EXPECT_EQ(r.m_status, c.m_status) << r.m_err;
    EXPECT_NE(r.m_err.find(c.m_message), std::string::npos) << r.m_err;
    EXPECT_EQ(Bytes() == before, c.m_status != kExitDone);
}

const CheckCase kChecks[] = {
    {{"add", "udp", "A", "attempts=0"}, 1, "Внимание!: Введите целое число от 1 до 20."},
    {{"add", "serial", "S", "port=2", "responseTimeoutMs=30001"}, 1, "Введите целое число от 50 до 30000."},
    {{"add", "tcp", "T", "address=1.1.1.1", "port=1000000"}, 1, "Введите целое число от 0 до 999999."},
    {{"add", "udp", "U", "localPort=0"}, 1, "Введите целое число от 1 до 65535."},
    {{"add", "tcp", "T", "address=1.1.1.1", "pollPeriodMs=600001"}, 1, "от 0 до 600000."},
    {{"add", "serial", "S", "port=2", "baud=115200"}, 1, "Выберите скорость обмена из списка"},
    {{"add", "serial", "S", "port=2", "parity=5"}, 1, "Введите целое число от 0 до 4."},
    {{"add", "tcp", "T", "address=1.1.1.1", "key=12345678901234567"}, 1, "Введите не более 16 символов."},
    {{"add", "udp", Repeat("я", 65)}, 1, "Введите не более 64 символов."},
    {{"add", "udp", "a.b", "attempts=0"}, 1, "от 1 до 20"},  // ranges come before the name
    {{"add", "udp", "a.b"}, 1, "Внимание!: Имя содержит запрещенный символ '.'"},
    {{"add", "udp", "VIREO-2_1"}, 1, "Ошибка: Канал с указанным именем уже существует"},
    {{"add", "tcp", "КАНАЛ", "address=1.1.1.1"}, 1, "Ошибка: Канал с указанным именем уже существует"},
    {{"add", "serial", "S2", "port=1"}, 1, "Ошибка: Канал с указанным номером COM-порта уже существует"},
    {{"add", "tcp", "T2", "address=10.0.0.1", "port=503"}, 1, "Внимание!: Задан уже используемый IP-адрес"},
    {{"add", "udp", "U2", "address=10.0.0.2"}, 1, "Внимание!: Задан уже используемый IP-адрес"},
    {{"add", "udp", "U3", "address=10.0.0.3", "localPort=6001"},
     1,
     "Внимание!: Заданный локальный порт уже используется"},
    {{"set", "Vireo-2_1", "localPort=6002"}, 1, "Заданный локальный порт уже используется"},
    {{"stats", "sizeKb=99"}, 1, "Введите целое число от 100 до 60000."},
    {{"stats", "enabled=2"}, 1, "for enabled: 0 or 1"},
    {{"set", "S1", "key=abc"}, 1, "no field key"},
    {{"set", "T1", "kind=udp"}, 1, "cannot be changed"},
    {{"set", "nobody", "attempts=3"}, 1, "no channel named 'nobody'"},
    {{"set", "T1", "slave=0"}, 1, "for slave: 1..247"},
    {{"add", "udp", "U4", "address=1.2.3"}, 1, "not an IPv4 address"},
    {{"add", "udp", "U4", "pasModels=0,2"}, 1, "0 (ПАС) or 1 (ПАС-300)"},
    {{"add", "modem", "M"}, 1, "unknown kind 'modem'"},
    {{"frobnicate"}, 1, "unknown command"},
    // Accepted: a remote port or a TCP port may be shared, an address across
    // kinds, and a channel does not clash with itself.
    {{"add", "udp", "U5", "address=10.0.0.5", "remotePort=5001", "localPort=6005"}, 0, ""},
    {{"add", "tcp", "T3", "address=10.0.0.3", "port=502"}, 0, ""},
    {{"add", "udp", "U6", "address=10.0.0.1", "localPort=6006"}, 0, ""},
    {{"set", "Vireo-2_1", "name=VIREO-2_1"}, 0, ""},
};

INSTANTIATE_TEST_SUITE_P(VireoConfig, ChecksTest, ::testing::ValuesIn(kChecks), [](const auto& info) {
    std::string name = std::to_string(info.index);
    for (const std::string& arg : info.param.m_args) {
        name += '_';
        for (const char c : arg) {
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : 'x';
        }
    }
    return name;
});

TEST_F(VireoConfigTest, The33rdChannelIsRefusedBeforeAnyOtherCheck)
{
    for (int i = 1; i <= 32; ++i) {
        ASSERT_EQ(Run({"add", "udp", "C" + std::to_string(i)}).m_status, kExitDone) << i;
    }
    const std::string before = Bytes();
    const Result r = Run({"add", "udp", "a.b"});
    EXPECT_EQ(r.m_status, kExitRefused);
    EXPECT_EQ(r.m_err, "Внимание!: Добавлено максимально возможное количество приборов\n");
    EXPECT_EQ(Bytes(), before);
}

TEST_F(VireoConfigTest, AFileThatCannotBeLoadedIsNeverOverwritten)
{
    std::string version2 = CGoldenFile().Root(0).Text();
    version2[16] = 2;
    CGoldenFile notRoot;
    notRoot.Header(0, 4, u"A").Block(S{}).U32(0).U32(5001).U32(6001);
    CGoldenFile cut = CGoldenFile().Root(2).Header(0, 4, u"A").Block(S{}).U32(0).U32(5001).U32(6001).U32(0);
    for (const std::string& bytes : {version2, notRoot.Text(), cut.Text(), std::string("short")}) {
        Write(bytes);
        for (const std::vector<std::string>& args :
             std::vector<std::vector<std::string>>{{"show"}, {"add", "udp", "B"}, {"stats", "enabled=0"}}) {
            const Result r = Run(args);
            const bool damagedShown = bytes == cut.Text() && args[0] == "show";
            EXPECT_EQ(r.m_status, damagedShown ? kExitDone : kExitFileFault) << r.m_err;
            EXPECT_NE(r.m_err.find(damagedShown ? "shown as far as it loads" : "it is left as it is"),
                      std::string::npos)
                << r.m_err;
            EXPECT_EQ(Bytes(), bytes);
        }
    }
}

TEST_F(VireoConfigTest, HelpListsTheCommands)
{
    const Result help = Run({"--help"});
    EXPECT_EQ(help.m_status, kExitDone);
    for (const char* text :
         {"--file PATH", "show [--json]", "add KIND NAME", "set NAME FIELD=VALUE", "remove NAME",
          "stats [enabled=0|1] [sizeKb=N]", "connectTimeoutMs", "Exit status"}) {
        EXPECT_NE(help.m_out.find(text), std::string::npos) << text;
    }
}

TEST_F(VireoConfigTest, TheProgramWritesIntoTheDataFolderAndExitsWithTheStatus)
{
    const char* bin = std::getenv("VIREO_TEST_BIN");
    ASSERT_NE(bin, nullptr) << "VIREO_TEST_BIN names the folder of the programs";
    const std::string program = std::string(bin) + "/vireo-config";
    const std::string environment = "XDG_DATA_HOME=" + m_folder.Path();
    for (const auto& [args, status, err] :
         std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
             {{"add", "tcp", "T"}, kExitDone, ""},
             {{"add", "tcp", "t"}, kExitRefused, "Ошибка: Канал с указанным именем уже существует\n"}}) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        CChildProcess child;
        ASSERT_TRUE(child.Start(argv, CChildProcess::kStdout | CChildProcess::kStderr, {environment}));
        const ChildResult result = child.Wait(std::chrono::seconds(20));
        EXPECT_EQ(result.Status(), status);
        EXPECT_EQ(result.err, err);
    }
    EXPECT_TRUE(FileExists(JoinPath(JoinPath(m_folder.Path(), kDataFolderName), "OpcVireo2.cfg")));
}

}  // namespace
