#include "app/DebugLog.h"

#include "platform/File.h"
#include "platform/FileTime.h"
#include "platform/ThreadId.h"

#include <cstdio>
#include <utility>
#include <vector>

namespace {

// printf into a std::string of whatever length the text needs.
void AppendFormatted(std::string* out, const char* format, va_list args)
{
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0) {
        return;
    }
    if (static_cast<size_t>(needed) < sizeof small) {
        out->append(small, static_cast<size_t>(needed));
        return;
    }
    std::vector<char> big(static_cast<size_t>(needed) + 1);
    va_copy(copy, args);
    std::vsnprintf(big.data(), big.size(), format, copy);
    va_end(copy);
    out->append(big.data(), static_cast<size_t>(needed));
}

}  // namespace

CDebugLog::CDebugLog()
{
    for (auto& level : m_levels) {
        level.store(0, std::memory_order_relaxed);
    }
}

void CDebugLog::Create(const std::string& path)
{
    CCriticalSectionLock guard(m_lock);
    if (!m_path.empty() || path.empty()) {
        return;
    }
    m_path = path;
    const size_t slash = path.find_last_of('/');
    const std::string fileName = slash == std::string::npos ? path : path.substr(slash + 1);
    // A failure leaves the mutex closed; WriteLine then writes without it.
    (void)m_mutex.Open(fileName);
}

void CDebugLog::ApplySettings(std::string_view text)
{
    const DebugSettings settings = ParseDebugSettings(text);
    m_levels[kDebugDa - 1].store(settings.da, std::memory_order_relaxed);
    m_levels[kDebugHda - 1].store(settings.hda, std::memory_order_relaxed);
    m_levels[kDebugCommon - 1].store(settings.common, std::memory_order_relaxed);
    m_levels[kDebugDaTool - 1].store(settings.daTool, std::memory_order_relaxed);
    m_levels[kDebugHdaTool - 1].store(settings.hdaTool, std::memory_order_relaxed);
    m_sizeLimitMb.store(settings.sizeLimitMb, std::memory_order_relaxed);
    std::lock_guard<std::mutex> guard(m_textMutex);
    m_settingsText.assign(text);
}

std::string CDebugLog::SettingsText() const
{
    std::lock_guard<std::mutex> guard(m_textMutex);
    return m_settingsText;
}

DebugSettings CDebugLog::Settings() const
{
    DebugSettings s;
    s.da = static_cast<uint8_t>(m_levels[kDebugDa - 1].load(std::memory_order_relaxed));
    s.hda = static_cast<uint8_t>(m_levels[kDebugHda - 1].load(std::memory_order_relaxed));
    s.common = static_cast<uint8_t>(m_levels[kDebugCommon - 1].load(std::memory_order_relaxed));
    s.daTool = static_cast<uint8_t>(m_levels[kDebugDaTool - 1].load(std::memory_order_relaxed));
    s.hdaTool = static_cast<uint8_t>(m_levels[kDebugHdaTool - 1].load(std::memory_order_relaxed));
    s.sizeLimitMb = m_sizeLimitMb.load(std::memory_order_relaxed);
    return s;
}

bool CDebugLog::Trace(int category, int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const bool result = TraceV(category, level, format, args);
    va_end(args);
    return result;
}

bool CDebugLog::TraceV(int category, int level, const char* format, va_list args)
{
    if (!IsEnabled(category, level)) {
        return false;
    }
    if (format == nullptr) {
        return true;
    }
    return WriteLine(format, args);
}

void CDebugLog::Teardown()
{
    CCriticalSectionLock guard(m_lock);
    m_alive.store(0);
    m_mutex.Close();
}

bool CDebugLog::WriteLine(const char* format, va_list args)
{
    if (m_alive.load() == 0) {
        return false;
    }
    CCriticalSectionLock guard(m_lock);
    if (m_alive.load() == 0 || m_path.empty()) {
        return false;
    }

    SYSTEMTIME t{};
    GetLocalTime(&t);
    char prefix[96];
    const int n = std::snprintf(
        prefix, sizeof prefix, "PID=%u TID=%d [ %02d/%02d/%04d %02d:%02d:%02d.%03d ] ", GetCurrentProcessId(),
        GetCurrentThreadId(), t.wDay, t.wMonth, t.wYear, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    std::string line(prefix, n > 0 ? static_cast<size_t>(n) : 0);
    AppendFormatted(&line, format, args);
    line += "\r\n";

    if (!m_mutex.IsOpen()) {
        return AppendRotating(line);
    }
    if (m_mutex.Lock(kMutexWaitMs) != MutexWait::Acquired) {
        return false;
    }
    const bool written = AppendRotating(line);
    m_mutex.Unlock();
    return written;
}

// The caller holds both locks.
bool CDebugLog::AppendRotating(const std::string& line)
{
    const uint64_t limitMb = m_sizeLimitMb.load(std::memory_order_relaxed);
    if (limitMb == 0) {
        return false;
    }
    CFile file;
    if (!file.Open(m_path, FileAccess::ReadWrite, FileMode::OpenAlways)) {
        return false;
    }
    uint64_t size = 0;
    if (!file.Size(&size)) {
        return false;
    }
    // 64-bit product: FS of 4096 and more must not wrap to a tiny limit.
    if (size > limitMb * m_sizeUnit.load(std::memory_order_relaxed)) {
        file.Close();
        // rename replaces an older reserve file in one step.
        (void)RenameFile(m_path, m_path + kReserveSuffix);
        if (!file.Open(m_path, FileAccess::ReadWrite, FileMode::OpenAlways)) {
            return false;
        }
    }
    return file.Append(line.data(), line.size());
}

bool ReloadDebugSettings(CDebugLog& log, const std::string& iniPath, std::string* appliedText)
{
    std::string text;
    if (!ReadLogIni(iniPath, &text)) {
        return false;
    }
    log.ApplySettings(text);
    if (appliedText != nullptr) {
        *appliedText = std::move(text);
    }
    return true;
}
