// The program OpcVireo2 as a process of its own: registration runs, server
// and configuration mode, signals, exit statuses and the files it keeps, each
// run with data, configuration and runtime folders of the test's own.
#include "app/OPCServerApp.h"
#include "app/ServerIdentity.h"
#include "config/LevelRoot.h"
#include "opcua/protocol/UaClient.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "sim/SimHarness.h"
#include "support/ChildProcess.h"
#include "support/ScopedEnv.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"
#include "tools/vireo2-sim/SimRegisters.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kServerKey = std::string("CLSID\\") + kServerClsidText + "\\LocalServer32";

std::string BinFolder()
{
    const char* bin = std::getenv("VIREO_TEST_BIN");
    return bin != nullptr ? bin : "";
}

// The statistics lines without their time stamps.
std::vector<std::string> StatisticsTexts(const std::string& path)
{
    std::string text;
    std::vector<std::string> lines;
    if (!ReadFileText(path, &text)) {
        return lines;
    }
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t stamp = line.find("] ");
        lines.push_back(stamp == std::string::npos ? line : line.substr(stamp + 2));
    }
    return lines;
}

class ProgramTest : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_FALSE(BinFolder().empty()) << "VIREO_TEST_BIN names the programs' folder";
        // Any free port for the OPC UA endpoint: tests run side by side.
        ASSERT_TRUE(CreateFolders(DataFile("")));
        ASSERT_TRUE(WriteFileText(DataFile("opcua.ini"), "listen=127.0.0.1:0\n"));
    }

    std::vector<std::string> Environment() const
    {
        // Configuration mode's window draws off screen, with or without a display.
        return {"XDG_DATA_HOME=" + m_data.Path(), "XDG_CONFIG_HOME=" + m_config.Path(),
                "XDG_RUNTIME_DIR=" + m_runtime.Path(), "QT_QPA_PLATFORM=offscreen"};
    }
    std::vector<std::string> Argv(const std::vector<std::string>& args, const std::string& program = "") const
    {
        std::vector<std::string> argv{program.empty() ? BinFolder() + "/OpcVireo2" : program};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    ChildResult Run(const std::vector<std::string>& args, std::chrono::milliseconds wait = 20s)
    {
        return RunProgram(Argv(args), wait, Environment());
    }
    // Starts the program and waits until it has written its start line.
    bool Start(CChildProcess& child, const std::vector<std::string>& args, const std::string& program = "")
    {
        const size_t before = Statistics().size();
        return child.Start(Argv(args, program), CChildProcess::kStdout | CChildProcess::kStderr,
                           Environment()) &&
               WaitFor([&] { return Statistics().size() > before; }, 20s);
    }
    std::string DataFile(const std::string& name) const
    {
        return JoinPath(JoinPath(m_data.Path(), kDataFolderName), name);
    }
    std::vector<std::string> Statistics() const { return StatisticsTexts(DataFile("OpcVireo2.txt")); }
    std::string DebugLog() const
    {
        std::string text;
        (void)ReadFileText(DataFile("OpcVireo2_dbg.log"), &text);
        return text;
    }
    bool WaitForTrace(const std::string& text, std::chrono::milliseconds limit = 30s) const
    {
        return WaitFor([&] { return DebugLog().find(text) != std::string::npos; }, limit);
    }
    // The item count of the start-up line "configuration loaded in ... ms: N channels, M items".
    std::string ItemsAtStart() const
    {
        const std::string log = DebugLog();
        const size_t channels = log.find(" channels, ", log.find("configuration loaded in"));
        const size_t end = log.find(" items", channels);
        return channels == std::string::npos || end == std::string::npos
                   ? std::string()
                   : log.substr(channels + 11, end - channels - 11);
    }
    // vireo-config on the data folder's configuration file.
    ChildResult Configure(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {BinFolder() + "/vireo-config", "--file", DataFile("OpcVireo2.cfg")});
        return RunProgram(args, 10s);
    }
    // Ends the program with the signal; its status, stderr and statistics lines.
    ChildResult End(CChildProcess& child, int signal = SIGTERM)
    {
        child.Signal(signal);
        return child.Wait(30s);
    }
    CRegistry Registry() const
    {
        CScopedEnv config("XDG_CONFIG_HOME", m_config.Path());
        return CRegistry::Open();
    }

    CTempFolder m_data;
    CTempFolder m_config;
    CTempFolder m_runtime;
};

