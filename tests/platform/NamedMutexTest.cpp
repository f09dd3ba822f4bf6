#include "platform/File.h"
#include "platform/NamedMutex.h"
#include "support/ChildProcess.h"
#include "support/ScopedEnv.h"
#include "support/TempFolder.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char* Name(MutexWait w)
{
    switch (w) {
        case MutexWait::Acquired:
            return "Acquired";
        case MutexWait::TimedOut:
            return "TimedOut";
        case MutexWait::Failed:
            return "Failed";
    }
    return "?";
}

}  // namespace

void PrintTo(MutexWait w, std::ostream* os)
{
    *os << Name(w);
}

namespace {

// Every test gets its own lock folder through XDG_RUNTIME_DIR.
class NamedMutexTest : public ::testing::Test {
   protected:
    std::string File(const std::string& name) const { return m_dir.File(name); }

    CTempFolder m_dir;
    CScopedEnv m_runtime{"XDG_RUNTIME_DIR", m_dir.Path()};
};

// The exit status of a forked child, waited for at most 30 s (-1 when it had to be killed).
int Reap(CChildProcess& child)
{
    return child.Wait(std::chrono::seconds(30)).Status();
}

// Waits (bounded) for one byte on fd; false on timeout or end of pipe.
bool WaitByte(int fd, int timeoutMs = 10000)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return false;
    char c;
    return read(fd, &c, 1) == 1;
}

// Child: take the mutex, tell the parent, then hold it until the parent's
// pipe closes (or the child is killed). Never unlocks.
int HoldUntilReleased(const std::string& name, int readyFd, int waitFd, int parentEnd, bool exitWithoutUnlock)
{
    close(parentEnd);  // else the child's own copy keeps the pipe from ending
    CNamedMutex mutex;
    if (!mutex.Open(name) || mutex.Lock(5000) != MutexWait::Acquired) return 2;
    if (write(readyFd, "r", 1) != 1) return 3;
    if (exitWithoutUnlock) _exit(0);  // skips the destructor
    char c;
    while (read(waitFd, &c, 1) > 0) {
    }
    _exit(0);
}

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe()
    {
        CloseRead();
        CloseWrite();
    }
    void CloseRead()
    {
        if (fds[0] >= 0) close(fds[0]);
        fds[0] = -1;
    }
    void CloseWrite()
    {
        if (fds[1] >= 0) close(fds[1]);
        fds[1] = -1;
    }
};

}  // namespace

TEST_F(NamedMutexTest, ProcessesExcludeEachOther)
{
    // Each child does an unprotected read-modify-write of a counter file and
    // brackets it with B/E lines in a trace. With the mutex working the
    // counter is exact and the trace strictly alternates B pid / E pid.
    constexpr int kChildren = 3;
    constexpr int kRounds = 150;
    const std::string counter = File("counter");
    const std::string trace = File("trace");
    ASSERT_TRUE(WriteFileText(counter, "0"));

    CChildProcess children[kChildren];
    for (CChildProcess& child : children) {
        ASSERT_TRUE(child.Fork([&] {
            CNamedMutex mutex;
            if (!mutex.Open("counter-mutex")) return 2;
            const std::string me = std::to_string(getpid());
            for (int i = 0; i < kRounds; ++i) {
                if (mutex.Lock(20000) != MutexWait::Acquired) return 3;
                if (!AppendFileText(trace, "B " + me + "\n")) return 4;
                std::string text;
                if (!ReadFileText(counter, &text)) return 5;
                const int value = std::stoi(text);
                sched_yield();  // widen the window a broken lock would let others into
                if (!WriteFileText(counter, std::to_string(value + 1))) return 6;
                if (!AppendFileText(trace, "E " + me + "\n")) return 7;
                if (!mutex.Unlock()) return 8;
            }
            return 0;
        }));
    }
    for (CChildProcess& child : children) {
        EXPECT_EQ(Reap(child), 0);
    }

    std::string text;
    ASSERT_TRUE(ReadFileText(counter, &text));
    EXPECT_EQ(text, std::to_string(kChildren * kRounds));

    ASSERT_TRUE(ReadFileText(trace, &text));
    std::istringstream lines(text);
    std::string kind, pid, endKind, endPid;
    int pairs = 0;
    while (lines >> kind >> pid) {
        ASSERT_EQ(kind, "B") << "pair " << pairs;
        ASSERT_TRUE(static_cast<bool>(lines >> endKind >> endPid)) << "pair " << pairs;
        ASSERT_EQ(endKind, "E") << "pair " << pairs;
        ASSERT_EQ(endPid, pid) << "pair " << pairs;
        ++pairs;
    }
    EXPECT_EQ(pairs, kChildren * kRounds);
}

