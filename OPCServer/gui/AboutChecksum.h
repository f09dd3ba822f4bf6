#pragma once
#include "platform/Registry.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The About box's fingerprint of the installation: MD5 over the MD5 digests
// of the toolkit library in the program's folder and of the server
// executable registered for COM.

inline constexpr const char* kToolkitLibraryName = "libZellDAServer.so";
// The longest registered path that is read (bytes); a longer one is unreadable.
inline constexpr size_t kLocalServerValueMaxBytes = 2048;

using Md5Digest = std::array<uint8_t, 16>;

// The MD5 digest of a file read in blocks of 1024 bytes; none when it cannot
// be opened or read.
std::optional<Md5Digest> FileMd5(const std::string& path);

// The files in the order they are hashed: the toolkit library in the program
// folder; then, when the key CLSID\{clsid}\LocalServer32 exists, its
// default value, or the library a second time when that cannot be read.
std::vector<std::string> ChecksumFiles(const std::string& programFolder, const CRegistry& registry,
                                       std::string_view clsidText);

// "0x" and 32 lower-case hex digits: MD5 over the files' digests, 16 zero
// bytes for a file that cannot be read. When the digest itself fails, the
// failing call and OpenSSL's error code instead.
std::string ChecksumText(const std::vector<std::string>& files);