TEST_F(ProgramTest, RegistrationRunsWriteAndRemoveTheKeyAndEnd)
{
    ChildResult r = Run({"/regserver"});
    EXPECT_EQ(r.Status(), kExitDone) << r.err;
    std::string path;
    ASSERT_TRUE(Registry().GetValue(kServerKey, "", &path));
    EXPECT_TRUE(std::filesystem::equivalent(path, BinFolder() + "/OpcVireo2"));
    std::string progIdClass;
    EXPECT_TRUE(Registry().GetValue(std::string(kServerProgId) + "\\CLSID", "", &progIdClass));
    EXPECT_EQ(progIdClass, kServerClsidText);

    // Either spelling unregisters; a second time there is nothing left, which is no failure.
    for (const char* line : {"/UnregServer", "/unregserver"}) {
        r = Run({line});
        EXPECT_EQ(r.Status(), kExitDone) << line << r.err;
        EXPECT_FALSE(Registry().KeyExists(std::string("CLSID\\") + kServerClsidText)) << line;
        EXPECT_FALSE(Registry().KeyExists(kServerProgId)) << line;
    }
    // Registration runs start no server: no statistics line.
    EXPECT_TRUE(Statistics().empty());
}

class ProgramSignalTest : public ProgramTest, public ::testing::WithParamInterface<int> {};

TEST_P(ProgramSignalTest, EndsTheServerInOrder)
{
    CChildProcess child;
    ASSERT_TRUE(Start(child, {}));
    const ChildResult r = End(child, GetParam());
    EXPECT_EQ(r.Status(), kExitDone) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Statistics(), (std::vector<std::string>{kStartServerText, kStopText}));
}

INSTANTIATE_TEST_SUITE_P(Program, ProgramSignalTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return info.param == SIGTERM ? "Term" : "Interrupt"; });

TEST_F(ProgramTest, ServerModeClosesItselfWhenNoClientUsesIt)
{
    const Clock::time_point spawned = Clock::now();
    CChildProcess child;
    ASSERT_TRUE(Start(child, {"-Embedding"}));
    const Clock::time_point started = Clock::now();
    const ChildResult r = child.Wait(30s);
    const Clock::time_point ended = Clock::now();
    EXPECT_EQ(r.Status(), kExitDone) << r.err;
    EXPECT_EQ(Statistics(), (std::vector<std::string>{kStartServerText, kStopText}));
    // Checked every 5 s, closed once no client has used it for 5 s.
    EXPECT_GE(ended - spawned, 5s);
    EXPECT_LT(ended - started, 10s);
}

TEST_F(ProgramTest, ConfigurationModeNeverClosesItselfAndAdmitsOneInstance)
{
    // A later token makes configuration mode too.
    CChildProcess first;
    ASSERT_TRUE(Start(first, {"/x/cfg"}));
    EXPECT_EQ(Statistics(), std::vector<std::string>{kStartConfigurationText});
    for (const char* line : {"/cfg", "/x/CFG"}) {
        const ChildResult second = Run({line});
        EXPECT_EQ(second.Status(), kExitAlreadyRunning) << line;
        EXPECT_EQ(second.out + second.err, "") << line;
    }
    // Two idle checks later it still runs: no stop line.
    std::this_thread::sleep_for(11s);
    EXPECT_EQ(Statistics(), std::vector<std::string>{kStartConfigurationText});
    const ChildResult r = End(first);
    EXPECT_EQ(r.Status(), kExitDone) << r.err;
    // Qt complains of objects it cannot serve, such as a timer started before its application.
    EXPECT_EQ(r.err.find("QObject::"), std::string::npos) << r.err;
    EXPECT_EQ(Statistics(), (std::vector<std::string>{kStartConfigurationText, kStopText}));
    // The mutex went with it.
    CChildProcess again;
    ASSERT_TRUE(Start(again, {"/cfg"}));
    EXPECT_EQ(End(again).Status(), kExitDone);
}

