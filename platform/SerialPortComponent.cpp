// The component that the default factory makes: a port manager handing out
// ports that drive a tty through termios2 (so any baud rate works, 76800
// included, and mark and space parity through CMSPAR).
#include "platform/SerialPort.h"

#include <algorithm>
#include <asm/termbits.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// USB serial adapters hold received bytes for up to 16 ms before they pass
// them on: a shorter rest between two bytes never ends a read.
constexpr uint32_t kMinRestMs = 20;

HRESULT FromErrno(int error)
{
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return kSerialFileNotFound;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return kSerialAccessDenied;
        default:
            return E_FAIL;
    }
}

class CSerialPortObject final : public ISerialPort, public ISerialPortStream, public ISerialPortControl {
   public:
    ~CSerialPortObject() { (void)ClosePort(); }

    HRESULT QueryInterface(const CSerialGuid& iid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (iid == kIidSerialPort) {
            *out = static_cast<ISerialPort*>(this);
        } else if (iid == kIidSerialPortStream) {
            *out = static_cast<ISerialPortStream*>(this);
        } else if (iid == kIidSerialPortControl) {
            *out = static_cast<ISerialPortControl*>(this);
        } else {
            *out = nullptr;
            return kSerialNoInterface;
        }
        AddRef();
        return S_OK;
    }
    uint32_t AddRef() override { return m_refs.fetch_add(1) + 1; }
    uint32_t Release() override
    {
        const uint32_t left = m_refs.fetch_sub(1) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    HRESULT OpenPort(const char* deviceName) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        CloseLocked();
        uint32_t number = 0;
        if (!ParseSerialDeviceName(deviceName, &number)) {
            return E_INVALIDARG;
        }
        const std::string path = SerialDevicePath(number);
        if (path.empty()) {
            return kSerialFileNotFound;
        }
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return FromErrno(errno);
        }
        // A COM port has one user at a time: the lock keeps other users of
        // this component out, exclusive use of the line any other program.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
            const int error = errno;
            ::close(fd);
            return FromErrno(error);
        }
        m_fd = fd;
        const HRESULT applied = ApplyLocked(CSerialLineMode{});
        if (FAILED(applied)) {
            CloseLocked();  // not a terminal
            return applied;
        }
        return S_OK;
    }

    HRESULT ClosePort() override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        CloseLocked();
        return S_OK;
    }

    HRESULT SetMode(const char* mode) override
    {
        CSerialLineMode parsed;
        if (!ParseSerialMode(mode, &parsed)) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_fd < 0) {
            return E_FAIL;
        }
        return ApplyLocked(parsed);
    }

    HRESULT Write(const uint8_t* bytes, uint32_t* length) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (bytes == nullptr || length == nullptr) {
            if (length != nullptr) *length = 0;
            return S_OK;
        }
        const uint32_t wanted = *length;
        *length = 0;
        if (m_fd < 0) {
            return E_FAIL;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(m_responseMs);
        uint32_t done = 0;
        while (done < wanted) {
            const ssize_t n = ::write(m_fd, bytes + done, wanted - done);
            if (n > 0) {
                done += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                *length = done;
                return FromErrno(errno);
            }
            const int result = PollUntil(POLLOUT, deadline);
            if (result <= 0) {
                *length = done;
                return result == 0 ? kSerialTimeout : E_FAIL;
            }
        }
        *length = done;
        return S_OK;
    }

    HRESULT Read(uint8_t* bytes, uint32_t* length) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (bytes == nullptr || length == nullptr) {
            if (length != nullptr) *length = 0;
            return m_fd < 0 || ::ioctl(m_fd, TCFLSH, TCIFLUSH) == 0 ? S_OK : FromErrno(errno);
        }
        const uint32_t room = *length;
        *length = 0;
        if (m_fd < 0) {
            return E_FAIL;
        }
        uint32_t got = 0;
        // The first byte may take the response timeout; after it the line
        // may rest only the inter-character timeout.
        auto deadline = Clock::now() + std::chrono::milliseconds(m_responseMs);
        while (got < room) {
            const int ready = PollUntil(POLLIN, deadline);
            if (ready == 0) {
                break;
            }
            if (ready < 0) {
                *length = got;
                return E_FAIL;
            }
            const ssize_t n = ::read(m_fd, bytes + got, room - got);
            if (n > 0) {
                got += static_cast<uint32_t>(n);
                deadline = Clock::now() + std::chrono::milliseconds(std::max(m_interCharacterMs, kMinRestMs));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            // End of file or an error: the other end of the line is gone.
            *length = got;
            return n == 0 ? E_FAIL : FromErrno(errno);
        }
        *length = got;
        return S_OK;
    }

    HRESULT SetTimeouts(uint32_t responseMs, uint32_t interCharacterMs) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_responseMs = responseMs;
        m_interCharacterMs = interCharacterMs;
        return S_OK;
    }

    HRESULT Purge(uint32_t flags) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_fd < 0) {
            return E_FAIL;
        }
        const bool output = (flags & (kPurgeTxAbort | kPurgeTxClear)) != 0;
        const bool input = (flags & (kPurgeRxAbort | kPurgeRxClear)) != 0;
        if (!output && !input) {
            return S_OK;
        }
        const int queue = output && input ? TCIOFLUSH : (output ? TCOFLUSH : TCIFLUSH);
        return ::ioctl(m_fd, TCFLSH, queue) == 0 ? S_OK : FromErrno(errno);
    }

   private:
    void CloseLocked()
    {
        if (m_fd >= 0) {
            // Another holder of the line (one that opened it before us) may go on.
            (void)::ioctl(m_fd, TIOCNXCL);
            ::close(m_fd);  // the lock goes with the descriptor
            m_fd = -1;
        }
    }

    HRESULT ApplyLocked(const CSerialLineMode& mode)
    {
        termios2 t{};
        if (::ioctl(m_fd, TCGETS2, &t) != 0) {
            return FromErrno(errno);
        }
        // Raw bytes both ways: no echo, no line editing, no translation, no
        // flow control; reads never block (poll does the waiting).
        t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                            IXOFF | IXANY | INPCK);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        t.c_cflag = SerialControlFlags(mode);
        t.c_ispeed = mode.baud;
        t.c_ospeed = mode.baud;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        if (::ioctl(m_fd, TCSETS2, &t) != 0) {
            return FromErrno(errno);
        }
        return S_OK;
    }

    // 1 when the descriptor is ready, 0 when the deadline passed, -1 on error.
    int PollUntil(short events, Clock::time_point deadline) const
    {
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd p{m_fd, events, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX)));
            if (ready > 0) {
                return (p.revents & POLLNVAL) != 0 ? -1 : 1;
            }
            if (ready == 0) {
                return 0;
            }
            if (errno != EINTR) {
                return -1;
            }
        }
    }

    std::atomic<uint32_t> m_refs{1};
    std::mutex m_mutex;
    int m_fd = -1;
    uint32_t m_responseMs = 3000;
    uint32_t m_interCharacterMs = 300;
};

