#include "TransportPeers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int LeftMs(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool WaitReadable(int fd, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, LeftMs(deadline));
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return false;
    }
}

sockaddr_in Loopback(const char* address, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

uint16_t BoundPort(int fd)
{
    sockaddr_in a{};
    socklen_t size = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0) return 0;
    return ntohs(a.sin_port);
}

modbus_mapping_t* MakeMapping(size_t registers)
{
    modbus_mapping_t* mapping = modbus_mapping_new(0, 0, static_cast<int>(registers), 0);
    if (mapping != nullptr) {
        for (size_t i = 0; i < registers; ++i) mapping->tab_registers[i] = PeerRegisterValue(i);
    }
    return mapping;
}

}  // namespace

uint16_t PeerRegisterValue(size_t index)
{
    return static_cast<uint16_t>(kPeerRegisterBase + index * kPeerRegisterStep);
}

std::vector<uint16_t> PeerRegisters(size_t count)
{
    std::vector<uint16_t> values(count);
    for (size_t i = 0; i < count; ++i) values[i] = PeerRegisterValue(i);
    return values;
}

Bytes PeerRegisterBytes(size_t start, size_t count)
{
    Bytes out;
    for (size_t i = start; i < start + count; ++i) {
        out.push_back(static_cast<uint8_t>(PeerRegisterValue(i) >> 8));
        out.push_back(static_cast<uint8_t>(PeerRegisterValue(i) & 0xFF));
    }
    return out;
}

// ---------------------------------------------------------------- child

bool CChildProcess::Start(const std::vector<std::string>& argv, unsigned pipes)
{
    Stop();
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (((pipes & kStdin) && ::pipe2(in, O_CLOEXEC) != 0) ||
        ((pipes & kStdout) && ::pipe2(out, O_CLOEXEC) != 0) ||
        ((pipes & kStderr) && ::pipe2(err, O_CLOEXEC) != 0)) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipes & kStdin) posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (pipes & kStdout) posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (pipes & kStderr) posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {in[0], out[1], err[1]}) {
        if (fd >= 0) ::close(fd);
    }
    m_stdin = in[1];
    m_stdout = out[0];
    m_stderr = err[0];
    if (rc != 0) {
        Stop();
        return false;
    }
    m_pid = pid;
    return true;
}

bool CChildProcess::ReadLine(bool fromStderr, std::string* line, std::chrono::milliseconds wait)
{
    const int fd = fromStderr ? m_stderr : m_stdout;
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
        char chunk[512];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending.append(chunk, static_cast<size_t>(n));
    }
}

void CChildProcess::CloseStdin()
{
    if (m_stdin >= 0) ::close(m_stdin);
    m_stdin = -1;
}

bool CChildProcess::WaitExit(std::chrono::milliseconds wait)
{
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
    if (pidfd >= 0) {
        // Readable when the child has exited.
        (void)WaitReadable(pidfd, Clock::now() + wait);
        ::close(pidfd);
        return ::waitpid(m_pid, nullptr, WNOHANG) == m_pid;
    }
    const auto deadline = Clock::now() + wait;
    while (::waitpid(m_pid, nullptr, WNOHANG) == 0) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void CChildProcess::Stop()
{
    CloseStdin();
    if (m_pid > 0) {
        if (!WaitExit(std::chrono::milliseconds(0))) {
            ::kill(m_pid, SIGTERM);
            if (!WaitExit(std::chrono::seconds(5))) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, nullptr, 0);
            }
        }
        m_pid = 0;
    }
    for (int* fd : {&m_stdout, &m_stderr}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    m_pending[0].clear();
    m_pending[1].clear();
}

// ---------------------------------------------------------------- pty pair

bool CPtyPair::Start()
{
    Stop();
    if (!m_socat.Start({"socat", "-d", "-d", "pty,raw,echo=0", "pty,raw,echo=0"}, CChildProcess::kStderr)) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int found = 0;
    std::string line;
    while (m_socat.ReadLine(true, &line, std::chrono::milliseconds(LeftMs(deadline)))) {
        const size_t at = line.find("PTY is ");
        if (at != std::string::npos && found < 2) {
            m_ends[found++] = line.substr(at + 7);
        }
        if (line.find("starting data transfer loop") != std::string::npos) {
            break;
        }
    }
    if (found != 2) {
        Stop();
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        m_keepers[i] = ::open(m_ends[i].c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_keepers[i] < 0) {
            Stop();
            return false;
        }
    }
    return true;
}

