#include "sim/SimHarness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace SimTest {

namespace {
using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

// Spawns argv with stdout and stderr on pipes; answers the pid or -1.
int Spawn(const std::vector<std::string>& argv, int& out, int& err)
{
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return -1;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return -1;
    }
    fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
    fcntl(errPipe[0], F_SETFL, O_NONBLOCK);
    out = outPipe[0];
    err = errPipe[0];
    return pid;
}

// Reads what is there; false at end of file.
bool Drain(int fd, std::string& into)
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, size_t(n));
            continue;
        }
        return !(n == 0);
    }
}

// Waits for the child and collects its output, bounded; kills it at the deadline.
int Reap(int pid, int out, int err, int timeoutMs, std::string* outText, std::string* errText)
{
    std::string scratch;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool outOpen = out >= 0, errOpen = err >= 0;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (outOpen) outOpen = Drain(out, outText ? *outText : scratch);
        if (errOpen) errOpen = Drain(err, errText ? *errText : scratch);
        if (done == pid) break;
        if (RemainingMs(deadline) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            status = -1;
            break;
        }
        pollfd fds[2] = {{outOpen ? out : -1, POLLIN, 0}, {errOpen ? err : -1, POLLIN, 0}};
        poll(fds, 2, 20);
    }
    if (out >= 0) close(out);
    if (err >= 0) close(err);
    if (status == -1) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}
}  // namespace

std::string BinFolder()
{
    const char* bin = std::getenv("VIREO_TEST_BIN");
    return bin != nullptr ? bin : ".";
}

TempFolder::TempFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "vireo2-sim-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
}

TempFolder::~TempFolder()
{
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
}

ProcessResult RunProgram(const std::vector<std::string>& argv, int timeoutMs)
{
    ProcessResult result;
    int out = -1, err = -1;
    int pid = Spawn(argv, out, err);
    if (pid < 0) {
        result.err = "cannot start " + argv[0];
        return result;
    }
    result.exitCode = Reap(pid, out, err, timeoutMs, &result.out, &result.err);
    return result;
}

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv)
{
    m_pid = Spawn(argv, m_out, m_err);
}

BackgroundProgram::~BackgroundProgram()
{
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    Reap(m_pid, m_out, m_err, 5000, nullptr, nullptr);
}

bool WaitForPath(const std::string& path, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!std::filesystem::exists(path)) {
        if (RemainingMs(deadline) == 0) return false;
        poll(nullptr, 0, 10);
    }
    return true;
}

SimProcess::~SimProcess()
{
    if (m_pid > 0) Stop();
}

bool SimProcess::Start(const std::vector<std::string>& args, int timeoutMs)
{
    std::vector<std::string> argv{BinFolder() + "/vireo2-sim"};
    argv.insert(argv.end(), args.begin(), args.end());
    m_pid = Spawn(argv, m_out, m_err);
    if (m_pid < 0) {
        m_error = "cannot start " + argv[0];
        return false;
    }
    std::string text;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t eol;
        while ((eol = text.find('\n')) != std::string::npos) {
            std::string line = text.substr(0, eol);
            text.erase(0, eol + 1);
            auto port = [&](const char* prefix, int& into) {
                if (line.rfind(prefix, 0) == 0) into = std::atoi(line.c_str() + line.rfind(':') + 1);
            };
            port("tcp ", m_tcpPort);
            port("udp ", m_udpPort);
            port("udp-other ", m_udpOtherPort);
            if (line.rfind("pty ", 0) == 0) m_ptyPath = line.substr(4);
            if (line == "ready") return true;
        }
        pollfd fd{m_out, POLLIN, 0};
        if (RemainingMs(deadline) == 0 || poll(&fd, 1, RemainingMs(deadline)) <= 0) {
            m_error = "no \"ready\" within " + std::to_string(timeoutMs) + " ms";
            break;
        }
        if (!Drain(m_out, text)) {
            m_error = "exited before \"ready\"";
            break;
        }
    }
    std::string errText;
    int code = Reap(m_pid, m_out, m_err, 2000, nullptr, &errText);
    m_pid = -1;
    m_error += " (exit " + std::to_string(code) + "): " + errText;
    return false;
}

