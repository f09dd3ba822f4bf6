#pragma once
#include <mutex>

// Re-entrant lock, the stand-in for a Windows critical section: the same
// thread may enter it again, and must leave it as often as it entered.
class CCriticalSection {
   public:
    void Enter() { m_mutex.lock(); }
    void Leave() { m_mutex.unlock(); }
    bool TryEnter() { return m_mutex.try_lock(); }

    // Lockable, so std::lock_guard and std::unique_lock work too.
    void lock() { Enter(); }
    void unlock() { Leave(); }
    bool try_lock() { return TryEnter(); }

   private:
    std::recursive_mutex m_mutex;
};

// Holds a critical section for the life of the scope.
class CCriticalSectionLock {
   public:
    explicit CCriticalSectionLock(CCriticalSection& cs) : m_cs(cs) { m_cs.Enter(); }
    ~CCriticalSectionLock() { m_cs.Leave(); }
    CCriticalSectionLock(const CCriticalSectionLock&) = delete;
    CCriticalSectionLock& operator=(const CCriticalSectionLock&) = delete;

   private:
    CCriticalSection& m_cs;
};
