// OpcVireo2 started on demand: a listening socket handed over as systemd does
// (LISTEN_FDS/LISTEN_PID), by this test and by systemd's own activator, and
// the socket given back when the idle server closes itself.
#include "UaTestServer.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "support/ChildProcess.h"
#include "support/LoopbackSockets.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

std::string Program(const char* name)
{
    const char* bin = std::getenv("VIREO_TEST_BIN");
    return std::string(bin != nullptr ? bin : ".") + "/" + name;
}

bool OnPath(const std::string& name)
{
    return RunProgram({"sh", "-c", "command -v " + name}, 10s).Status() == 0;
}

class UaServiceSocketTest : public ::testing::Test {
   protected:
    std::vector<std::string> Environment() const
    {
        return {"XDG_DATA_HOME=" + m_data.Path(), "XDG_CONFIG_HOME=" + m_config.Path(),
                "XDG_RUNTIME_DIR=" + m_runtime.Path()};
    }
    bool ServerStarted() const
    {
        return FileExists(JoinPath(JoinPath(m_data.Path(), kDataFolderName), "OpcVireo2.txt"));
    }
    // A session on the port: the endpoint answers the way clients use it.
    static void UseAndLeave(uint16_t port)
    {
        ua::CUaClient client;
        ASSERT_EQ(client.Connect("127.0.0.1", port), ua::kGood);
        ASSERT_EQ(client.OpenSession(), ua::kGood);
        EXPECT_EQ(ReadState(client), ua::kGood);
        EXPECT_EQ(client.CloseSession(), ua::kGood);
        client.Disconnect();
    }

    CTempFolder m_data;
    CTempFolder m_config;
    CTempFolder m_runtime;
};

TEST_F(UaServiceSocketTest, HandedSocketIsServedAndGivenBackWhenIdle)
{
    CTcpListener handed;
    ASSERT_TRUE(handed.Listen(0, 16));
    // The address to bind is taken: a program that binds instead ends at once.
    CTcpListener busy;
    ASSERT_TRUE(busy.Listen());
    const std::string program = Program("OpcVireo2");
    const std::string listen = "127.0.0.1:" + std::to_string(busy.Port());
    std::vector<std::string> env = Environment();
    env.push_back("LISTEN_FDS=1");
    const int fd = handed.Fd();

    CChildProcess server;
    ASSERT_TRUE(server.Fork([&] {
        if (::dup2(fd, 3) != 3 || ::fcntl(3, F_SETFD, 0) != 0) return 120;
        env.push_back("LISTEN_PID=" + std::to_string(::getpid()));
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> args{program, "--listen", listen};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execve(program.c_str(), argv.data(), envp.data());
        return 127;
    }));
    UseAndLeave(handed.Port());
    // Server mode ends 5 to 10 s after its last client, in order.
    EXPECT_EQ(server.Wait(20s).Status(), 0);

    // The holder of the socket (systemd) gets the next connection.
    ua::CUaClient next;
    ASSERT_EQ(next.ConnectSocket("127.0.0.1", handed.Port()), ua::kGood);
    EXPECT_TRUE(handed.Pending(5s));
}

TEST_F(UaServiceSocketTest, SystemdActivatorStartsTheServerOnTheFirstConnection)
{
    if (!OnPath("systemd-socket-activate")) {
        GTEST_SKIP() << "systemd-socket-activate (Debian package systemd) is not installed";
    }
    uint16_t port = 0;
    {
        CTcpListener probe;
        ASSERT_TRUE(probe.Listen());
        port = probe.Port();
    }
    std::vector<std::string> argv{"systemd-socket-activate", "-l", "127.0.0.1:" + std::to_string(port)};
    for (const std::string& e : Environment()) {
        argv.push_back("-E");
        argv.push_back(e);
    }
    argv.push_back(Program("OpcVireo2"));
    CChildProcess activator;
    ASSERT_TRUE(activator.Start(argv, CChildProcess::kStderr));
    std::string line;
    ASSERT_TRUE(activator.ReadLine(true, &line, 10s));
    EXPECT_NE(line.find("Listening on"), std::string::npos) << line;

    EXPECT_FALSE(ServerStarted());
    UseAndLeave(port);
    EXPECT_TRUE(ServerStarted());
    EXPECT_EQ(activator.Wait(20s).Status(), 0);
}

}  // namespace
