#pragma once
#include <cstddef>
#include <cstdint>

// The memory mappings of this process, line by line from /proc/self/maps,
// read with plain system calls into fixed buffers: safe in a signal handler,
// and it takes no lock of the loader or the allocator.

struct MemoryMapping {
    uint64_t start;
    uint64_t end;  // one past the last byte
    bool readable;
    bool writable;
    uint64_t offset;  // in the mapped file
    uint64_t device;  // as stat's st_dev
    uint64_t inode;   // 0 for memory that no file backs
    // The mapped file, a bracketed name such as "[stack]", or "". Points into
    // the reader and lasts until its next Next().
    const char* path;
};

class CProcessMaps {
   public:
    CProcessMaps();
    ~CProcessMaps();
    CProcessMaps(const CProcessMaps&) = delete;
    CProcessMaps& operator=(const CProcessMaps&) = delete;

    // The next mapping in address order; false at the end or when the list
    // cannot be read.
    bool Next(MemoryMapping* mapping);

   private:
    bool NextLine();

    int m_fd;
    char m_buffer[2048];
    size_t m_have = 0;
    size_t m_used = 0;
    char m_line[4096 + 128];
};

// Whether [address, address + size) lies wholly in mappings that may be read
// and written.
bool MemoryIsWritable(const void* address, size_t size);
