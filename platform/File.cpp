#include "platform/File.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

CFile::CFile(CFile&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

CFile& CFile::operator=(CFile&& other) noexcept
{
    if (this != &other) {
        Close();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

bool CFile::Open(const std::string& path, FileAccess access, FileMode mode)
{
    Close();
    int flags = O_CLOEXEC | (access == FileAccess::Read ? O_RDONLY : O_RDWR);
    switch (mode) {
        case FileMode::OpenExisting:
            break;
        case FileMode::OpenAlways:
            flags |= O_CREAT;
            break;
        case FileMode::CreateAlways:
            flags |= O_CREAT | O_TRUNC;
            break;
        case FileMode::CreateNew:
            flags |= O_CREAT | O_EXCL;
            break;
    }
    if (access == FileAccess::Read && (flags & O_TRUNC) != 0) {
        errno = EINVAL;  // truncating needs write access
        return false;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    m_fd = fd;
    return true;
}

bool CFile::Close()
{
    if (m_fd < 0) {
        return true;
    }
    // close() is not retried on EINTR: Linux has released the descriptor.
    return ::close(std::exchange(m_fd, -1)) == 0;
}

bool CFile::Size(uint64_t* size) const
{
    struct stat st {};
    if (size == nullptr || m_fd < 0) {
        errno = EBADF;
        return false;
    }
    if (::fstat(m_fd, &st) != 0) {
        return false;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool CFile::Seek(uint64_t offset)
{
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    return ::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool CFile::SeekToEnd()
{
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    return ::lseek(m_fd, 0, SEEK_END) >= 0;
}

bool CFile::Write(const void* data, size_t size)
{
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(m_fd, p, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool CFile::Append(const void* data, size_t size)
{
    return SeekToEnd() && Write(data, size);
}

bool CFile::Read(void* buffer, size_t capacity, size_t* got)
{
    if (m_fd < 0 || got == nullptr) {
        errno = EBADF;
        return false;
    }
    ssize_t n;
    do {
        n = ::read(m_fd, buffer, capacity);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return false;
    }
    *got = static_cast<size_t>(n);
    return true;
}

bool CFile::Truncate(uint64_t size)
{
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    return ::ftruncate(m_fd, static_cast<off_t>(size)) == 0;
}

bool CFile::Sync()
{
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    return ::fsync(m_fd) == 0;
}

bool FileExists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool GetFileSize(const std::string& path, uint64_t* size)
{
    struct stat st {};
    if (size == nullptr) {
        errno = EINVAL;
        return false;
    }
    if (::stat(path.c_str(), &st) != 0) {
        return false;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool DeleteFile(const std::string& path)
{
    return ::unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to)
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool CreateFolders(const std::string& path, unsigned mode)
{
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    // Each prefix ending before a '/' is a parent; the path itself comes last.
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') {
            continue;
        }
        const std::string prefix = path.substr(0, pos);
        if (::mkdir(prefix.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

bool ReadFileText(const std::string& path, std::string* text, size_t maxBytes)
{
    if (text == nullptr) {
        errno = EINVAL;
        return false;
    }
    CFile file;
    if (!file.Open(path, FileAccess::Read, FileMode::OpenExisting)) {
        return false;
    }
    std::string result;
    char buffer[4096];
    while (result.size() < maxBytes) {
        size_t got = 0;
        const size_t want = std::min(sizeof buffer, maxBytes - result.size());
        if (!file.Read(buffer, want, &got)) {
            return false;
        }
        if (got == 0) {
            break;
        }
        result.append(buffer, got);
    }
    *text = std::move(result);
    return true;
}

bool WriteFileText(const std::string& path, const std::string& text)
{
    CFile file;
    return file.Open(path, FileAccess::ReadWrite, FileMode::CreateAlways) &&
           file.Write(text.data(), text.size());
}

bool AppendFileText(const std::string& path, const std::string& text)
{
    CFile file;
    return file.Open(path, FileAccess::ReadWrite, FileMode::OpenAlways) &&
           file.Append(text.data(), text.size());
}
