#pragma once
// The toolkit's own trace: lines of the DA_TOOL category, written into the
// program's debug log with the same line prefix, size limit and reserve file.

#include "platform/NamedMutex.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

class CToolTrace {
   public:
    // Reads DBG_DA_TOOL and FS out of a log.ini text; missing keys take their
    // defaults (level 0, 1024 MB), negative values keep the default.
    struct Settings {
        uint8_t level = 0;
        uint32_t sizeLimitMb = 1024;
    };
    static Settings Parse(std::string_view text);
    static uint32_t ReadValue(std::string_view text, std::string_view key, uint32_t fallback);

    // A null path keeps the previous one; a null text applies the defaults.
    void Apply(const char* logPath, const char* settings);
    bool IsEnabled(int level) const { return level >= 1 && level <= m_level.load(std::memory_order_relaxed); }
    void Trace(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    std::string Path() const;
    std::string Text() const;

   private:
    void WriteLine(const std::string& line);

    std::atomic<uint8_t> m_level{0};
    std::atomic<uint32_t> m_sizeLimitMb{1024};
    mutable std::mutex m_mutex;
    std::string m_path;
    std::string m_text;
    CNamedMutex m_fileMutex;  // named after the log's file name, as the program's own writer
    std::string m_fileMutexPath;
};
