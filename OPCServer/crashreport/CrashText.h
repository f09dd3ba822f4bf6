#pragma once
#include <cstddef>
#include <cstdint>

// UTF-16LE text for the crash report, formatted by hand into a fixed buffer
// and written to a file handle: usable inside a signal handler.

// Decodes UTF-8 into UTF-16 code units; a byte that does not start a valid
// sequence becomes U+FFFD. Writes at most capacity units and returns how many.
size_t Utf8ToUtf16(const char* text, char16_t* out, size_t capacity);

class CrashTextWriter {
   public:
    // A handle of -1 swallows the text (a report file that could not be opened).
    explicit CrashTextWriter(int handle) : m_handle(handle) {}
    ~CrashTextWriter() { Flush(); }
    CrashTextWriter(const CrashTextWriter&) = delete;
    CrashTextWriter& operator=(const CrashTextWriter&) = delete;

    // UTF-8 text.
    CrashTextWriter& Text(const char* text);
    CrashTextWriter& Utf16(const char16_t* text, size_t length);
    // Upper-case hex, zero-padded to at least digits (as %0<digits>X).
    CrashTextWriter& Hex(uint64_t value, int digits);
    // Decimal, zero-padded to at least digits.
    CrashTextWriter& Dec(uint64_t value, int digits = 1);
    // Writes out what is buffered; a line is written once it is complete.
    void Flush();

   private:
    void Put(char16_t unit);

    static constexpr size_t kCapacity = 1024;  // characters
    int m_handle;
    size_t m_length = 0;
    uint8_t m_bytes[kCapacity * 2];
};
