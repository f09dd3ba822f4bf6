#pragma once
// Child processes of the tests: peers (socat, python3, mbpoll), the programs
// under test, and copies of the test program itself. Every wait is bounded,
// and a child is signalled through its own process descriptor only, never
// by name.
#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// How a child ended.
struct ChildResult {
    bool started = false;
    bool timedOut = false;  // still running at the end of the wait: killed
    bool exited = false;
    int exitCode = -1;
    bool signaled = false;
    int signalNumber = 0;
    // What it wrote on piped stdout and stderr and nobody had read yet.
    std::string out;
    std::string err;

    // The exit code, 128 + the signal, or -1 when it did not start or had to be killed.
    int Status() const;
};

class CChildProcess {
   public:
    // Which standard streams go through pipes to the test. Stdin that is not
    // piped reads /dev/null; stdout and stderr that are not piped are the
    // test's own, or /dev/null with kQuiet.
    enum Streams : unsigned { kNone = 0, kStdin = 1, kStdout = 2, kStderr = 4, kQuiet = 8 };

    CChildProcess() = default;
    ~CChildProcess() { Stop(); }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // argv[0] is looked up in PATH; environment entries ("NAME=value")
    // replace or extend the test's own. False when it cannot be spawned.
    bool Start(const std::vector<std::string>& argv, unsigned streams = kNone,
               const std::vector<std::string>& environment = {});
    // A copy of this process that runs body and exits with what it returns.
    bool Fork(const std::function<int()>& body);

    // The next line of stdout (or stderr) without its end, within the wait.
    bool ReadLine(bool fromStderr, std::string* line, std::chrono::milliseconds wait);
    bool WriteStdin(const std::string& bytes);
    void CloseStdin();
    void Signal(int signal);

    // Waits for the end, gathering piped output; a child still running when
    // the wait is over is killed.
    ChildResult Wait(std::chrono::milliseconds wait);
    // Stdin closed, SIGTERM, then Wait(grace). Nothing when not running.
    ChildResult Stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

    bool Running() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }

   private:
    bool Started(pid_t pid);
    void CloseAll();

    pid_t m_pid = 0;
    int m_pidfd = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    int m_stderr = -1;
    std::string m_pending[2];
};

// Runs a program to its end, within the wait, capturing stdout and stderr.
ChildResult RunProgram(const std::vector<std::string>& argv,
                       std::chrono::milliseconds wait = std::chrono::seconds(10),
                       const std::vector<std::string>& environment = {});
