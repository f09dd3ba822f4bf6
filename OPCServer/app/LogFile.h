#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

// The communication statistics file: one time-stamped line per call,
// appended with the file opened and closed each time so a viewer may keep it
// open, move it or delete it between lines. Over its size limit the whole
// file is discarded before the next line (no reserve copy).
//
// No lock of its own: the statistics lock of the singleton serialises events;
// the settings are atomic so they may change while channels record.
class CLogFile {
   public:
    CLogFile(std::string path, uint32_t sizeLimitKb, uint32_t enabled);
    virtual ~CLogFile() = default;

    // "[dd/mm/yy hh:mm:ss] text" in local time, then "\r\n". Texts are UTF-8
    // on this platform, so both forms take the same bytes; a null text
    // writes nothing. True when the line was written.
    bool WriteLine(std::string_view text);
    bool WriteLineA(const char* text);

    // Deletes the file; a missing file is no error.
    void Clear();

    void SetSizeLimitKb(uint32_t sizeLimitKb) { m_sizeLimitKb.store(sizeLimitKb); }
    void SetEnabled(uint32_t enabled) { m_enabled.store(enabled); }
    uint32_t SizeLimitKb() const { return m_sizeLimitKb.load(); }
    uint32_t Enabled() const { return m_enabled.load(); }
    const std::string& Path() const { return m_path; }

   private:
    bool Append(std::string_view text);

    const std::string m_path;
    std::atomic<uint32_t> m_sizeLimitKb;
    std::atomic<uint32_t> m_enabled;
};

// The statistics line's time stamp for a local calendar time.
std::string FormatLogFileLine(int day, int month, int year, int hour, int minute, int second,
                              std::string_view text);
