#include "platform/ServiceSockets.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kFirstServiceSocket = 3;

// A decimal number made of digits only (no sign, no blanks), else -1.
long long DecimalValue(const char* text)
{
    if (text == nullptr || *text < '0' || *text > '9') return -1;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    return errno == 0 && *end == '\0' ? value : -1;
}

}  // namespace

int CountServiceSockets(const char* listenPid, const char* listenFds, long self)
{
    const long long pid = DecimalValue(listenPid);
    const long long count = DecimalValue(listenFds);
    if (pid <= 0 || pid != self || count <= 0 || count > INT_MAX - kFirstServiceSocket) return 0;
    return static_cast<int>(count);
}

std::vector<SocketHandle> TakeServiceSockets()
{
    const int count = CountServiceSockets(std::getenv("LISTEN_PID"), std::getenv("LISTEN_FDS"),
                                          static_cast<long>(::getpid()));
    for (const char* name : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"}) ::unsetenv(name);
    std::vector<SocketHandle> sockets;
    for (int fd = kFirstServiceSocket; fd < kFirstServiceSocket + count; ++fd) {
        const int flags = ::fcntl(fd, F_GETFD);
        // A descriptor announced but not open is not taken.
        if (flags < 0) continue;
        (void)::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        sockets.push_back(fd);
    }
    return sockets;
}
