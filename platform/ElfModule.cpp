#include "platform/ElfModule.h"

#include "platform/CrashSignals.h"

#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

namespace {

struct Search {
    uint64_t address;
    bool found;
    bool isProgram;
    uint64_t bias;
    ModuleAddress* out;
};

void CopyPath(char* to, size_t size, const char* from)
{
    size_t i = 0;
    for (; i + 1 < size && from[i] != '\0'; ++i) {
        to[i] = from[i];
    }
    to[i] = '\0';
}

int FindSegment(dl_phdr_info* info, size_t, void* data)
{
    auto* search = static_cast<Search*>(data);
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD) {
            continue;
        }
        const uint64_t start = info->dlpi_addr + segment.p_vaddr;
        if (search->address >= start && search->address - start < segment.p_memsz) {
            search->found = true;
            search->bias = info->dlpi_addr;
            // The program itself is listed first and without a name.
            search->isProgram = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
            if (!search->isProgram) {
                CopyPath(search->out->path, sizeof(search->out->path), info->dlpi_name);
            }
            return 1;
        }
    }
    return 0;
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
bool FindSection(const char* file, uint64_t relative, uint32_t* section, uint64_t* offset)
{
    const int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
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
    close(fd);
    return found;
}

}  // namespace

bool FindModuleAddress(uint64_t address, ModuleAddress* out)
{
    out->path[0] = '\0';
    out->section = 0;
    out->offset = 0;
    Search search{address, false, false, 0, out};
    dl_iterate_phdr(FindSegment, &search);
    if (!search.found) {
        return false;
    }
    const char* file = out->path;
    if (search.isProgram) {
        ReadProgramPath(out->path, sizeof(out->path));
        file = "/proc/self/exe";  // the running image even if its file was replaced
    }
    FindSection(file, address - search.bias, &out->section, &out->offset);
    return true;
}
