#include "SimIo.h"

#include "SimBank.h"
#include "SimControl.h"
#include "SimDevice.h"
#include "SimEngine.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace VireoSim {

namespace {

constexpr size_t kMaxPendingOutput = 1 << 20;

uint64_t NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

std::string Errno()
{
    return std::strerror(errno);
}

void SetNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::string FormatAddress(const sockaddr_in& a)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

// Binds a socket of `type` to the endpoint; answers the fd or -1 with `error`.
int BindInet(int type, const std::string& address, uint16_t port, sockaddr_in& bound, std::string& error)
{
    int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = "cannot make a socket: " + Errno();
        return -1;
    }
    if (type == SOCK_STREAM) {
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && listen(fd, 64) != 0)) {
        error = Errno();
        close(fd);
        return -1;
    }
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    return fd;
}

speed_t BaudConstant(uint32_t baud)
{
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:
            return B19200;
    }
}

bool MakeRaw(int fd, uint32_t baud, char parity)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSTOPB | PARENB | PARODD);
    if (parity == 'E') tio.c_cflag |= PARENB;
    if (parity == 'O') tio.c_cflag |= PARENB | PARODD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, BaudConstant(baud));
    cfsetospeed(&tio, BaudConstant(baud));
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

struct TcpConnection {
    int fd = -1;
    SimStream stream;
    std::vector<uint8_t> out;
    uint64_t busyUntil = 0;
    int pending = 0;  // scheduled pieces not yet sent
    bool closeWhenSent = false;
};

struct ControlConnection {
    int fd = -1;
    std::string in;
    std::string out;
};

enum class Target { Tcp, Udp, Serial };

struct Action {
    Target target = Target::Tcp;
    uint64_t connection = 0;
    sockaddr_in to{};
    bool fromOtherPort = false;
    bool closeAfter = false;
    std::vector<uint8_t> bytes;
};

class CSimIo {
   public:
    explicit CSimIo(const SimOptions& options)
        : m_options(options),
          m_bank(options.slave, options.pasModels),
          m_device(m_bank, options.password),
          m_engine(m_device, options.slave, SimCipher{}, [this](const std::string& line) { Log(line); }),
          m_control(m_engine, m_bank, m_device, [this] { m_bank.Fill(m_bank.Tick() + 1); })
    {
        m_bank.SetChurn(options.churn);
    }
    ~CSimIo();

    int Run();

   private:
    bool Open();
    bool LoadCipher(SimCipher& cipher);
    void Log(const std::string& line);
    void Status(const std::string& line);

    void AcceptTcp();
    void ReadTcp(uint64_t id);
    void FlushTcp(uint64_t id);
    void CloseTcp(uint64_t id);
    void ReadUdp();
    void ReadSerial();
    void FlushSerial();
    void AcceptControl();
    void ReadControl(size_t index);
    void ReadSignals(bool& stop);

    void Schedule(Target target, uint64_t connection, const sockaddr_in* to, SimReply reply);
    void Execute(const Action& action);
    int PollTimeout(uint64_t now) const;

    const SimOptions& m_options;
    CSimBank m_bank;
    CSimDevice m_device;
    CSimEngine m_engine;
    CSimControl m_control;

    FILE* m_log = nullptr;
    bool m_logIsStdout = false;
    uint64_t m_start = NowMs();
    void* m_cipherLibrary = nullptr;

    int m_signalFd = -1;
    int m_tcpListen = -1;
    int m_udp = -1;
    int m_udpOther = -1;
    int m_serial = -1;
    int m_ptySlave = -1;  // kept open so the master never sees a hang-up
    int m_controlListen = -1;
    bool m_controlBound = false;
    bool m_linkMade = false;

    std::map<uint64_t, TcpConnection> m_tcp;
    uint64_t m_nextId = 1;
    std::vector<ControlConnection> m_controls;
    SimStream m_serialStream;
    uint64_t m_serialLastByte = 0;
    uint32_t m_gapMs = 20;
    std::vector<uint8_t> m_serialOut;
    uint64_t m_serialBusy = 0;
    uint64_t m_udpBusy = 0;
    int m_serialPending = 0;
    int m_udpPending = 0;
    std::multimap<uint64_t, Action> m_queue;
    uint64_t m_nextTick = 0;
};

