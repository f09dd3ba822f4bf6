// The configuration file loader on arbitrary bytes: whatever a damaged or
// hostile file holds, reading it stays within the bytes, keeps at most 32
// channels, and what it read is written and read back unchanged.
#include "config/ConfigurationImage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // In a buffer of its exact size, so a read past the end is caught.
    const std::vector<uint8_t> bytes(data, data + size);
    const CConfigurationRead read =
        ReadConfigurationImage(std::span<const uint8_t>(bytes.data(), bytes.size()));
    if ((read.m_root != nullptr) !=
        (read.m_state == ConfigImageState::Read || read.m_state == ConfigImageState::NotRoot)) {
        std::abort();
    }
    if (!read.m_root) {
        return 0;
    }
    if (read.m_root->ChannelCount() > kMaxChannels) {
        std::abort();
    }
    const std::vector<uint8_t> image = WriteConfigurationImage(*read.m_root);
    const CConfigurationRead again = ReadConfigurationImage(image);
    if (!again.Intact() || again.m_root->ChannelCount() != read.m_root->ChannelCount() ||
        WriteConfigurationImage(*again.m_root) != image) {
        std::abort();
    }
    return 0;
}
