#pragma once
#include "app/LogIni.h"
#include "platform/CriticalSection.h"
#include "platform/NamedMutex.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// Debug categories as the trace interface numbers them.
enum DebugCategory : int {
    kDebugDa = 1,
    kDebugHda = 2,
    kDebugCommon = 3,
    kDebugDaTool = 4,
    kDebugHdaTool = 5,
};

// The diagnostic trace: one file, switched per category and level by the
// text of log.ini. Any thread may trace. Lines are whole even with several
// processes writing the same file: a writer takes the in-process lock, then
// the named mutex named after the file name, and writes a line in one call.
// Both are innermost: nothing else is taken while either is held.
class CDebugLog {
   public:
    CDebugLog();
    explicit CDebugLog(const std::string& path) : CDebugLog() { Create(path); }
    ~CDebugLog() { Teardown(); }
    CDebugLog(const CDebugLog&) = delete;
    CDebugLog& operator=(const CDebugLog&) = delete;

    // Stores the path and opens the named mutex. A path given a second time
    // is ignored. Without the mutex (no lock folder) lines are still written,
    // only not ordered against other processes.
    void Create(const std::string& path);

    // All levels to 0 and FS to 1024, then the keys of the text. Lock-free:
    // each setting is one atomic word that tracing threads read.
    void ApplySettings(std::string_view text);
    std::string SettingsText() const;
    DebugSettings Settings() const;
    const std::string& Path() const { return m_path; }

    // A category outside 1..5 is never enabled.
    bool IsEnabled(int category, int level) const
    {
        const unsigned slot = static_cast<unsigned>(category) - 1u;
        return slot < kCategories && level <= m_levels[slot].load(std::memory_order_relaxed);
    }

    // Writes one line when the category and level are enabled and answers
    // whether it was written. A null format only asks IsEnabled.
    bool Trace(int category, int level, const char* format, ...) __attribute__((format(printf, 4, 5)));
    bool TraceV(int category, int level, const char* format, va_list args);

    // Stops all writing; later traces write nothing. Run by the destructor.
    void Teardown();

    // Bytes per FS unit (1,048,576): tests shrink it to rotate small files.
    void SetSizeUnitForTesting(uint64_t bytes) { m_sizeUnit = bytes; }

    // Bound on the wait for another writer (another process's included). A
    // line that cannot get the mutex in time is dropped, as an unopenable
    // file's line is.
    static constexpr uint32_t kMutexWaitMs = 10000;
    static constexpr const char* kReserveSuffix = "_reserv";

   private:
    static constexpr unsigned kCategories = 5;

    bool WriteLine(const char* format, va_list args);
    bool AppendRotating(const std::string& line);

    std::atomic<int> m_levels[kCategories];  // indexed by category - 1
    std::atomic<uint32_t> m_sizeLimitMb{1024};
    std::atomic<uint32_t> m_alive{1};
    std::atomic<uint64_t> m_sizeUnit{1048576};

    CCriticalSection m_lock;  // writers of this process; guards m_path, m_mutex
    CNamedMutex m_mutex;
    std::string m_path;

    mutable std::mutex m_textMutex;
    std::string m_settingsText;
};

// The periodic settings reading: log.ini (created with the default line when
// missing, at most 1023 bytes) applied to the log. False when log.ini can be
// neither created nor read: the previous settings stay. *appliedText gets the
// text for the toolkit's SetDebugSettingsDA.
[[nodiscard]] bool ReloadDebugSettings(CDebugLog& log, const std::string& iniPath, std::string* appliedText);