CSimIo::~CSimIo()
{
    for (auto& [id, c] : m_tcp) close(c.fd);
    for (auto& c : m_controls) close(c.fd);
    for (int fd : {m_signalFd, m_tcpListen, m_udp, m_udpOther, m_serial, m_ptySlave, m_controlListen}) {
        if (fd >= 0) close(fd);
    }
    if (m_controlBound) unlink(m_options.control.c_str());
    if (m_linkMade) unlink(m_options.ptyLink.c_str());
    if (m_log != nullptr && !m_logIsStdout) fclose(m_log);
    if (m_cipherLibrary != nullptr) dlclose(m_cipherLibrary);
}

void CSimIo::Log(const std::string& line)
{
    if (m_log == nullptr) return;
    std::fputs(line.c_str(), m_log);
    std::fputc('\n', m_log);
    std::fflush(m_log);
}

void CSimIo::Status(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool CSimIo::LoadCipher(SimCipher& cipher)
{
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder = n > 0 ? std::string(self, size_t(n)) : std::string();
    folder = folder.substr(0, folder.rfind('/') + 1);
    std::string path = folder + "libmardelCrypto.so";
    m_cipherLibrary = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_cipherLibrary == nullptr) {
        std::fprintf(stderr, "vireo2-sim: a key needs the cipher library: %s\n", dlerror());
        return false;
    }
    cipher.encrypt = reinterpret_cast<SimCipher::EncryptFn>(dlsym(m_cipherLibrary, "_encryptPacket"));
    cipher.decrypt = reinterpret_cast<SimCipher::DecryptFn>(dlsym(m_cipherLibrary, "_decryptPacket"));
    if (!cipher.Enabled()) {
        std::fprintf(stderr, "vireo2-sim: %s lacks _encryptPacket or _decryptPacket\n", path.c_str());
        return false;
    }
    std::memcpy(cipher.key, m_options.key.data(), m_options.key.size());
    return true;
}

bool CSimIo::Open()
{
    auto fail = [](const std::string& what) {
        std::fprintf(stderr, "vireo2-sim: %s\n", what.c_str());
        return false;
    };
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    m_signalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);

    if (!m_options.log.empty()) {
        if (m_options.log == "-") {
            m_log = stdout;
            m_logIsStdout = true;
        } else if ((m_log = std::fopen(m_options.log.c_str(), "a")) == nullptr) {
            return fail("--log " + m_options.log + ": " + Errno());
        }
    }
    if (m_options.keyGiven) {
        SimCipher cipher;
        if (!LoadCipher(cipher)) return false;
        m_engine.SetCipher(cipher);
    }
    m_engine.Faults() = m_options.faults;

    std::string error;
    if (m_options.tcp.enabled) {
        sockaddr_in bound{};
        m_tcpListen = BindInet(SOCK_STREAM, m_options.tcp.address, m_options.tcp.port, bound, error);
        if (m_tcpListen < 0) {
            return fail("TCP " + m_options.tcp.address + ":" + std::to_string(m_options.tcp.port) + ": " +
                        error);
        }
        Status("tcp " + FormatAddress(bound));
    }
    if (m_options.udp.enabled) {
        sockaddr_in bound{};
        m_udp = BindInet(SOCK_DGRAM, m_options.udp.address, m_options.udp.port, bound, error);
        if (m_udp < 0) {
            return fail("UDP " + m_options.udp.address + ":" + std::to_string(m_options.udp.port) + ": " +
                        error);
        }
        Status("udp " + FormatAddress(bound));
        uint16_t other = m_options.udpOtherPort < 0 ? 0 : uint16_t(m_options.udpOtherPort);
        m_udpOther = BindInet(SOCK_DGRAM, m_options.udp.address, other, bound, error);
        if (m_udpOther < 0) {
            return fail("UDP " + m_options.udp.address + ":" + std::to_string(other) +
                        " (other port): " + error);
        }
        Status("udp-other " + FormatAddress(bound));
    }
    if (!m_options.serial.empty()) {
        m_serial = open(m_options.serial.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_serial < 0) return fail("serial " + m_options.serial + ": " + Errno());
        if (!MakeRaw(m_serial, m_options.baud, m_options.parity)) {
            return fail("serial " + m_options.serial + ": cannot set the line: " + Errno());
        }
        // An RTU frame ends after 3.5 characters of silence; a busy machine
        // delays bytes much longer than that, so allow at least 20 ms.
        m_gapMs = std::max<uint32_t>(20, 40000 / m_options.baud + 1);
        Status("serial " + m_options.serial);
    }
    if (m_options.pty) {
        m_serial = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_serial < 0 || grantpt(m_serial) != 0 || unlockpt(m_serial) != 0) {
            return fail("cannot make a pseudo-terminal: " + Errno());
        }
        SetNonBlocking(m_serial);
        std::string path = ptsname(m_serial);
        m_ptySlave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_ptySlave < 0 || !MakeRaw(m_ptySlave, m_options.baud, m_options.parity)) {
            return fail("pseudo-terminal " + path + ": " + Errno());
        }
        if (!m_options.ptyLink.empty()) {
            unlink(m_options.ptyLink.c_str());
            if (symlink(path.c_str(), m_options.ptyLink.c_str()) != 0) {
                return fail("--pty-link " + m_options.ptyLink + ": " + Errno());
            }
            m_linkMade = true;
        }
        Status("pty " + path);
    }
    if (!m_options.control.empty()) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        if (m_options.control.size() >= sizeof a.sun_path) return fail("--control: path too long");
        std::memcpy(a.sun_path, m_options.control.c_str(), m_options.control.size());
        m_controlListen = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_controlListen < 0) return fail("--control: cannot make a socket: " + Errno());
        auto* address = reinterpret_cast<sockaddr*>(&a);
        if (bind(m_controlListen, address, sizeof a) != 0) {
            if (errno != EADDRINUSE) return fail("--control " + m_options.control + ": " + Errno());
            // A socket left behind by a killed simulator refuses connections:
            // take its path over; a live one is somebody else's.
            int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bool alive = probe >= 0 && connect(probe, address, sizeof a) == 0;
            if (probe >= 0) close(probe);
            if (alive) return fail("--control " + m_options.control + ": in use by a running program");
            unlink(m_options.control.c_str());
            if (bind(m_controlListen, address, sizeof a) != 0) {
                return fail("--control " + m_options.control + ": " + Errno());
            }
        }
        m_controlBound = true;
        if (listen(m_controlListen, 8) != 0) return fail("--control " + m_options.control + ": " + Errno());
        Status("control " + m_options.control);
    }
    return true;
}