class CSerialPortManager final : public ISerialPortManager {
   public:
    ~CSerialPortManager()
    {
        for (auto& entry : m_ports) {
            entry.second->Release();
        }
    }

    HRESULT QueryInterface(const CSerialGuid& iid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (!(iid == kIidSerialPortManager)) {
            *out = nullptr;
            return kSerialNoInterface;
        }
        *out = static_cast<ISerialPortManager*>(this);
        AddRef();
        return S_OK;
    }
    uint32_t AddRef() override { return m_refs.fetch_add(1) + 1; }
    uint32_t Release() override
    {
        const uint32_t left = m_refs.fetch_sub(1) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    HRESULT CreatePort(uint32_t kind, const CSerialGuid& iid, uint32_t* cookie, void** port) override
    {
        if (cookie == nullptr || port == nullptr) {
            return E_POINTER;
        }
        *port = nullptr;
        *cookie = 0;
        if (kind != kSerialPortKind) {
            return E_INVALIDARG;
        }
        auto* object = new CSerialPortObject();  // the manager's reference
        const HRESULT result = object->QueryInterface(iid, port);
        if (FAILED(result)) {
            object->Release();
            return result;
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        *cookie = ++m_lastCookie;
        m_ports.emplace(*cookie, object);
        return S_OK;
    }

    HRESULT ReleasePort(uint32_t cookie) override
    {
        CSerialPortObject* object = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            auto it = m_ports.find(cookie);
            if (it == m_ports.end()) {
                return E_INVALIDARG;
            }
            object = it->second;
            m_ports.erase(it);
        }
        object->Release();
        return S_OK;
    }

   private:
    std::atomic<uint32_t> m_refs{1};
    std::mutex m_mutex;
    uint32_t m_lastCookie = 0;
    std::map<uint32_t, CSerialPortObject*> m_ports;
};

}  // namespace

