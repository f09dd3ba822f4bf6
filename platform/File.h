#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Files through POSIX calls. Every failure is a false return with errno left
// as the failing call set it; nothing throws. Paths are UTF-8. Files are
// shared for reading and writing by default (the POSIX default), so a viewer
// may keep a log open while we append to it.

// How Open treats a file that exists or does not.
enum class FileMode {
    OpenExisting,  // fail when missing
    OpenAlways,    // create when missing, keep the content
    CreateAlways,  // create when missing, truncate when present
    CreateNew,     // fail when present
};

enum class FileAccess {
    Read,
    ReadWrite,
};

// An open file descriptor, closed by the destructor.
class CFile {
   public:
    CFile() = default;
    ~CFile() { Close(); }
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    CFile(CFile&& other) noexcept;
    CFile& operator=(CFile&& other) noexcept;

    // Closes what was open first. New files get mode 0644 less the umask.
    [[nodiscard]] bool Open(const std::string& path, FileAccess access, FileMode mode);
    // False when closing reports an error that writing did not (a delayed
    // write failure); the descriptor is released either way.
    bool Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Descriptor() const { return m_fd; }

    [[nodiscard]] bool Size(uint64_t* size) const;
    [[nodiscard]] bool Seek(uint64_t offset);
    [[nodiscard]] bool SeekToEnd();
    // Writes every byte at the current position (retrying short writes).
    [[nodiscard]] bool Write(const void* data, size_t size);
    // Moves to the end and writes every byte. Not atomic against other
    // writers of the same file: they must be serialised (CNamedMutex).
    [[nodiscard]] bool Append(const void* data, size_t size);
    // Reads up to capacity bytes; *got is 0 at the end of the file.
    [[nodiscard]] bool Read(void* buffer, size_t capacity, size_t* got);
    [[nodiscard]] bool Truncate(uint64_t size);
    // The written data on the disk (fsync).
    [[nodiscard]] bool Sync();

   private:
    int m_fd = -1;
};

[[nodiscard]] bool FileExists(const std::string& path);
[[nodiscard]] bool GetFileSize(const std::string& path, uint64_t* size);
// False when the file is missing (errno ENOENT), as on Windows.
[[nodiscard]] bool DeleteFile(const std::string& path);
// Renames, replacing a file of the new name if one exists.
[[nodiscard]] bool RenameFile(const std::string& from, const std::string& to);
// Creates the folder and every missing parent; true when it exists already.
[[nodiscard]] bool CreateFolders(const std::string& path, unsigned mode = 0755);

// Whole-file helpers: read at most maxBytes; write replaces the content;
// append creates a missing file.
[[nodiscard]] bool ReadFileText(const std::string& path, std::string* text, size_t maxBytes = SIZE_MAX);
[[nodiscard]] bool WriteFileText(const std::string& path, const std::string& text);
[[nodiscard]] bool AppendFileText(const std::string& path, const std::string& text);