TEST_F(NamedMutexTest, KilledHolderIsReleasedByTheKernel)
{
    Pipe ready, hold;
    CChildProcess child;
    ASSERT_TRUE(child.Fork(
        [&] { return HoldUntilReleased("dying", ready.fds[1], hold.fds[0], hold.fds[1], false); }));
    ASSERT_TRUE(WaitByte(ready.fds[0]));

    CNamedMutex mutex;
    ASSERT_TRUE(mutex.Open("dying"));
    EXPECT_EQ(mutex.Lock(0), MutexWait::TimedOut);
    EXPECT_EQ(mutex.Lock(50), MutexWait::TimedOut);

    child.Signal(SIGKILL);
    EXPECT_EQ(Reap(child), 128 + SIGKILL);
    EXPECT_EQ(mutex.Lock(5000), MutexWait::Acquired);
    EXPECT_TRUE(mutex.Unlock());
}

TEST_F(NamedMutexTest, HolderExitingWithoutUnlockReleases)
{
    Pipe ready, hold;
    CChildProcess child;
    ASSERT_TRUE(child.Fork(
        [&] { return HoldUntilReleased("leaver", ready.fds[1], hold.fds[0], hold.fds[1], true); }));
    ASSERT_TRUE(WaitByte(ready.fds[0]));
    EXPECT_EQ(Reap(child), 0);
    CNamedMutex mutex;
    ASSERT_TRUE(mutex.Open("leaver"));
    EXPECT_EQ(mutex.Lock(0), MutexWait::Acquired);
}

TEST_F(NamedMutexTest, WaitEndsAtItsTimeoutAndSucceedsOnceReleased)
{
    Pipe ready, hold;
    CChildProcess child;
    ASSERT_TRUE(
        child.Fork([&] { return HoldUntilReleased("slow", ready.fds[1], hold.fds[0], hold.fds[1], false); }));
    ASSERT_TRUE(WaitByte(ready.fds[0]));

    CNamedMutex mutex;
    ASSERT_TRUE(mutex.Open("slow"));
    const auto start = Clock::now();
    EXPECT_EQ(mutex.Lock(200), MutexWait::TimedOut);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(200));
    EXPECT_LT(waited, std::chrono::milliseconds(5000));

    // A waiter that starts now gets it as soon as the holder goes.
    MutexWait result = MutexWait::Failed;
    std::thread waiter([&] { result = mutex.Lock(20000); });
    hold.CloseWrite();  // the child leaves its read loop and exits
    EXPECT_EQ(Reap(child), 0);
    waiter.join();
    EXPECT_EQ(result, MutexWait::Acquired);
    // Unlock belongs to the thread that locked; here that thread is gone,
    // so closing is the way out.
    EXPECT_FALSE(mutex.Unlock());
    mutex.Close();
    CNamedMutex again;
    ASSERT_TRUE(again.Open("slow"));
    EXPECT_EQ(again.Lock(0), MutexWait::Acquired);
}

