#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

// The configuration file's primitives: little-endian integers and UTF-16LE
// texts without terminator, no padding. Program texts are UTF-8.

// Appends to a byte image in memory; the file is written from it in one go.
class CConfigWriter {
   public:
    void U8(uint8_t value) { m_bytes.push_back(value); }
    void U16(uint16_t value);
    void U32(uint32_t value);
    void Zeros(size_t count) { m_bytes.insert(m_bytes.end(), count, 0); }
    void Bytes(std::span<const uint8_t> bytes)
    {
        for (const uint8_t byte : bytes) {
            U8(byte);
        }
    }
    // The UTF-16LE units of a text, answering their count.
    size_t Text(const std::u16string& units);
    // A block of u32 fields (a struct of nothing else), in member order.
    template <class Block>
    void Words(const Block& block)
    {
        static_assert(std::is_trivially_copyable_v<Block> && sizeof(Block) % 4 == 0);
        uint32_t words[sizeof(Block) / 4];
        std::memcpy(words, &block, sizeof(Block));
        for (const uint32_t word : words) {
            U32(word);
        }
    }

    size_t Size() const { return m_bytes.size(); }
    const std::vector<uint8_t>& Image() const { return m_bytes; }
    std::vector<uint8_t> TakeImage() { return std::move(m_bytes); }

   private:
    std::vector<uint8_t> m_bytes;
};

// Reads from a byte image. A field that the image cuts short is not
// assigned (it keeps its value, the default) and the reader stays at the
// end; so a damaged image costs defaults, never memory or a crash.
class CConfigReader {
   public:
    explicit CConfigReader(std::span<const uint8_t> bytes) : m_bytes(bytes) {}

    bool U8(uint8_t& value);
    bool U16(uint16_t& value);
    bool U32(uint32_t& value);
    // Copies count bytes when that many remain; else consumes the rest.
    bool Bytes(void* out, size_t count);
    bool Skip(size_t count);
    // count UTF-16 units as UTF-8. Units beyond the end are not there: the
    // text is what arrived (a dangling half unit dropped), and false.
    bool Text(size_t count, std::string& text);
    template <class Block>
    bool Words(Block& block)
    {
        static_assert(std::is_trivially_copyable_v<Block> && sizeof(Block) % 4 == 0);
        uint32_t words[sizeof(Block) / 4];
        std::memcpy(words, &block, sizeof(Block));
        bool whole = true;
        for (uint32_t& word : words) {
            whole = U32(word) && whole;
        }
        std::memcpy(&block, words, sizeof(Block));
        return whole;
    }

    size_t Offset() const { return m_offset; }
    size_t Remaining() const { return m_bytes.size() - m_offset; }
    // Whether a read came up short.
    bool CutShort() const { return m_cutShort; }
    bool AtEnd() const { return m_offset == m_bytes.size(); }

   private:
    std::span<const uint8_t> m_bytes;
    size_t m_offset = 0;
    bool m_cutShort = false;
};
