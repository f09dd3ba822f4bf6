#pragma once
#include "config/LevelRoot.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// The configuration file's bytes: the signature (a GUID in its binary form),
// the format version, then the records of the stored elements in pre-order,
// each element's record followed by its children's. In practice the root and
// one record per channel.
inline constexpr uint8_t kConfigSignature[16] = {0xB7, 0x23, 0x0E, 0x2F, 0x3A, 0xDB, 0x16, 0x47,
                                                 0x9E, 0xD1, 0x36, 0x25, 0xDC, 0xC8, 0x64, 0xAE};
inline constexpr uint32_t kConfigVersion = 1;

// The most channels a configuration holds: the operator cannot add more.
inline constexpr uint32_t kMaxChannels = 32;

// Answers of loading.
inline constexpr int kLoadDone = 0;          // loaded, or nothing to load
inline constexpr int kLoadCutShort = 1;      // a record header cut short, or the first record no root
inline constexpr int kLoadBadSignature = 4;  // wrong signature or version

// What the bytes held.
enum class ConfigImageState {
    Unreadable,      // the file cannot be opened or read: nothing to load
    Empty,           // no bytes (a new file): nothing to load
    Short,           // fewer bytes than the signature: nothing to load
    WrongSignature,  // another signature, or a version other than 1
    NoRoot,          // the first record's header is cut short
    NotRoot,         // the first record is not a root: an empty default root
    Read,            // a tree, complete or as far as the bytes went
};

struct CConfigurationRead {
    ConfigImageState m_state = ConfigImageState::Empty;
    int m_code = kLoadDone;
    // The tree to install, its elements loaded but not initialised (no port
    // is open, no item built). Null when the running tree is to stay.
    std::unique_ptr<CLevelRoot> m_root;
    // Records read past and dropped: channels beyond kMaxChannels, and
    // records below a channel or a root below the root, which no writer of
    // the format makes (and which nested deep would cost the stack).
    uint32_t m_dropped = 0;
    // Bytes after the last record read: an unknown kind ended the reading.
    size_t m_unread = 0;
    // A record was cut short, the last one included (which the load code
    // does not tell).
    bool m_cutShort = false;

    // Everything in the bytes is in the tree: nothing cut short, dropped or left.
    bool Intact() const
    {
        return m_state == ConfigImageState::Read && !m_cutShort && m_dropped == 0 && m_unread == 0;
    }
};

// The bytes of the tree below root (run-time elements are not stored).
std::vector<uint8_t> WriteConfigurationImage(const CLevelRoot& root);

// Reads the bytes of a configuration file. Records are read as far as the
// bytes go; a field they cut short keeps its default. A record whose kind is
// not 1..4 ends the reading of its parent's children quietly.
CConfigurationRead ReadConfigurationImage(std::span<const uint8_t> bytes);
