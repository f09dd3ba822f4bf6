// The program OpcVireo2 as a process of its own: registration runs, server
// and configuration mode, signals, exit statuses and the files it keeps, each
// run with data, configuration and runtime folders of the test's own.
#include "app/OPCServerApp.h"
#include "app/ServerIdentity.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "support/ChildProcess.h"
#include "support/ScopedEnv.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>

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
    }

    std::vector<std::string> Environment() const
    {
        return {"XDG_DATA_HOME=" + m_data.Path(), "XDG_CONFIG_HOME=" + m_config.Path(),
                "XDG_RUNTIME_DIR=" + m_runtime.Path()};
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

TEST_F(ProgramTest, TermEndsTheServerInOrder)
{
    CChildProcess child;
    ASSERT_TRUE(Start(child, {}));
    child.Signal(SIGTERM);
    const ChildResult r = child.Wait(20s);
    EXPECT_EQ(r.Status(), kExitDone) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Statistics(), (std::vector<std::string>{kStartServerText, kStopText}));
}

}  // namespace
