#include "platform/NamedMutex.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// The in-process half: one per lock file path, shared by every object that
// opened it. holder is the object whose thread owns it (null when free).
struct CNamedMutex::Shared {
    std::mutex mutex;
    std::condition_variable released;
    const CNamedMutex* holder = nullptr;
    std::thread::id owner;
};

namespace {

using Clock = std::chrono::steady_clock;

std::shared_ptr<CNamedMutex::Shared> SharedFor(const std::string& path)
{
    static std::mutex registryMutex;
    static std::map<std::string, std::weak_ptr<CNamedMutex::Shared>> registry;
    std::lock_guard<std::mutex> guard(registryMutex);
    // Drop entries whose objects are all gone, so the map does not grow.
    for (auto it = registry.begin(); it != registry.end();) {
        it = it->second.expired() ? registry.erase(it) : std::next(it);
    }
    auto& slot = registry[path];
    std::shared_ptr<CNamedMutex::Shared> shared = slot.lock();
    if (!shared) {
        shared = std::make_shared<CNamedMutex::Shared>();
        slot = shared;
    }
    return shared;
}

// A folder of our own: not a symlink, a folder, owned by us. Anything else
// under a world-writable /tmp could be another user's trap.
bool EnsurePrivateFolder(const std::string& folder)
{
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        errno = EACCES;
        return false;
    }
    return true;
}

}  // namespace

std::string CNamedMutex::LockFolder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/OpcVireo2-locks";
    }
    return "/tmp/OpcVireo2-locks-" + std::to_string(::geteuid());
}

CNamedMutex::~CNamedMutex()
{
    Close();
}

bool CNamedMutex::Open(const std::string& name)
{
    Close();
    if (name.empty()) {
        errno = EINVAL;
        return false;
    }
    const std::string folder = LockFolder();
    if (!EnsurePrivateFolder(folder)) {
        return false;
    }
    std::string fileName = name;
    std::replace(fileName.begin(), fileName.end(), '/', '_');
    const std::string path = folder + "/" + fileName + ".lock";
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    m_fd = fd;
    m_path = path;
    m_shared = SharedFor(path);
    return true;
}

void CNamedMutex::Close()
{
    if (m_shared) {
        std::lock_guard<std::mutex> guard(m_shared->mutex);
        if (m_shared->holder == this) {
            ::flock(m_fd, LOCK_UN);
            m_shared->holder = nullptr;
            m_shared->released.notify_one();
        }
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_shared.reset();
    m_path.clear();
}

MutexWait CNamedMutex::Lock(uint32_t timeoutMs)
{
    if (m_fd < 0 || !m_shared) {
        errno = EBADF;
        return MutexWait::Failed;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto self = std::this_thread::get_id();
    {
        std::unique_lock<std::mutex> guard(m_shared->mutex);
        if (m_shared->holder != nullptr && m_shared->owner == self) {
            errno = EDEADLK;
            return MutexWait::Failed;
        }
        if (!m_shared->released.wait_until(guard, deadline, [&] { return m_shared->holder == nullptr; })) {
            return MutexWait::TimedOut;
        }
        m_shared->holder = this;
        m_shared->owner = self;
    }

    // flock has no timed wait: try, then sleep a little longer each time.
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
            return MutexWait::Acquired;
        }
        const int error = errno;
        MutexWait result = MutexWait::Failed;
        if (error == EINTR) {
            continue;
        }
        if (error == EWOULDBLOCK) {
            const auto now = Clock::now();
            if (now < deadline) {
                std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
                pause = std::min(pause * 2, std::chrono::microseconds(2000));
                continue;
            }
            result = MutexWait::TimedOut;
        }
        {
            std::lock_guard<std::mutex> guard(m_shared->mutex);
            m_shared->holder = nullptr;
            m_shared->released.notify_one();
        }
        errno = error;
        return result;
    }
}

bool CNamedMutex::Unlock()
{
    if (!m_shared) {
        errno = EPERM;
        return false;
    }
    std::lock_guard<std::mutex> guard(m_shared->mutex);
    if (m_shared->holder != this || m_shared->owner != std::this_thread::get_id()) {
        errno = EPERM;
        return false;
    }
    ::flock(m_fd, LOCK_UN);
    m_shared->holder = nullptr;
    m_shared->released.notify_one();
    return true;
}