TEST_F(NamedMutexTest, ThreadsExcludeEachOtherWithOwnOrSharedObjects)
{
    constexpr int kRounds = 2000;
    CNamedMutex shared;
    ASSERT_TRUE(shared.Open("threads"));
    long counter = 0;  // plain on purpose: only the mutex protects it
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0};
    std::atomic<int> failures{0};

    auto body = [&](CNamedMutex& mutex) {
        for (int i = 0; i < kRounds; ++i) {
            if (mutex.Lock(20000) != MutexWait::Acquired) {
                ++failures;
                return;
            }
            if (inside.exchange(true)) ++overlaps;
            ++counter;
            inside = false;
            if (!mutex.Unlock()) ++failures;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] { body(shared); });
    }
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            CNamedMutex own;
            if (!own.Open("threads")) {
                ++failures;
                return;
            }
            body(own);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, 4L * kRounds);
}

TEST_F(NamedMutexTest, MisuseGetsAClearAnswer)
{
    CNamedMutex closed;
    errno = 0;
    EXPECT_EQ(closed.Lock(0), MutexWait::Failed);
    EXPECT_EQ(errno, EBADF);
    EXPECT_FALSE(closed.Unlock());
    EXPECT_FALSE(closed.Open(""));
    EXPECT_FALSE(closed.IsOpen());

    CNamedMutex mutex;
    ASSERT_TRUE(mutex.Open("misuse"));
    EXPECT_FALSE(mutex.Unlock());  // not held
    ASSERT_EQ(mutex.Lock(0), MutexWait::Acquired);
    // Again from the same thread, through the same or another object: no hang.
    errno = 0;
    EXPECT_EQ(mutex.Lock(1000), MutexWait::Failed);
    EXPECT_EQ(errno, EDEADLK);
    CNamedMutex other;
    ASSERT_TRUE(other.Open("misuse"));
    EXPECT_EQ(other.Lock(1000), MutexWait::Failed);
    EXPECT_FALSE(other.Unlock());  // holding is per object too

    bool unlockedFromElsewhere = true;
    std::thread([&] { unlockedFromElsewhere = mutex.Unlock(); }).join();
    EXPECT_FALSE(unlockedFromElsewhere);
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_EQ(other.Lock(0), MutexWait::Acquired);
    other.Close();  // closing releases
    EXPECT_EQ(mutex.Lock(0), MutexWait::Acquired);
}

TEST_F(NamedMutexTest, NamesMapToFilesInTheLockFolder)
{
    EXPECT_EQ(CNamedMutex::LockFolder(), m_dir.Path() + "/OpcVireo2-locks");
    CNamedMutex a, b, c;
    ASSERT_TRUE(a.Open("OpcVireo2_dbg.log"));
    EXPECT_EQ(a.LockFilePath(), m_dir.Path() + "/OpcVireo2-locks/OpcVireo2_dbg.log.lock");
    EXPECT_TRUE(FileExists(a.LockFilePath()));
    ASSERT_TRUE(b.Open("a/b"));
    EXPECT_EQ(b.LockFilePath(), m_dir.Path() + "/OpcVireo2-locks/a_b.lock");
    // Different names do not exclude each other.
    ASSERT_TRUE(c.Open("other"));
    std::thread([&] {
        ASSERT_EQ(a.Lock(0), MutexWait::Acquired);
        EXPECT_EQ(c.Lock(0), MutexWait::Acquired);
        EXPECT_TRUE(c.Unlock());
        EXPECT_TRUE(a.Unlock());
    }).join();

    setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
    EXPECT_EQ(CNamedMutex::LockFolder(), "/tmp/OpcVireo2-locks-" + std::to_string(geteuid()));
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(CNamedMutex::LockFolder(), "/tmp/OpcVireo2-locks-" + std::to_string(geteuid()));
}

TEST_F(NamedMutexTest, RefusesALockFolderThatIsNotAFolder)
{
    ASSERT_TRUE(WriteFileText(File("OpcVireo2-locks"), "not a folder"));
    CNamedMutex mutex;
    EXPECT_FALSE(mutex.Open("x"));
    EXPECT_FALSE(mutex.IsOpen());
}
