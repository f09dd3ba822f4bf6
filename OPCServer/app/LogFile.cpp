#include "app/LogFile.h"

#include "platform/File.h"
#include "platform/FileTime.h"

#include <cstdio>
#include <utility>

std::string FormatLogFileLine(int day, int month, int year, int hour, int minute, int second,
                              std::string_view text)
{
    char stamp[64];
    const int n = std::snprintf(stamp, sizeof stamp, "[%02d/%02d/%02d %02d:%02d:%02d] ", day, month,
                                year - 2000, hour, minute, second);
    std::string line(stamp, n > 0 ? static_cast<size_t>(n) : 0);
    line.append(text);
    return line;
}

CLogFile::CLogFile(std::string path, uint32_t sizeLimitKb, uint32_t enabled)
    : m_path(std::move(path)), m_sizeLimitKb(sizeLimitKb), m_enabled(enabled)
{
}

bool CLogFile::WriteLine(std::string_view text)
{
    return Append(text);
}

bool CLogFile::WriteLineA(const char* text)
{
    return text != nullptr && Append(text);
}

void CLogFile::Clear()
{
    (void)DeleteFile(m_path);
}

bool CLogFile::Append(std::string_view text)
{
    if (m_enabled.load() == 0) {
        return false;
    }
    SYSTEMTIME t{};
    GetLocalTime(&t);
    std::string line = FormatLogFileLine(t.wDay, t.wMonth, t.wYear, t.wHour, t.wMinute, t.wSecond, text);
    line += "\r\n";

    CFile file;
    if (!file.Open(m_path, FileAccess::ReadWrite, FileMode::OpenAlways)) {
        return false;
    }
    uint64_t size = 0;
    if (!file.Size(&size)) {
        return false;
    }
    // Exactly at the limit stays; one byte more and the file starts anew.
    if (size > static_cast<uint64_t>(m_sizeLimitKb.load()) * 1024u) {
        file.Close();
        (void)DeleteFile(m_path);
        if (!file.Open(m_path, FileAccess::ReadWrite, FileMode::OpenAlways)) {
            return false;
        }
    }
    return file.Append(line.data(), line.size());
}
