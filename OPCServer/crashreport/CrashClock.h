#pragma once
#include "crashreport/CrashText.h"
#include "platform/FileTime.h"

#include <cstddef>
#include <cstdint>

// Local dates and times for the crash report. The C library's time zone code
// takes locks and may read files, so the zone's UTC offsets and the month
// names are taken once at installation; afterwards conversion and formatting
// are plain arithmetic, safe inside a signal handler.
class CrashLocalClock {
   public:
    // Samples the current time zone from 1970 to fifty years ahead and takes
    // the month names of the environment's time locale. Not signal-safe.
    void Build();

    // UTC FILETIME to the local calendar; false before Build.
    bool ToLocal(uint64_t fileTime, SYSTEMTIME* local) const;

    // The long date, "5 March 2024" (the day, the month name of the locale, the year).
    void WriteLongDate(CrashTextWriter& writer, const SYSTEMTIME& local) const;
    // 24-hour time, "14:07:09".
    static void WriteTime(CrashTextWriter& writer, const SYSTEMTIME& local);

   private:
    struct Change {
        int64_t utcSeconds;     // from this instant on (Unix seconds)
        int32_t offsetSeconds;  // local minus UTC
    };
    static constexpr size_t kMaxChanges = 1024;
    static constexpr size_t kMaxMonthName = 48;

    void TakeMonthNames();

    size_t m_count = 0;
    Change m_changes[kMaxChanges];
    uint8_t m_monthLength[12] = {};
    char16_t m_months[12][kMaxMonthName];
};