bool ParseSerialMode(const char* text, CSerialLineMode* mode)
{
    if (text == nullptr) {
        return false;
    }
    CSerialLineMode parsed = *mode;
    std::string_view rest(text);
    while (!rest.empty()) {
        const size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(start);
        const size_t end = std::min(rest.find(' '), rest.size());
        const std::string_view token = rest.substr(0, end);
        rest.remove_prefix(end);

        const size_t equals = token.find('=');
        if (equals == std::string_view::npos || equals + 1 >= token.size()) {
            return false;
        }
        std::string key(token.substr(0, equals));
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::string_view value = token.substr(equals + 1);

        if (key == "parity") {
            const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])));
            if (value.size() != 1 || std::strchr("NEOMS", letter) == nullptr) {
                return false;
            }
            parsed.parity = letter;
            continue;
        }
        uint64_t number = 0;
        for (char c : value) {
            if (!std::isdigit(static_cast<unsigned char>(c))) {
                return false;
            }
            number = number * 10 + static_cast<uint64_t>(c - '0');
            if (number > UINT32_MAX) {
                return false;
            }
        }
        if (key == "baud" && number > 0) {
            parsed.baud = static_cast<uint32_t>(number);
        } else if (key == "data" && number >= 5 && number <= 8) {
            parsed.dataBits = static_cast<uint32_t>(number);
        } else if (key == "stop" && (number == 1 || number == 2)) {
            parsed.stopBits = static_cast<uint32_t>(number);
        } else {
            return false;
        }
    }
    *mode = parsed;
    return true;
}

uint32_t SerialControlFlags(const CSerialLineMode& mode)
{
    tcflag_t flags = BOTHER | (static_cast<tcflag_t>(BOTHER) << IBSHIFT) | CREAD | CLOCAL;
    switch (mode.dataBits) {
        case 5:
            flags |= CS5;
            break;
        case 6:
            flags |= CS6;
            break;
        case 7:
            flags |= CS7;
            break;
        default:
            flags |= CS8;
            break;
    }
    if (mode.stopBits == 2) {
        flags |= CSTOPB;
    }
    switch (mode.parity) {
        case 'E':
            flags |= PARENB;
            break;
        case 'O':
            flags |= PARENB | PARODD;
            break;
        case 'M':
            flags |= PARENB | PARODD | CMSPAR;  // the parity bit is always 1
            break;
        case 'S':
            flags |= PARENB | CMSPAR;  // the parity bit is always 0
            break;
        default:
            break;
    }
    return flags;
}

HRESULT DefaultSerialComponentFactory(const CSerialGuid& clsid, const CSerialGuid& iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (!(clsid == kClsidSerialComponent)) {
        return kSerialClassNotRegistered;
    }
    auto* manager = new CSerialPortManager();
    const HRESULT result = manager->QueryInterface(iid, out);
    manager->Release();
    return result;
}