void SimProcess::Signal(int signal)
{
    if (m_pid > 0) kill(m_pid, signal);
}

int SimProcess::Stop(int signal)
{
    if (m_pid <= 0) return -1;
    kill(m_pid, signal != 0 ? signal : SIGTERM);
    std::string errText;
    int code = Reap(m_pid, m_out, m_err, 10000, nullptr, &errText);
    m_pid = -1;
    if (!errText.empty()) m_error = errText;
    return code;
}

std::string Control(const std::string& socketPath, const std::string& line, int timeoutMs)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, socketPath.c_str(), sizeof a.sun_path - 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0) close(fd);
        return {};
    }
    std::string request = line + "\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        close(fd);
        return {};
    }
    std::string reply;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (reply.find('\n') == std::string::npos && RemainingMs(deadline) > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, RemainingMs(deadline)) <= 0) break;
        char buf[512];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        reply.append(buf, size_t(n));
    }
    close(fd);
    size_t eol = reply.find('\n');
    return eol == std::string::npos ? std::string() : reply.substr(0, eol);
}

TcpClient::TcpClient(int port)
{
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd >= 0 && connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(m_fd);
        m_fd = -1;
    }
}

TcpClient::~TcpClient()
{
    if (m_fd >= 0) close(m_fd);
}

bool TcpClient::Send(const std::vector<uint8_t>& bytes)
{
    return m_fd >= 0 && send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

std::vector<Chunk> TcpClient::Receive(size_t want, int idleMs)
{
    std::vector<Chunk> chunks;
    size_t total = 0;
    while (m_fd >= 0 && total < want) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, idleMs) <= 0) break;
        uint8_t buf[1024];
        ssize_t n = recv(m_fd, buf, sizeof buf, 0);
        if (n <= 0) {
            m_closed = true;
            break;
        }
        chunks.push_back({std::vector<uint8_t>(buf, buf + n), Clock::now(), 0});
        total += size_t(n);
    }
    return chunks;
}

std::vector<uint8_t> TcpClient::ReceiveBytes(size_t want, int idleMs)
{
    std::vector<uint8_t> all;
    for (const Chunk& c : Receive(want, idleMs)) all.insert(all.end(), c.bytes.begin(), c.bytes.end());
    return all;
}

UdpClient::UdpClient()
{
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd >= 0) bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

UdpClient::~UdpClient()
{
    if (m_fd >= 0) close(m_fd);
}

bool UdpClient::SendTo(int port, const std::vector<uint8_t>& bytes)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
           ssize_t(bytes.size());
}

std::vector<Chunk> UdpClient::Receive(size_t count, int idleMs)
{
    std::vector<Chunk> chunks;
    while (chunks.size() < count) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, idleMs) <= 0) break;
        uint8_t buf[2048];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) break;
        chunks.push_back({std::vector<uint8_t>(buf, buf + n), Clock::now(), ntohs(from.sin_port)});
    }
    return chunks;
}

PtyClient::PtyClient(const std::string& path)
{
    m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_fd < 0) return;
    termios tio{};
    tcgetattr(m_fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(m_fd, TCSANOW, &tio);
    tcflush(m_fd, TCIOFLUSH);
}

PtyClient::~PtyClient()
{
    if (m_fd >= 0) close(m_fd);
}

bool PtyClient::Send(const std::vector<uint8_t>& bytes)
{
    return m_fd >= 0 && write(m_fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
}

std::vector<uint8_t> PtyClient::Receive(size_t want, int idleMs)
{
    std::vector<uint8_t> all;
    while (m_fd >= 0 && all.size() < want) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, idleMs) <= 0) break;
        uint8_t buf[512];
        ssize_t n = read(m_fd, buf, sizeof buf);
        if (n <= 0) break;
        all.insert(all.end(), buf, buf + n);
    }
    return all;
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace SimTest