void CSimIo::AcceptTcp()
{
    for (;;) {
        int fd = accept4(m_tcpListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        TcpConnection c;
        c.fd = fd;
        m_tcp.emplace(m_nextId++, std::move(c));
    }
}

void CSimIo::CloseTcp(uint64_t id)
{
    auto it = m_tcp.find(id);
    if (it == m_tcp.end()) return;
    close(it->second.fd);
    m_tcp.erase(it);
}

void CSimIo::FlushTcp(uint64_t id)
{
    auto it = m_tcp.find(id);
    if (it == m_tcp.end()) return;
    TcpConnection& c = it->second;
    while (!c.out.empty()) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            CloseTcp(id);
            return;
        }
        c.out.erase(c.out.begin(), c.out.begin() + n);
    }
    if (c.closeWhenSent) CloseTcp(id);
}

void CSimIo::ReadTcp(uint64_t id)
{
    auto it = m_tcp.find(id);
    if (it == m_tcp.end()) return;
    uint8_t buf[4096];
    ssize_t n = recv(it->second.fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        CloseTcp(id);
        return;
    }
    std::vector<SimReply> replies;
    bool keep = m_engine.OnTcpBytes(it->second.stream, buf, size_t(n), NowMs() - m_start, replies);
    for (SimReply& r : replies) Schedule(Target::Tcp, id, nullptr, std::move(r));
    if (!keep) {
        it = m_tcp.find(id);
        if (it != m_tcp.end()) it->second.closeWhenSent = true;
        FlushTcp(id);
    }
}

