#include "platform/ElfModule.h"

#include "platform/ProcessMaps.h"

#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// x86-64 pages: mappings start on them, load segments are placed by them.
constexpr uint64_t kPage = 4096;

void CopyPath(char* to, size_t size, const char* from)
{
    size_t i = 0;
    for (; i + 1 < size && from[i] != '\0'; ++i) {
        to[i] = from[i];
    }
    to[i] = '\0';
}

bool SamePath(const char* a, const char* b)
{
    return strcmp(a, b) == 0;
}

// A file's mapping, not anonymous memory or a kernel area such as "[vdso]".
bool IsFileMapping(const MemoryMapping& m)
{
    return m.inode != 0 && m.path[0] == '/';
}

bool ReadAt(int fd, void* buffer, size_t size, uint64_t offset)
{
    auto* p = static_cast<char*>(buffer);
    while (size > 0) {
        const ssize_t n = pread(fd, p, size, static_cast<off_t>(offset));
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

// The first allocated section whose address range (end included) holds the
// relative address. Thread-local sections take no address space of their own.
bool FindSection(int fd, uint64_t relative, uint32_t* section, uint64_t* offset)
{
    bool found = false;
    Elf64_Ehdr header{};
    if (ReadAt(fd, &header, sizeof(header), 0) && memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
        header.e_ident[EI_CLASS] == ELFCLASS64 && header.e_shentsize == sizeof(Elf64_Shdr) &&
        header.e_shoff != 0) {
        uint64_t count = header.e_shnum;
        if (count == 0) {
            // More sections than fit in the header: the count is in the first entry.
            Elf64_Shdr first{};
            if (ReadAt(fd, &first, sizeof(first), header.e_shoff)) {
                count = first.sh_size;
            }
        }
        constexpr uint64_t kChunk = 32;
        Elf64_Shdr chunk[kChunk];
        for (uint64_t base = 0; base < count && !found; base += kChunk) {
            const uint64_t n = count - base < kChunk ? count - base : kChunk;
            if (!ReadAt(fd, chunk, n * sizeof(Elf64_Shdr), header.e_shoff + base * sizeof(Elf64_Shdr))) {
                break;
            }
            for (uint64_t i = 0; i < n; ++i) {
                const Elf64_Shdr& s = chunk[i];
                if ((s.sh_flags & SHF_ALLOC) == 0 ||
                    ((s.sh_flags & SHF_TLS) != 0 && s.sh_type == SHT_NOBITS)) {
                    continue;
                }
                if (s.sh_addr <= relative && relative - s.sh_addr <= s.sh_size) {
                    *section = static_cast<uint32_t>(base + i);
                    *offset = relative - s.sh_addr;
                    found = true;
                    break;
                }
            }
        }
    }
    return found;
}

// The address relative to the module's link addresses, when one of its load
// segments holds it. The first load segment is the one mapped at the base.
bool RelativeAddress(int fd, uint64_t base, uint64_t address, uint64_t* relative)
{
    Elf64_Ehdr header{};
    if (!ReadAt(fd, &header, sizeof(header), 0) || memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr)) {
        return false;
    }
    constexpr uint64_t kMaxSegments = 64;
    Elf64_Phdr segments[kMaxSegments];
    const uint64_t count = header.e_phnum < kMaxSegments ? header.e_phnum : kMaxSegments;
    if (!ReadAt(fd, segments, count * sizeof(Elf64_Phdr), header.e_phoff)) {
        return false;
    }
    bool haveBias = false;
    uint64_t bias = 0;
    for (uint64_t i = 0; i < count && !haveBias; ++i) {
        if (segments[i].p_type == PT_LOAD) {
            bias = base - (segments[i].p_vaddr & ~(kPage - 1));
            haveBias = true;
        }
    }
    if (!haveBias) {
        return false;
    }
    *relative = address - bias;
    for (uint64_t i = 0; i < count; ++i) {
        const Elf64_Phdr& s = segments[i];
        if (s.p_type == PT_LOAD && *relative >= s.p_vaddr && *relative - s.p_vaddr < s.p_memsz) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool FindModuleAddress(uint64_t address, ModuleAddress* out)
{
    out->path[0] = '\0';
    out->section = 0;
    out->offset = 0;
    if (address == 0) {
        return false;
    }
    // The module is the last file mapped from its start (offset 0) at or below
    // the address; its zero-filled data may follow in anonymous memory.
    CProcessMaps maps;
    MemoryMapping m;
    uint64_t base = 0;
    uint64_t device = 0, inode = 0;
    bool candidate = false;
    bool inFileMapping = false;
    while (maps.Next(&m) && m.start <= address) {
        if (IsFileMapping(m)) {
            if (m.offset == 0) {
                candidate = true;
                base = m.start;
                device = m.device;
                inode = m.inode;
                CopyPath(out->path, sizeof(out->path), m.path);
            } else if (!candidate || !SamePath(out->path, m.path)) {
                candidate = false;
            }
        }
        if (address < m.end) {
            inFileMapping = IsFileMapping(m);
            break;
        }
    }
    if (!candidate) {
        out->path[0] = '\0';
        return false;
    }
    // The program's own file is read through /proc: the running image even if its file was replaced.
    const char* file = out->path;
    struct stat program {};
    if (stat("/proc/self/exe", &program) == 0 && program.st_dev == device && program.st_ino == inode) {
        file = "/proc/self/exe";
    }
    const int fd = open(file, O_RDONLY | O_CLOEXEC);
    uint64_t relative = address - base;
    if (fd >= 0) {
        const bool inModule = RelativeAddress(fd, base, address, &relative);
        if (inModule) {
            FindSection(fd, relative, &out->section, &out->offset);
        }
        close(fd);
        if (!inModule) {
            out->path[0] = '\0';
            return false;
        }
    } else if (!inFileMapping) {
        // Unreadable file: only its own mappings are known to be the module.
        out->path[0] = '\0';
        return false;
    }
    return true;
}
