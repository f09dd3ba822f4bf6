#include "support/ChildProcess.h"

#include "support/Deadline.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using TestSupport::Clock;
using TestSupport::LeftMs;
using TestSupport::WaitReadable;

namespace {

// The test's environment with the entries replaced or added.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& entries)
{
    std::vector<std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& extra : entries) replaced = replaced || extra.rfind(name, 0) == 0;
        if (!replaced) merged.push_back(entry);
    }
    merged.insert(merged.end(), entries.begin(), entries.end());
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Reads what the pipe holds now; closes it at its end.
void Drain(int* fd, std::string* into)
{
    char chunk[4096];
    while (*fd >= 0) {
        const ssize_t n = ::read(*fd, chunk, sizeof chunk);
        if (n > 0) {
            into->append(chunk, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n == 0 || errno != EAGAIN) {
                ::close(*fd);
                *fd = -1;
            }
            return;
        }
    }
}

}  // namespace

int ChildResult::Status() const
{
    if (exited) return exitCode;
    if (signaled && !timedOut) return 128 + signalNumber;
    return -1;
}

bool CChildProcess::Started(pid_t pid)
{
    m_pid = pid;
    m_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    return true;
}

bool CChildProcess::Start(const std::vector<std::string>& argv, unsigned streams,
                          const std::vector<std::string>& environment)
{
    Stop();
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    const bool piped = ((streams & kStdin) == 0 || ::pipe2(in, O_CLOEXEC) == 0) &&
                       ((streams & kStdout) == 0 || ::pipe2(out, O_CLOEXEC) == 0) &&
                       ((streams & kStderr) == 0 || ::pipe2(err, O_CLOEXEC) == 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (streams & kStdin) {
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (streams & kStdout) {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    } else if (streams & kQuiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    if (streams & kStderr) {
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    } else if (streams & kQuiet) {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    std::vector<std::string> args = argv;
    std::vector<std::string> env = MergedEnvironment(environment);
    std::vector<char*> argp = Pointers(args);
    std::vector<char*> envp = Pointers(env);
    pid_t pid = 0;
    const int rc = piped && !args.empty()
                       ? ::posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data())
                       : -1;
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {in[0], out[1], err[1]}) {
        if (fd >= 0) ::close(fd);
    }
    m_stdin = in[1];
    m_stdout = out[0];
    m_stderr = err[0];
    for (int fd : {m_stdout, m_stderr}) {
        if (fd >= 0) ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    if (rc != 0) {
        CloseAll();
        return false;
    }
    return Started(pid);
}

bool CChildProcess::Fork(const std::function<int()>& body)
{
    Stop();
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // Nothing may escape into the copy of the test program.
        int status = 99;
        try {
            status = body();
        } catch (...) {
        }
        ::_exit(status);
    }
    return Started(pid);
}

bool CChildProcess::ReadLine(bool fromStderr, std::string* line, std::chrono::milliseconds wait)
{
    int& fd = fromStderr ? m_stderr : m_stdout;
    std::string& pending = m_pending[fromStderr ? 1 : 0];
    const auto deadline = Clock::now() + wait;
    for (;;) {
        const size_t end = pending.find('\n');
        if (end != std::string::npos) {
            *line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return true;
        }
        if (fd < 0 || !WaitReadable(fd, deadline)) return false;
        Drain(&fd, &pending);
    }
}

bool CChildProcess::WriteStdin(const std::string& bytes)
{
    size_t done = 0;
    while (m_stdin >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_stdin, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return done == bytes.size();
}

void CChildProcess::CloseStdin()
{
    if (m_stdin >= 0) ::close(m_stdin);
    m_stdin = -1;
}

void CChildProcess::Signal(int signal)
{
    if (m_pid <= 0) return;
    if (m_pidfd >= 0) {
        (void)::syscall(SYS_pidfd_send_signal, m_pidfd, signal, nullptr, 0);
    } else {
        // Without process descriptors: the pid is ours until we reap it.
        ::kill(m_pid, signal);
    }
}

ChildResult CChildProcess::Wait(std::chrono::milliseconds wait)
{
    ChildResult result;
    if (m_pid <= 0) return result;
    result.started = true;
    const auto deadline = Clock::now() + wait;
    int status = 0;
    for (;;) {
        pollfd fds[3] = {{m_pidfd, POLLIN, 0}, {m_stdout, POLLIN, 0}, {m_stderr, POLLIN, 0}};
        // Without a process descriptor, look again every few milliseconds.
        const int step = m_pidfd >= 0 ? LeftMs(deadline) : std::min(LeftMs(deadline), 5);
        (void)::poll(fds, 3, step);
        Drain(&m_stdout, &m_pending[0]);
        Drain(&m_stderr, &m_pending[1]);
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid || (done < 0 && errno != EINTR)) break;
        if (Clock::now() >= deadline) {
            Signal(SIGKILL);
            ::waitpid(m_pid, &status, 0);
            result.timedOut = true;
            break;
        }
    }
    // What it wrote before its end is in the pipes already.
    Drain(&m_stdout, &m_pending[0]);
    Drain(&m_stderr, &m_pending[1]);
    if (!result.timedOut) {
        result.exited = WIFEXITED(status);
        result.exitCode = result.exited ? WEXITSTATUS(status) : -1;
        result.signaled = WIFSIGNALED(status);
        result.signalNumber = result.signaled ? WTERMSIG(status) : 0;
    }
    result.out = std::move(m_pending[0]);
    result.err = std::move(m_pending[1]);
    CloseAll();
    return result;
}

ChildResult CChildProcess::Stop(std::chrono::milliseconds grace)
{
    CloseStdin();
    if (m_pid <= 0) {
        CloseAll();
        return {};
    }
    Signal(SIGTERM);
    return Wait(grace);
}

void CChildProcess::CloseAll()
{
    for (int* fd : {&m_pidfd, &m_stdin, &m_stdout, &m_stderr}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    m_pid = 0;
    m_pending[0].clear();
    m_pending[1].clear();
}

ChildResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds wait,
                       const std::vector<std::string>& environment)
{
    CChildProcess child;
    if (!child.Start(argv, CChildProcess::kStdout | CChildProcess::kStderr, environment)) {
        ChildResult result;
        result.err = "cannot start " + (argv.empty() ? std::string() : argv[0]);
        return result;
    }
    return child.Wait(wait);
}
