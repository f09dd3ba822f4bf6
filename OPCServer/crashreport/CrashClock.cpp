#include "crashreport/CrashClock.h"

#include <cstring>
#include <langinfo.h>
#include <locale.h>

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kTicksPerSecond = 10000000;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0);
}

int64_t FloorDiv(int64_t a, int64_t b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// Local minus UTC at a Unix instant, by the C library's own conversion.
bool OffsetAt(int64_t unixSeconds, int32_t* offset)
{
    const FILETIME ft =
        UInt64ToFileTime(kFileTimeUnixEpoch + static_cast<uint64_t>(unixSeconds) * kTicksPerSecond);
    SYSTEMTIME local{};
    if (!FileTimeToLocalSystemTime(ft, &local)) {
        return false;
    }
    const int64_t asUtc = DaysFromCivil(local.wYear, local.wMonth, local.wDay) * kSecondsPerDay +
                          local.wHour * 3600 + local.wMinute * 60 + local.wSecond;
    *offset = static_cast<int32_t>(asUtc - unixSeconds);
    return true;
}

const char* const kEnglishMonths[12] = {"January",   "February", "March",    "April",
                                        "May",       "June",     "July",     "August",
                                        "September", "October",  "November", "December"};

}  // namespace

void CrashLocalClock::Build()
{
    m_count = 0;
    TakeMonthNames();

    const int64_t now = static_cast<int64_t>((SystemTimeNow() - kFileTimeUnixEpoch) / kTicksPerSecond);
    const int64_t last = now + 50 * 366 * kSecondsPerDay;
    constexpr int64_t kStep = 7 * kSecondsPerDay;  // summer and winter time last months, not days
    int32_t offset = 0;
    if (!OffsetAt(0, &offset)) {
        return;
    }
    m_changes[m_count++] = Change{0, offset};
    int64_t before = 0;
    for (int64_t t = kStep; t <= last && m_count < kMaxChanges; t += kStep) {
        int32_t current = 0;
        if (!OffsetAt(t, &current)) {
            break;
        }
        if (current != offset) {
            // The first second with the new offset lies in (before, t].
            int64_t low = before, high = t;
            while (high - low > 1) {
                const int64_t middle = low + (high - low) / 2;
                int32_t probe = 0;
                if (OffsetAt(middle, &probe) && probe == offset) {
                    low = middle;
                } else {
                    high = middle;
                }
            }
            m_changes[m_count++] = Change{high, current};
            offset = current;
        }
        before = t;
    }
}

void CrashLocalClock::TakeMonthNames()
{
    // The environment's time locale, as the operator's desktop shows dates;
    // names in another encoding than UTF-8 are not used.
    locale_t locale = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
    const bool utf8 =
        locale != static_cast<locale_t>(0) && strcmp(nl_langinfo_l(CODESET, locale), "UTF-8") == 0;
    for (int i = 0; i < 12; ++i) {
        const char* name = utf8 ? nl_langinfo_l(static_cast<nl_item>(MON_1 + i), locale) : kEnglishMonths[i];
        if (name == nullptr || name[0] == '\0') {
            name = kEnglishMonths[i];
        }
        m_monthLength[i] = static_cast<uint8_t>(Utf8ToUtf16(name, m_months[i], kMaxMonthName));
    }
    if (locale != static_cast<locale_t>(0)) {
        freelocale(locale);
    }
}

bool CrashLocalClock::ToLocal(uint64_t fileTime, SYSTEMTIME* local) const
{
    if (m_count == 0) {
        return false;
    }
    const int64_t ticks = static_cast<int64_t>(fileTime) - static_cast<int64_t>(kFileTimeUnixEpoch);
    const int64_t seconds = FloorDiv(ticks, kTicksPerSecond);
    const int64_t milliseconds = (ticks - seconds * kTicksPerSecond) / 10000;
    // The last change at or before the instant; instants before the first take its offset.
    size_t low = 0, high = m_count;
    while (high - low > 1) {
        const size_t middle = low + (high - low) / 2;
        if (m_changes[middle].utcSeconds <= seconds) {
            low = middle;
        } else {
            high = middle;
        }
    }
    const int64_t localSeconds = seconds + m_changes[low].offsetSeconds;
    const int64_t days = FloorDiv(localSeconds, kSecondsPerDay);
    const int64_t ofDay = localSeconds - days * kSecondsPerDay;
    int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, &year, &month, &day);
    local->wYear = static_cast<uint16_t>(year);
    local->wMonth = static_cast<uint16_t>(month);
    local->wDay = static_cast<uint16_t>(day);
    local->wDayOfWeek = static_cast<uint16_t>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
    local->wHour = static_cast<uint16_t>(ofDay / 3600);
    local->wMinute = static_cast<uint16_t>(ofDay / 60 % 60);
    local->wSecond = static_cast<uint16_t>(ofDay % 60);
    local->wMilliseconds = static_cast<uint16_t>(milliseconds);
    return true;
}

void CrashLocalClock::WriteLongDate(CrashTextWriter& writer, const SYSTEMTIME& local) const
{
    writer.Dec(local.wDay).Text(" ");
    if (local.wMonth >= 1 && local.wMonth <= 12) {
        writer.Utf16(m_months[local.wMonth - 1], m_monthLength[local.wMonth - 1]);
    }
    writer.Text(" ").Dec(local.wYear, 4);
}

void CrashLocalClock::WriteTime(CrashTextWriter& writer, const SYSTEMTIME& local)
{
    writer.Dec(local.wHour, 2).Text(":").Dec(local.wMinute, 2).Text(":").Dec(local.wSecond, 2);
}
