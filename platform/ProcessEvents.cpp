#include "platform/ProcessEvents.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

sigset_t WatchedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

void CloseDescriptor(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool Watch(int poll, int fd)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    return ::epoll_ctl(poll, EPOLL_CTL_ADD, fd, &event) == 0;
}

}  // namespace

CProcessEvents::~CProcessEvents()
{
    Close();
}

bool CProcessEvents::Open()
{
    if (IsOpen()) {
        return true;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t set = WatchedSignals();
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        return false;
    }
    m_signals = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_poll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_signals < 0 || m_wake < 0 || m_poll < 0 || !Watch(m_poll, m_signals) || !Watch(m_poll, m_wake)) {
        const int error = errno;
        Close();
        errno = error;
        return false;
    }
    return true;
}

void CProcessEvents::Close()
{
    CloseDescriptor(m_poll);
    CloseDescriptor(m_signals);
    CloseDescriptor(m_wake);
}

void CProcessEvents::Wake()
{
    const uint64_t one = 1;
    if (m_wake >= 0) {
        // A full counter already wakes the reader; nothing is lost.
        (void)!::write(m_wake, &one, sizeof one);
    }
}

CProcessEvents::Pending CProcessEvents::Wait(int timeoutMs)
{
    Pending pending;
    if (!IsOpen()) {
        return pending;
    }
    epoll_event events[2];
    int ready;
    do {
        ready = ::epoll_wait(m_poll, events, 2, timeoutMs < 0 ? -1 : timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        return pending;
    }
    uint64_t count = 0;
    if (::read(m_wake, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
        pending.woken = true;
    }
    signalfd_siginfo info{};
    while (::read(m_signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        switch (info.ssi_signo) {
            case SIGTERM:
                pending.signals |= 1u << static_cast<unsigned>(ProcessSignal::Terminate);
                break;
            case SIGINT:
                pending.signals |= 1u << static_cast<unsigned>(ProcessSignal::Interrupt);
                break;
            case SIGHUP:
                pending.signals |= 1u << static_cast<unsigned>(ProcessSignal::Reload);
                break;
            default:
                break;
        }
    }
    return pending;
}
