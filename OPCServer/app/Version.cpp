#include "app/Version.h"

namespace {
constexpr uint32_t kMajor = 3, kMinor = 0, kBuild = 0, kRevision = 0;
}

const VS_FIXEDFILEINFO& ProgramVersion()
{
    static const VS_FIXEDFILEINFO info = {
        0xFEEF04BDu,  // signature of a fixed version record
        0x00010000u,  // record version 1.0
        (kMajor << 16) | kMinor,
        (kBuild << 16) | kRevision,
        (kMajor << 16) | kMinor,
        (kBuild << 16) | kRevision,
        0x0000003Fu,  // flags mask
        0u,           // flags
        0x00000000u,  // OS: unknown (Linux)
        0x00000001u,  // type: application
        0u,
        0u,
        0u,
    };
    return info;
}