TEST_F(ProgramTest, MissingCipherLibraryChangesNothingVisible)
{
    // The program and the toolkit library alone in a folder of their own.
    CTempFolder bare;
    for (const char* name : {"OpcVireo2", "libZellDAServer.so"}) {
        std::filesystem::copy_file(BinFolder() + "/" + name, bare.File(name));
    }
    ASSERT_TRUE(FileExists(BinFolder() + "/libmardelCrypto.so"));
    std::vector<ChildResult> results;
    for (const std::string& program : {BinFolder() + "/OpcVireo2", bare.File("OpcVireo2")}) {
        CChildProcess child;
        ASSERT_TRUE(Start(child, {}, program)) << program;
        results.push_back(End(child));
    }
    for (const ChildResult& r : results) {
        EXPECT_EQ(r.Status(), kExitDone);
        EXPECT_EQ(r.out + r.err, "");
    }
    EXPECT_EQ(Statistics(),
              (std::vector<std::string>{kStartServerText, kStopText, kStartServerText, kStopText}));
}

TEST_F(ProgramTest, DataFolderThatCannotBeMadeOrWrittenEndsWithOneLine)
{
    CTempFolder common;
    // A file where the common folder should be; a data folder that is a
    // folder of the kernel's, where nobody creates files.
    ASSERT_TRUE(WriteFileText(common.File("file"), "x"));
    ASSERT_TRUE(CreateFolders(common.File("linked")));
    std::filesystem::create_directory_symlink("/proc/self", common.File("linked/") + kDataFolderName);
    const struct {
        std::string m_common;
        const char* m_reason;
    } cases[] = {{common.File("file"), "cannot create the data folder "},
                 {common.File("linked"), "cannot write in the data folder "}};
    for (const auto& c : cases) {
        const ChildResult r = RunProgram(Argv({}), 20s,
                                         {"XDG_DATA_HOME=" + c.m_common, "XDG_CONFIG_HOME=" + m_config.Path(),
                                          "XDG_RUNTIME_DIR=" + m_runtime.Path()});
        EXPECT_EQ(r.Status(), kExitStartFailed) << c.m_common;
        EXPECT_EQ(
            r.err.rfind(std::string("OpcVireo2: ") + c.m_reason + JoinPath(c.m_common, kDataFolderName), 0),
            0u)
            << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

struct ArgumentsCase {
    std::vector<std::string> m_args;
    int m_status;
    const char* m_out;  // a part of stdout
    const char* m_err;  // a part of stderr
};

class ProgramArgumentsTest : public ProgramTest, public ::testing::WithParamInterface<ArgumentsCase> {};

TEST_P(ProgramArgumentsTest, AnswerAndEnd)
{
    const ChildResult r = Run(GetParam().m_args);
    EXPECT_EQ(r.Status(), GetParam().m_status);
    EXPECT_NE(r.out.find(GetParam().m_out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(GetParam().m_err), std::string::npos) << r.err;
    EXPECT_TRUE(Statistics().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Program, ProgramArgumentsTest,
    ::testing::Values(ArgumentsCase{{"--help"}, kExitDone, "/regserver", ""},
                      ArgumentsCase{{"/cfg", "--version"}, kExitDone, "OpcVireo2 3.0", ""},
                      ArgumentsCase{{"--verbose"}, kExitUsage, "", "OpcVireo2: unknown option --verbose"},
                      ArgumentsCase{{"--listen", "localhost"}, kExitUsage, "", "--listen"}));

TEST_F(ProgramTest, HelpNamesTheFilesItUses)
{
    const ChildResult r = Run({"--help"});
    for (const std::string& part : {DataFile(""), std::string("OpcVireo2.cfg"), std::string("log.ini"),
                                    m_config.Path() + "/OpcVireo2/registry", std::string("SIGHUP")}) {
        EXPECT_NE(r.out.find(part), std::string::npos) << part;
    }
}

TEST_F(ProgramTest, ServesTheConfigurationOfVireoConfigAndAppliesItsChangesOnHangUp)
{
    SimTest::SimProcess sim;
    ASSERT_TRUE(sim.Start({"--static", "--tcp", "127.0.0.1:0"})) << sim.Error();
    const ChildResult added =
        Configure({"add", "tcp", "Vireo-2_1", "address=127.0.0.1", "port=" + std::to_string(sim.TcpPort())});
    ASSERT_EQ(added.Status(), 0) << added.err;
    ASSERT_TRUE(WriteFileText(DataFile("log.ini"), "DBG_COMMON=1 DBG_DA_TOOL=1"));
    CChildProcess child;
    ASSERT_TRUE(Start(child, {}));
    // The channel's item space is built and defined before the server serves.
    ASSERT_TRUE(WaitForTrace("Start-up: serving"));
    const std::string items = ItemsAtStart();
    ASSERT_NE(items, "0");
    // A new name and the statistics switched off, applied without a restart.
    ASSERT_EQ(Configure({"set", "Vireo-2_1", "name=Renamed"}).Status(), 0);
    ASSERT_EQ(Configure({"stats", "enabled=0"}).Status(), 0);
    child.Signal(SIGHUP);
    ASSERT_TRUE(WaitForTrace("SIGHUP: configuration reloaded"));
    // The old channel's items left the toolkit, all of them.
    EXPECT_NE(DebugLog().find("DeleteDAItem(Каналы связи.Vireo-2_1): " + items + " IDs withdrawn"),
              std::string::npos);
    const ChildResult r = End(child);
    EXPECT_EQ(r.Status(), kExitDone) << r.err;
    // The renamed channel's items leave at the end; the stop line is not written.
    EXPECT_NE(DebugLog().find("DeleteDAItem(Каналы связи.Renamed): " + items + " IDs withdrawn"),
              std::string::npos);
    EXPECT_EQ(Statistics(), std::vector<std::string>{kStartServerText});
}

TEST_F(ProgramTest, AnOpcUaSessionKeepsServerModeRunningAndReadsTheDevice)
{
    SimTest::SimProcess sim;
    // The program loads the cipher library beside it, so frames travel in the envelope.
    ASSERT_TRUE(sim.Start({"--static", "--tcp", "127.0.0.1:0", "--key", "ключ"})) << sim.Error();
    ASSERT_EQ(Configure({"add", "tcp", "Vireo-2_1", "address=127.0.0.1",
                         "port=" + std::to_string(sim.TcpPort()), "pauseMs=0", "key=ключ"})
                  .Status(),
              0);
    ASSERT_TRUE(WriteFileText(DataFile("log.ini"), "DBG_COMMON=1"));
    CChildProcess child;
    ASSERT_TRUE(Start(child, {}));
    ASSERT_TRUE(WaitForTrace("Start-up: serving"));
    const std::string log = DebugLog();
    const size_t port = log.find(", port ", log.find("OPC UA endpoint: "));
    ASSERT_NE(port, std::string::npos) << log;

    ua::CUaClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", static_cast<uint16_t>(std::stoi(log.substr(port + 7)))), ua::kGood);
    ASSERT_EQ(client.OpenSession("test", 60000), ua::kGood);
    ua::ReadRequest request;
    request.maxAge = 0;  // from the device now
    request.timestampsToReturn = ua::TimestampsToReturn::Both;
    request.nodesToRead = {ua::ReadValueId{
        ua::NodeId::String(1, std::string(CLevelRoot::kRootName) + ".Vireo-2_1.MyPin.kernel_version"),
        static_cast<uint32_t>(ua::Attribute::Value),
        "",
        {}}};
    ua::ReadResponse response;
    ASSERT_EQ(client.Call(ua::enc::kReadRequest, request, ua::enc::kReadResponse, &response), ua::kGood);
    ASSERT_EQ(response.results.size(), 1u);
    EXPECT_EQ(response.results[0].status, ua::kGood);
    EXPECT_EQ(response.results[0].value, ua::MakeUnsigned(ua::Type::Byte, VireoSim::kMyPinKernelVersion));

    // Two idle checks with the session open: still running.
    std::this_thread::sleep_for(11s);
    const std::string linkUp = "<" + std::string(CLevelRoot::kRootName) + ".Vireo-2_1>: Есть связь";
    EXPECT_EQ(Statistics(), (std::vector<std::string>{kStartServerText, linkUp}));
    EXPECT_EQ(client.CloseSession(), ua::kGood);
    client.Disconnect();
    const Clock::time_point left = Clock::now();
    const ChildResult r = child.Wait(30s);
    EXPECT_EQ(r.Status(), kExitDone) << r.err;
    EXPECT_GE(Clock::now() - left, 5s);
    EXPECT_EQ(Statistics(), (std::vector<std::string>{kStartServerText, linkUp, kStopText}));
}

}  // namespace