void CPtyPair::Stop()
{
    m_socat.Stop();
    for (int& fd : m_keepers) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

// ---------------------------------------------------------------- RTU server

bool CModbusRtuServer::Start(const std::string& device, int baud, char parity, size_t registers, int slave)
{
    Stop();
    m_mapping = MakeMapping(registers);
    m_ctx = modbus_new_rtu(device.c_str(), baud, parity, 8, 1);
    if (m_mapping == nullptr || m_ctx == nullptr || modbus_set_slave(m_ctx, slave) != 0 ||
        modbus_connect(m_ctx) != 0) {
        Stop();
        return false;
    }
    // Short indication timeout: the loop comes back to look at the stop flag.
    modbus_set_indication_timeout(m_ctx, 0, 100000);
    m_stop = false;
    m_thread = std::thread([this] {
        uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!m_stop) {
            const int rc = modbus_receive(m_ctx, query);
            if (rc > 0) modbus_reply(m_ctx, query, rc, m_mapping);
        }
    });
    return true;
}

void CModbusRtuServer::Stop()
{
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_ctx != nullptr) {
        modbus_close(m_ctx);
        modbus_free(m_ctx);
        m_ctx = nullptr;
    }
    if (m_mapping != nullptr) modbus_mapping_free(m_mapping);
    m_mapping = nullptr;
}

// ---------------------------------------------------------------- TCP server

bool CModbusTcpServer::Start(uint16_t port, size_t registers)
{
    Stop();
    m_mapping = MakeMapping(registers);
    m_ctx = modbus_new_tcp("127.0.0.1", port);
    if (m_mapping == nullptr || m_ctx == nullptr) {
        Stop();
        return false;
    }
    m_listen = modbus_tcp_listen(m_ctx, 4);
    if (m_listen < 0) {
        Stop();
        return false;
    }
    m_port = BoundPort(m_listen);
    modbus_set_indication_timeout(m_ctx, 1, 0);
    m_stop = false;
    m_thread = std::thread([this] { Serve(); });
    return true;
}

void CModbusTcpServer::Serve()
{
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!m_stop) {
        const int connection = modbus_get_socket(m_ctx);
        pollfd fds[2] = {{m_listen, POLLIN, 0}, {connection, POLLIN, 0}};
        const int ready = ::poll(fds, connection >= 0 ? 2 : 1, 100);
        if (ready <= 0) continue;
        if ((fds[0].revents & POLLIN) != 0) {
            if (connection >= 0) modbus_close(m_ctx);
            if (modbus_tcp_accept(m_ctx, &m_listen) >= 0) ++m_accepted;
            continue;
        }
        if (connection >= 0 && fds[1].revents != 0) {
            const int rc = modbus_receive(m_ctx, query);
            if (rc > 0) {
                ++m_requests;
                modbus_reply(m_ctx, query, rc, m_mapping);
            } else if (rc < 0) {
                modbus_close(m_ctx);  // the client went away
            }
        }
    }
}

void CModbusTcpServer::Stop()
{
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_ctx != nullptr) {
        modbus_close(m_ctx);
        modbus_free(m_ctx);
        m_ctx = nullptr;
    }
    if (m_listen >= 0) ::close(m_listen);
    m_listen = -1;
    if (m_mapping != nullptr) modbus_mapping_free(m_mapping);
    m_mapping = nullptr;
}

// ---------------------------------------------------------------- pymodbus

bool CPymodbusUdpServer::Start(size_t registers)
{
    Stop();
    if (!m_python.Start(
            {"/usr/bin/python3", VIREO_UDP_SERVER_SCRIPT, "--count", std::to_string(registers), "--base",
             std::to_string(kPeerRegisterBase), "--step", std::to_string(kPeerRegisterStep)},
            CChildProcess::kStdin | CChildProcess::kStdout)) {
        return false;
    }
    std::string line;
    if (!m_python.ReadLine(false, &line, std::chrono::seconds(20)) || line.rfind("PORT ", 0) != 0) {
        Stop();
        return false;
    }
    m_port = static_cast<uint16_t>(std::atoi(line.c_str() + 5));
    return m_port != 0;
}

