#include "platform/ProcessMaps.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

bool IsHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A number in the base at p; p moves past it. False when there is none.
bool ParseNumber(const char*& p, unsigned base, uint64_t* value)
{
    uint64_t v = 0;
    const char* begin = p;
    for (; base == 16 ? IsHex(*p) : (*p >= '0' && *p <= '9'); ++p) {
        const unsigned digit =
            *p <= '9' ? static_cast<unsigned>(*p - '0') : static_cast<unsigned>((*p | 0x20) - 'a' + 10);
        v = v * base + digit;
    }
    *value = v;
    return p != begin;
}

bool Expect(const char*& p, char c)
{
    if (*p != c) {
        return false;
    }
    ++p;
    return true;
}

void SkipSpaces(const char*& p)
{
    while (*p == ' ') {
        ++p;
    }
}

}  // namespace

CProcessMaps::CProcessMaps() : m_fd(open("/proc/self/maps", O_RDONLY | O_CLOEXEC)) {}

CProcessMaps::~CProcessMaps()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
}

// A line longer than the line buffer is cut; only a path can be that long,
// and a cut path just fails to open later.
bool CProcessMaps::NextLine()
{
    size_t length = 0;
    bool any = false;
    for (;;) {
        if (m_used == m_have) {
            if (m_fd < 0) {
                break;
            }
            const ssize_t n = read(m_fd, m_buffer, sizeof(m_buffer));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            m_have = static_cast<size_t>(n);
            m_used = 0;
        }
        any = true;
        const char c = m_buffer[m_used++];
        if (c == '\n') {
            break;
        }
        if (length + 1 < sizeof(m_line)) {
            m_line[length++] = c;
        }
    }
    m_line[length] = '\0';
    return any;
}

bool CProcessMaps::Next(MemoryMapping* mapping)
{
    while (NextLine()) {
        // start-end perms offset major:minor inode [path]
        const char* p = m_line;
        uint64_t major = 0, minor = 0;
        if (!ParseNumber(p, 16, &mapping->start) || !Expect(p, '-') || !ParseNumber(p, 16, &mapping->end) ||
            !Expect(p, ' ') || p[0] == '\0' || p[1] == '\0') {
            continue;
        }
        mapping->readable = p[0] == 'r';
        mapping->writable = p[1] == 'w';
        while (*p != ' ' && *p != '\0') {
            ++p;
        }
        SkipSpaces(p);
        if (!ParseNumber(p, 16, &mapping->offset) || !Expect(p, ' ') || !ParseNumber(p, 16, &major) ||
            !Expect(p, ':') || !ParseNumber(p, 16, &minor) || !Expect(p, ' ') ||
            !ParseNumber(p, 10, &mapping->inode)) {
            continue;
        }
        mapping->device = makedev(major, minor);
        SkipSpaces(p);
        mapping->path = p;
        return true;
    }
    return false;
}

bool MemoryIsWritable(const void* address, size_t size)
{
    uint64_t from = reinterpret_cast<uint64_t>(address);
    if (size == 0 || from + size < from) {
        return false;
    }
    const uint64_t to = from + size;
    CProcessMaps maps;
    MemoryMapping m;
    // Mappings come in address order: walk along them until the range is covered.
    while (maps.Next(&m)) {
        if (m.end <= from) {
            continue;
        }
        if (m.start > from || !m.readable || !m.writable) {
            return false;
        }
        if (m.end >= to) {
            return true;
        }
        from = m.end;
    }
    return false;
}
