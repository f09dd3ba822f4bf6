#include "platform/StreamServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int kBacklog = 64;
}  // namespace

SocketHandle CreateListeningSocket(const std::string& host, uint16_t port, int* error)
{
    *error = 0;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    const bool any = host.empty() || host == "*";
    const std::string service = std::to_string(port);
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(any ? "0.0.0.0" : host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        // glibc's EAI_ codes are negative, so they never meet an errno.
        *error = rc == EAI_SYSTEM ? errno : rc;
        return kInvalidSocket;
    }
    SocketHandle result = kInvalidSocket;
    for (addrinfo* a = list; a != nullptr && result == kInvalidSocket; a = a->ai_next) {
        int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (s < 0) {
            *error = errno;
            continue;
        }
        int one = 1;
        (void)::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(s, a->ai_addr, a->ai_addrlen) != 0 || ::listen(s, kBacklog) != 0) {
            *error = errno;
            ::close(s);
            continue;
        }
        result = s;
        *error = 0;
    }
    ::freeaddrinfo(list);
    return result;
}

std::string ListenErrorText(int error)
{
    if (error < 0) return ::gai_strerror(error);
    return std::strerror(error);
}

uint16_t ListeningPort(SocketHandle socket)
{
    sockaddr_storage a{};
    socklen_t size = sizeof a;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&a), &size) != 0) return 0;
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    return 0;
}

bool IsListeningStreamSocket(SocketHandle socket)
{
    int value = 0;
    socklen_t size = sizeof value;
    if (::getsockopt(socket, SOL_SOCKET, SO_ACCEPTCONN, &value, &size) != 0 || value == 0) return false;
    int type = 0;
    size = sizeof type;
    return ::getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM;
}

SocketHandle AcceptConnection(SocketHandle listener, std::string* peer)
{
    sockaddr_storage a{};
    socklen_t size = sizeof a;
    int s = ::accept4(listener, reinterpret_cast<sockaddr*>(&a), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (s < 0) return kInvalidSocket;
    int one = 1;
    (void)::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (peer) {
        char text[INET6_ADDRSTRLEN] = "?";
        uint16_t port = 0;
        if (a.ss_family == AF_INET) {
            auto* in = reinterpret_cast<sockaddr_in*>(&a);
            ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
            port = ntohs(in->sin_port);
        } else if (a.ss_family == AF_INET6) {
            auto* in = reinterpret_cast<sockaddr_in6*>(&a);
            ::inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
            port = ntohs(in->sin6_port);
        }
        *peer = std::string(text) + ":" + std::to_string(port);
    }
    return s;
}

void ShutdownSocket(SocketHandle socket)
{
    if (socket != kInvalidSocket) ::shutdown(socket, SHUT_RDWR);
}

void ShutdownSocketSending(SocketHandle socket)
{
    if (socket != kInvalidSocket) ::shutdown(socket, SHUT_WR);
}

std::string LocalHostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

void RandomBytes(void* out, size_t size)
{
    auto* p = static_cast<uint8_t*>(out);
    while (size > 0) {
        ssize_t n = ::getrandom(p, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            // No entropy source: the caller still gets bytes, not silence.
            for (size_t i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(::rand());
            return;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
}

CSocketPoller::CSocketPoller()
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_epoll >= 0 && m_wake >= 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = ~uint64_t{0};
        (void)::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &ev);
    }
}

CSocketPoller::~CSocketPoller()
{
    if (m_wake >= 0) ::close(m_wake);
    if (m_epoll >= 0) ::close(m_epoll);
}

bool CSocketPoller::Add(SocketHandle socket, uint64_t key, bool wantWrite)
{
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | (wantWrite ? EPOLLOUT : 0u);
    ev.data.u64 = key;
    return ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, socket, &ev) == 0;
}

bool CSocketPoller::SetWantWrite(SocketHandle socket, uint64_t key, bool wantWrite)
{
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | (wantWrite ? EPOLLOUT : 0u);
    ev.data.u64 = key;
    return ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, socket, &ev) == 0;
}

void CSocketPoller::Remove(SocketHandle socket)
{
    (void)::epoll_ctl(m_epoll, EPOLL_CTL_DEL, socket, nullptr);
}

void CSocketPoller::Wait(uint32_t timeoutMs, std::vector<Event>* events)
{
    events->clear();
    epoll_event ready[64];
    int n = ::epoll_wait(m_epoll, ready, 64, static_cast<int>(timeoutMs));
    for (int i = 0; i < n; ++i) {
        if (ready[i].data.u64 == ~uint64_t{0}) {
            uint64_t count;
            while (::read(m_wake, &count, sizeof count) > 0) {
            }
            continue;
        }
        uint32_t e = ready[i].events;
        events->push_back(Event{ready[i].data.u64, (e & (EPOLLIN | EPOLLRDHUP)) != 0, (e & EPOLLOUT) != 0,
                                (e & (EPOLLERR | EPOLLHUP)) != 0});
    }
}

void CSocketPoller::Wake()
{
    uint64_t one = 1;
    (void)::write(m_wake, &one, sizeof one);
}