void CPymodbusUdpServer::Stop()
{
    m_python.Stop();  // closing its stdin ends it
    m_port = 0;
}

// ---------------------------------------------------------------- envelope

namespace {

Bytes Aes(const CipherKey& key, const Bytes& in, bool encrypt)
{
    Bytes out(in.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0, tail = 0;
    EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n, &tail);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n + tail));
    return out;
}

size_t PacketLength(size_t frameLength)
{
    return (frameLength + 15) / 16 * 16 + 6;
}

}  // namespace

Bytes WrapPacket(const CipherKey& key, const Bytes& frame)
{
    Bytes plain = frame;
    plain.resize((frame.size() + 15) / 16 * 16, 0);
    Bytes packet{0x55, static_cast<uint8_t>(frame.size() >> 8), static_cast<uint8_t>(frame.size()), 0, 0};
    const Bytes body = Aes(key, plain, true);
    packet.insert(packet.end(), body.begin(), body.end());
    uint8_t sum = 0;
    for (uint8_t b : packet) sum = static_cast<uint8_t>(sum + b);
    packet.push_back(sum);
    return packet;
}

bool UnwrapPacket(const CipherKey& key, const Bytes& packet, Bytes* frame)
{
    if (packet.size() < 6 || packet[0] != 0x55 || (packet.size() - 6) % 16 != 0) return false;
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < packet.size(); ++i) sum = static_cast<uint8_t>(sum + packet[i]);
    if (sum != packet.back()) return false;
    const size_t n = static_cast<size_t>(packet[1] << 8 | packet[2]);
    if (n > packet.size() - 6) return false;
    *frame = Aes(key, Bytes(packet.begin() + 5, packet.end() - 1), false);
    frame->resize(n);
    return true;
}

bool CEnvelopeTcpPeer::Start(const CipherKey& key, size_t registers)
{
    Stop();
    m_key = key;
    m_mapping = MakeMapping(registers);
    m_ctx = modbus_new_tcp("127.0.0.1", 0);
    if (m_mapping == nullptr || m_ctx == nullptr ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_pair) != 0) {
        Stop();
        return false;
    }
    m_listen = modbus_tcp_listen(m_ctx, 4);
    // libmodbus writes its replies into one end of the pair; we read them at the other.
    modbus_set_socket(m_ctx, m_pair[0]);
    if (m_listen < 0) {
        Stop();
        return false;
    }
    m_port = BoundPort(m_listen);
    m_stop = false;
    m_thread = std::thread([this] { Serve(); });
    return true;
}

Bytes CEnvelopeTcpPeer::Answer(const Bytes& request)
{
    if (modbus_reply(m_ctx, request.data(), static_cast<int>(request.size()), m_mapping) <= 0) return {};
    Bytes reply;
    if (!WaitReadable(m_pair[1], Clock::now() + std::chrono::seconds(1))) return reply;
    uint8_t chunk[512];
    const ssize_t n = ::read(m_pair[1], chunk, sizeof chunk);
    if (n > 0) reply.assign(chunk, chunk + n);
    return reply;
}

