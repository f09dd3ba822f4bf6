#include "ToolTrace.h"

#include "platform/File.h"
#include "platform/FileTime.h"
#include "platform/ThreadId.h"

#include <cstdio>

namespace {
// Other writers of the log (the program itself, other processes) hold the same
// mutex; a line that cannot get it in time is dropped rather than waited for.
constexpr uint32_t kFileMutexWaitMs = 5000;
}  // namespace

uint32_t CToolTrace::ReadValue(std::string_view text, std::string_view key, uint32_t fallback)
{
    size_t at = text.find(key);
    if (at == std::string_view::npos) return fallback;
    size_t i = at + key.size();
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i < text.size() && text[i] == '-') return fallback;
    uint32_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
        ++i;
    }
    return value;  // no digits reads as 0, like the program's own reading
}

CToolTrace::Settings CToolTrace::Parse(std::string_view text)
{
    Settings s;
    s.level = static_cast<uint8_t>(ReadValue(text, "DBG_DA_TOOL=", s.level));
    s.sizeLimitMb = ReadValue(text, "FS=", s.sizeLimitMb);
    return s;
}

void CToolTrace::Apply(const char* logPath, const char* settings)
{
    // Only the first 1023 bytes of log.ini count.
    std::string text = settings ? std::string(settings).substr(0, 1023) : std::string();
    Settings s = Parse(text);
    std::lock_guard lock(m_mutex);
    if (logPath && *logPath) m_path = logPath;
    m_text = std::move(text);
    m_level.store(s.level, std::memory_order_relaxed);
    m_sizeLimitMb.store(s.sizeLimitMb, std::memory_order_relaxed);
}

std::string CToolTrace::Path() const
{
    std::lock_guard lock(m_mutex);
    return m_path;
}

std::string CToolTrace::Text() const
{
    std::lock_guard lock(m_mutex);
    return m_text;
}

void CToolTrace::Trace(int level, const char* format, ...)
{
    if (!IsEnabled(level) || !format) return;
    SYSTEMTIME t{};
    GetLocalTime(&t);
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "PID=%u TID=%d [ %02d/%02d/%04d %02d:%02d:%02d.%03d ] ",
                  GetCurrentProcessId(), GetCurrentThreadId(), t.wDay, t.wMonth, t.wYear, t.wHour, t.wMinute,
                  t.wSecond, t.wMilliseconds);
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string line(prefix);
    if (n > 0) {
        size_t start = line.size();
        line.resize(start + static_cast<size_t>(n) + 1);
        std::vsnprintf(line.data() + start, static_cast<size_t>(n) + 1, format, args);
        line.resize(start + static_cast<size_t>(n));
    }
    va_end(args);
    line += "\r\n";
    WriteLine(line);
}

void CToolTrace::WriteLine(const std::string& line)
{
    std::lock_guard lock(m_mutex);
    uint32_t limitMb = m_sizeLimitMb.load(std::memory_order_relaxed);
    if (m_path.empty() || limitMb == 0) return;
    if (!m_fileMutex.IsOpen() || m_fileMutexPath != m_path) {
        m_fileMutex.Close();
        size_t slash = m_path.find_last_of('/');
        if (!m_fileMutex.Open(slash == std::string::npos ? m_path : m_path.substr(slash + 1))) return;
        m_fileMutexPath = m_path;
    }
    if (m_fileMutex.Lock(kFileMutexWaitMs) != MutexWait::Acquired) return;
    uint64_t size = 0;
    if (GetFileSize(m_path, &size) && size > static_cast<uint64_t>(limitMb) * 1048576u) {
        std::string reserve = m_path + "_reserv";
        (void)DeleteFile(reserve);
        (void)RenameFile(m_path, reserve);
    }
    (void)AppendFileText(m_path, line);
    m_fileMutex.Unlock();
}
