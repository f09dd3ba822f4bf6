#include "platform/ServiceSockets.h"
#include "support/ChildProcess.h"
#include "support/LoopbackSockets.h"
#include "support/ScopedEnv.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

struct CountCase {
    const char* pid;
    const char* fds;
    int expected;
};

class ServiceSocketCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(ServiceSocketCount, OnlyWellFormedVariablesForThisProcessCount)
{
    const CountCase& c = GetParam();
    EXPECT_EQ(CountServiceSockets(c.pid, c.fds, 4242), c.expected) << c.pid << " / " << c.fds;
}

INSTANTIATE_TEST_SUITE_P(
    Variables, ServiceSocketCount,
    ::testing::Values(CountCase{"4242", "1", 1}, CountCase{"4242", "3", 3}, CountCase{"4243", "1", 0},
                      CountCase{nullptr, "1", 0}, CountCase{"4242", nullptr, 0}, CountCase{"4242", "0", 0},
                      CountCase{"4242", "-1", 0}, CountCase{"4242", "1x", 0}, CountCase{"4242", " 1", 0},
                      CountCase{"4242", "", 0}, CountCase{"+4242", "1", 0},
                      CountCase{"4242", "99999999999999999999", 0}, CountCase{"4242", "2147483645", 0}));

// In a copy of the test program, so that descriptor 3 and the environment are
// its own: fd 3 a listening socket, fd 4 announced but closed.
TEST(ServiceSockets, TakesOpenDescriptorsAndClearsTheVariables)
{
    CChildProcess child;
    ASSERT_TRUE(child.Fork([] {
        CTcpListener listener;
        if (!listener.Listen() || ::dup2(listener.Fd(), 3) != 3) return 10;
        ::close(4);
        const std::string pid = std::to_string(::getpid());
        ::setenv("LISTEN_PID", pid.c_str(), 1);
        ::setenv("LISTEN_FDS", "2", 1);
        ::setenv("LISTEN_FDNAMES", "ua:other", 1);
        const std::vector<SocketHandle> taken = TakeServiceSockets();
        if (taken != std::vector<SocketHandle>{3}) return 11;
        if ((::fcntl(3, F_GETFD) & FD_CLOEXEC) == 0) return 12;
        for (const char* name : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"}) {
            if (std::getenv(name) != nullptr) return 13;
        }
        // Taken once: a second look finds nothing.
        return TakeServiceSockets().empty() ? 0 : 14;
    }));
    EXPECT_EQ(child.Wait(std::chrono::seconds(10)).Status(), 0);
}

TEST(ServiceSockets, VariablesForAnotherProcessAreRemovedButNothingIsTaken)
{
    CScopedEnv pid("LISTEN_PID", std::to_string(::getpid() + 1));
    CScopedEnv fds("LISTEN_FDS", "1");
    EXPECT_TRUE(TakeServiceSockets().empty());
    EXPECT_EQ(std::getenv("LISTEN_FDS"), nullptr);
}

}  // namespace