void CEnvelopeTcpPeer::Serve()
{
    int connection = -1;
    Bytes pending;
    while (!m_stop) {
        pollfd fds[2] = {{m_listen, POLLIN, 0}, {connection, POLLIN, 0}};
        if (::poll(fds, connection >= 0 ? 2 : 1, 100) <= 0) continue;
        if ((fds[0].revents & POLLIN) != 0) {
            if (connection >= 0) ::close(connection);
            connection = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            pending.clear();
            continue;
        }
        if (connection < 0 || fds[1].revents == 0) continue;
        uint8_t chunk[1024];
        const ssize_t n = ::read(connection, chunk, sizeof chunk);
        if (n <= 0) {
            ::close(connection);
            connection = -1;
            continue;
        }
        pending.insert(pending.end(), chunk, chunk + n);
        // Whole packets off the front; a byte that cannot start one is dropped.
        while (!pending.empty()) {
            if (pending[0] != 0x55) {
                Seen(m_rejected);
                pending.erase(pending.begin());
                continue;
            }
            if (pending.size() < 5) break;
            const size_t total = PacketLength(static_cast<size_t>(pending[1] << 8 | pending[2]));
            if (pending.size() < total) break;
            const Bytes packet(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
            Bytes request;
            if (!UnwrapPacket(m_key, packet, &request)) {
                Seen(m_rejected);
                continue;
            }
            Seen(m_packets);
            const Bytes reply = Answer(request);
            if (reply.empty()) continue;
            const Bytes wrapped = WrapPacket(m_key, reply);
            (void)::send(connection, wrapped.data(), wrapped.size(), MSG_NOSIGNAL);
        }
    }
    if (connection >= 0) ::close(connection);
}

void CEnvelopeTcpPeer::Seen(std::atomic<int>& counter)
{
    std::lock_guard<std::mutex> guard(m_seenMutex);
    ++counter;
    m_seenChanged.notify_all();
}

bool CEnvelopeTcpPeer::WaitSeen(int count, std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(m_seenMutex);
    return m_seenChanged.wait_for(lock, wait, [&] { return m_packets.load() + m_rejected.load() >= count; });
}

void CEnvelopeTcpPeer::Stop()
{
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_ctx != nullptr) {
        modbus_set_socket(m_ctx, -1);
        modbus_free(m_ctx);
        m_ctx = nullptr;
    }
    for (int& fd : m_pair) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    if (m_listen >= 0) ::close(m_listen);
    m_listen = -1;
    if (m_mapping != nullptr) modbus_mapping_free(m_mapping);
    m_mapping = nullptr;
}

// ---------------------------------------------------------------- sockets

bool CTcpListener::Listen(uint16_t port, int backlog)
{
    Close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    const int one = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = Loopback("127.0.0.1", port);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(m_fd, backlog) != 0) {
        Close();
        return false;
    }
    m_port = BoundPort(m_fd);
    return true;
}

int CTcpListener::Accept(std::chrono::milliseconds wait)
{
    if (m_fd < 0 || !WaitReadable(m_fd, Clock::now() + wait)) return -1;
    return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

bool CTcpListener::Pending(std::chrono::milliseconds wait) const
{
    return m_fd >= 0 && WaitReadable(m_fd, Clock::now() + wait);
}

void CTcpListener::Close()
{
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

bool CUdpPeer::Bind(const char* address, uint16_t port)
{
    Close();
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    const sockaddr_in a = Loopback(address, port);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        Close();
        return false;
    }
    m_port = BoundPort(m_fd);
    return true;
}

void CUdpPeer::Close()
{
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

bool CUdpPeer::Receive(Bytes* datagram, std::chrono::milliseconds wait, uint16_t* fromPort)
{
    if (m_fd < 0 || !WaitReadable(m_fd, Clock::now() + wait)) return false;
    uint8_t buffer[2048];
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const ssize_t n = ::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
    if (n < 0) return false;
    datagram->assign(buffer, buffer + n);
    if (fromPort != nullptr) *fromPort = ntohs(from.sin_port);
    return true;
}

bool CUdpPeer::SendTo(const Bytes& datagram, uint16_t port, const char* address)
{
    const sockaddr_in a = Loopback(address, port);
    return ::sendto(m_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&a),
                    sizeof a) == static_cast<ssize_t>(datagram.size());
}

bool UdpPortFree(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool free = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return free;
}

// ---------------------------------------------------------------- misc

Bytes ReceiveReply(const std::function<int(uint8_t*, uint32_t*)>& receive, const CModbusFrame& frame)
{
    const size_t expected = frame.ExpectedReplyLength();
    Bytes reply(expected);
    size_t have = 0;
    while (have < expected) {
        uint32_t n = static_cast<uint32_t>(expected - have);
        (void)receive(reply.data() + have, &n);
        if (n == 0) break;
        have += n;
        if (frame.CheckReply(reply.data(), have) != CModbusFrame::kCheckIncomplete) break;
    }
    reply.resize(have);
    return reply;
}

CScopedEnv::CScopedEnv(const char* name, const std::string& value) : m_name(name)
{
    const char* old = std::getenv(name);
    m_had = old != nullptr;
    if (m_had) m_old = old;
    ::setenv(name, value.c_str(), 1);
}

CScopedEnv::~CScopedEnv()
{
    if (m_had) {
        ::setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
        ::unsetenv(m_name.c_str());
    }
}

int64_t ElapsedMs(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}
