#pragma once
#include <cstdint>
#include <memory>
#include <string>

enum class MutexWait {
    Acquired,
    TimedOut,
    Failed,  // errno tells why (EDEADLK: this thread holds it already)
};

// A mutex shared by the processes of one user that open the same name: an
// exclusive flock on the lock file "<LockFolder()>/<name>.lock". The kernel
// drops the lock when the holding process dies, so a crashed holder never
// blocks the others (there is no "abandoned" state to report).
//
// flock belongs to the open file description, so two threads sharing one
// descriptor would both get it. Every object therefore also takes an
// in-process lock shared by all objects of the same name in this process:
// threads exclude each other whether they share one object or each open
// their own, and the flock only ever sees one contender per process.
//
// Not re-entrant: locking again from the holding thread fails at once with
// EDEADLK. The thread that locked unlocks. Every wait is bounded; the lock
// file is left in place (removing it would let a waiter lock a dead inode).
class CNamedMutex {
   public:
    CNamedMutex() = default;
    ~CNamedMutex();
    CNamedMutex(const CNamedMutex&) = delete;
    CNamedMutex& operator=(const CNamedMutex&) = delete;

    // Creates the lock folder and the lock file if missing. '/' in the name
    // becomes '_'. An empty name fails (EINVAL).
    [[nodiscard]] bool Open(const std::string& name);
    // Unlocks first when this thread holds it.
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& LockFilePath() const { return m_path; }

    // Waits at most timeoutMs (0: a single try).
    [[nodiscard]] MutexWait Lock(uint32_t timeoutMs);
    // False when the calling thread does not hold it (errno EPERM).
    bool Unlock();

    // $XDG_RUNTIME_DIR/OpcVireo2-locks when that variable names an absolute
    // folder, else /tmp/OpcVireo2-locks-<uid> (created 0700 and refused when
    // it is not a folder owned by this user). Read at every Open.
    static std::string LockFolder();

    struct Shared;

   private:
    int m_fd = -1;
    std::string m_path;
    std::shared_ptr<Shared> m_shared;
};