void CSimIo::ReadUdp()
{
    for (;;) {
        uint8_t buf[2048];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(m_udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return;
        std::vector<SimReply> replies;
        m_engine.OnDatagram(buf, size_t(n), NowMs() - m_start, replies);
        for (SimReply& r : replies) Schedule(Target::Udp, 0, &from, std::move(r));
    }
}

void CSimIo::ReadSerial()
{
    for (;;) {
        uint8_t buf[1024];
        ssize_t n = read(m_serial, buf, sizeof buf);
        if (n <= 0) return;
        m_serialLastByte = NowMs();
        std::vector<SimReply> replies;
        m_engine.OnSerialBytes(m_serialStream, buf, size_t(n), m_serialLastByte - m_start, replies);
        for (SimReply& r : replies) Schedule(Target::Serial, 0, nullptr, std::move(r));
    }
}

void CSimIo::FlushSerial()
{
    while (!m_serialOut.empty()) {
        ssize_t n = write(m_serial, m_serialOut.data(), m_serialOut.size());
        if (n <= 0) {
            // Nobody reads the pseudo-terminal: a device on a dead line
            // talks into the void too.
            if (n < 0 && errno != EAGAIN) m_serialOut.clear();
            return;
        }
        m_serialOut.erase(m_serialOut.begin(), m_serialOut.begin() + n);
    }
}

void CSimIo::AcceptControl()
{
    for (;;) {
        int fd = accept4(m_controlListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        m_controls.push_back(ControlConnection{fd, {}, {}});
    }
}

void CSimIo::ReadControl(size_t index)
{
    ControlConnection& c = m_controls[index];
    char buf[1024];
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    bool closing = n <= 0;
    if (n > 0) c.in.append(buf, size_t(n));
    size_t eol;
    while ((eol = c.in.find('\n')) != std::string::npos) {
        std::string line = c.in.substr(0, eol);
        c.in.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        c.out += m_control.Execute(line) + "\n";
    }
    if (c.in.size() > 4096) {
        c.out += "error line too long\n";
        closing = true;
    }
    // Replies are short; a client that does not read them loses them.
    if (!c.out.empty()) {
        ssize_t w = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        c.out.erase(0, w > 0 ? size_t(w) : c.out.size());
    }
    if (closing) {
        close(c.fd);
        m_controls.erase(m_controls.begin() + long(index));
    }
}

void CSimIo::ReadSignals(bool& stop)
{
    signalfd_siginfo info{};
    while (read(m_signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
        switch (info.ssi_signo) {
            case SIGINT:
            case SIGTERM:
                stop = true;
                break;
            case SIGUSR1:
                m_engine.Faults().silence = !m_engine.Faults().silence;
                Log(std::string("signal silence=") + (m_engine.Faults().silence ? "1" : "0"));
                break;
            case SIGUSR2:
                m_engine.Faults() = SimFaults{};
                Log("signal clear");
                break;
            default:
                break;
        }
    }
}

void CSimIo::Schedule(Target target, uint64_t connection, const sockaddr_in* to, SimReply reply)
{
    uint64_t now = NowMs();
    // Replies of one link leave in the order of their requests.
    auto state = [&](uint64_t*& busy, int*& pending) {
        busy = &m_udpBusy;
        pending = &m_udpPending;
        if (target == Target::Serial) {
            busy = &m_serialBusy;
            pending = &m_serialPending;
        } else if (target == Target::Tcp) {
            auto it = m_tcp.find(connection);
            if (it == m_tcp.end()) return false;
            busy = &it->second.busyUntil;
            pending = &it->second.pending;
        }
        return true;
    };
    uint64_t* busy = nullptr;
    int* pending = nullptr;
    if (!state(busy, pending)) return;
    if (reply.pieces.empty() && reply.closeAfter) reply.pieces.emplace_back();
    uint64_t at = std::max(now, *busy);
    for (size_t i = 0; i < reply.pieces.size(); ++i) {
        Action action;
        action.target = target;
        action.connection = connection;
        if (to != nullptr) action.to = *to;
        action.fromOtherPort = reply.fromOtherPort;
        action.closeAfter = reply.closeAfter && i + 1 == reply.pieces.size();
        action.bytes = std::move(reply.pieces[i].bytes);
        at += reply.pieces[i].delayMs;
        if (at <= now && *pending == 0) {
            // The plain case goes out at once; it may close the connection.
            Execute(action);
            if (!state(busy, pending)) return;
            continue;
        }
        ++*pending;
        m_queue.emplace(at, std::move(action));
    }
    *busy = at;
}

void CSimIo::Execute(const Action& action)
{
    switch (action.target) {
        case Target::Tcp: {
            auto it = m_tcp.find(action.connection);
            if (it == m_tcp.end()) return;
            if (it->second.out.size() > kMaxPendingOutput) {
                // A master that sends and never reads would grow this forever.
                CloseTcp(action.connection);
                return;
            }
            it->second.out.insert(it->second.out.end(), action.bytes.begin(), action.bytes.end());
            if (action.closeAfter) it->second.closeWhenSent = true;
            FlushTcp(action.connection);
            break;
        }
        case Target::Udp: {
            int fd = action.fromOtherPort ? m_udpOther : m_udp;
            sendto(fd, action.bytes.data(), action.bytes.size(), 0,
                   reinterpret_cast<const sockaddr*>(&action.to), sizeof action.to);
            break;
        }
        case Target::Serial:
            // Nobody reads the line: drop what would pile up.
            if (m_serialOut.size() > kMaxPendingOutput) m_serialOut.clear();
            m_serialOut.insert(m_serialOut.end(), action.bytes.begin(), action.bytes.end());
            FlushSerial();
            break;
    }
}

int CSimIo::PollTimeout(uint64_t now) const
{
    uint64_t due = UINT64_MAX;
    if (!m_queue.empty()) due = m_queue.begin()->first;
    if (!m_options.staticValues) due = std::min(due, m_nextTick);
    if (!m_serialStream.buffer.empty()) due = std::min(due, m_serialLastByte + m_gapMs);
    if (due == UINT64_MAX) return -1;
    return due <= now ? 0 : int(std::min<uint64_t>(due - now, 60000));
}

int CSimIo::Run()
{
    if (!Open()) return 1;
    Status("ready");
    m_nextTick = NowMs() + m_options.periodMs;
    bool stop = false;
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    while (!stop) {
        fds.clear();
        ids.clear();
        fds.push_back({m_signalFd, POLLIN, 0});
        if (m_tcpListen >= 0) fds.push_back({m_tcpListen, POLLIN, 0});
        if (m_udp >= 0) fds.push_back({m_udp, POLLIN, 0});
        if (m_serial >= 0) fds.push_back({m_serial, short(POLLIN | (m_serialOut.empty() ? 0 : POLLOUT)), 0});
        if (m_controlListen >= 0) fds.push_back({m_controlListen, POLLIN, 0});
        size_t firstControl = fds.size();
        for (auto& c : m_controls) fds.push_back({c.fd, POLLIN, 0});
        size_t firstTcp = fds.size();
        for (auto& [id, c] : m_tcp) {
            fds.push_back({c.fd, short(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
            ids.push_back(id);
        }
        int ready = poll(fds.data(), fds.size(), PollTimeout(NowMs()));
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "vireo2-sim: poll: %s\n", Errno().c_str());
            return 1;
        }
        uint64_t now = NowMs();
        while (!m_queue.empty() && m_queue.begin()->first <= now) {
            Action action = std::move(m_queue.begin()->second);
            m_queue.erase(m_queue.begin());
            if (action.target == Target::Tcp) {
                auto it = m_tcp.find(action.connection);
                if (it != m_tcp.end()) --it->second.pending;
            } else {
                --(action.target == Target::Udp ? m_udpPending : m_serialPending);
            }
            Execute(action);
        }
        if (!m_options.staticValues && now >= m_nextTick) {
            m_bank.Fill(m_bank.Tick() + 1);
            m_nextTick = now + m_options.periodMs;
        }
        if (!m_serialStream.buffer.empty() && now >= m_serialLastByte + m_gapMs) {
            m_engine.OnSerialGap(m_serialStream, now - m_start);
        }
        if (ready <= 0) continue;
        for (size_t i = 0; i < firstControl; ++i) {
            if ((fds[i].revents & (POLLIN | POLLOUT | POLLERR | POLLHUP)) == 0) continue;
            int fd = fds[i].fd;
            if (fd == m_signalFd) ReadSignals(stop);
            if (fd == m_tcpListen) AcceptTcp();
            if (fd == m_udp) ReadUdp();
            if (fd == m_serial) {
                if (fds[i].revents & POLLOUT) FlushSerial();
                if (fds[i].revents & POLLIN) ReadSerial();
            }
            if (fd == m_controlListen) AcceptControl();
        }
        // Backwards: ReadControl may erase its entry.
        for (size_t i = firstTcp; i-- > firstControl;) {
            if (fds[i].revents != 0) ReadControl(i - firstControl);
        }
        for (size_t i = firstTcp; i < fds.size(); ++i) {
            uint64_t id = ids[i - firstTcp];
            if (fds[i].revents & POLLOUT) FlushTcp(id);
            if (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) ReadTcp(id);
        }
    }
    return 0;
}

}  // namespace

int RunSimulator(const SimOptions& options)
{
    auto io = std::make_unique<CSimIo>(options);
    return io->Run();
}

}  // namespace VireoSim
