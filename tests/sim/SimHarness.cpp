#include "sim/SimHarness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace SimTest {

namespace {
using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}
}  // namespace

std::string BinFolder()
{
    const char* bin = std::getenv("VIREO_TEST_BIN");
    return bin != nullptr ? bin : ".";
}

bool SimProcess::Start(const std::vector<std::string>& args, int timeoutMs)
{
    std::vector<std::string> argv{BinFolder() + "/vireo2-sim"};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!m_child.Start(argv, CChildProcess::kStdout | CChildProcess::kStderr)) {
        m_error = "cannot start " + argv[0];
        return false;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    while (m_child.ReadLine(false, &line, std::chrono::milliseconds(RemainingMs(deadline)))) {
        auto port = [&](const char* prefix, int& into) {
            if (line.rfind(prefix, 0) == 0) into = std::atoi(line.c_str() + line.rfind(':') + 1);
        };
        port("tcp ", m_tcpPort);
        port("udp ", m_udpPort);
        port("udp-other ", m_udpOtherPort);
        if (line.rfind("pty ", 0) == 0) m_ptyPath = line.substr(4);
        if (line == "ready") return true;
    }
    m_error = RemainingMs(deadline) == 0 ? "no \"ready\" within " + std::to_string(timeoutMs) + " ms"
                                         : std::string("exited before \"ready\"");
    const ChildResult result = m_child.Stop(std::chrono::seconds(2));
    m_error += " (exit " + std::to_string(result.Status()) + "): " + result.err;
    return false;
}

void SimProcess::Signal(int signal)
{
    m_child.Signal(signal);
}

int SimProcess::Stop(int signal)
{
    if (!m_child.Running()) return -1;
    m_child.Signal(signal != 0 ? signal : SIGTERM);
    const ChildResult result = m_child.Wait(std::chrono::seconds(10));
    if (!result.err.empty()) m_error = result.err;
    return result.Status();
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
