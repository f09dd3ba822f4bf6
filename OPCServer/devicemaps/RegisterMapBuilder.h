#pragma once
// Builds a channel's item space from the fixed device maps: one tag per map
// entry, created below the channel and set up with its register address,
// access mode and value type code.

#include <cstdint>
#include <string_view>

class CLevelChannel;
class CLevelTag;

class CRegisterMapBuilder {
   public:
    // Runs every device map in building order on a channel whose item space is
    // empty, with the channel's PAS model settings, and hands the channel its
    // write password item. Answers 0 for a null channel, else 1.
    int BuildChannelItems(CLevelChannel* channel);

    // Registers are (offset + current base) as 16 bits.
    void SetBase(std::uint16_t base) { m_base = base; }
    std::uint16_t Base() const { return m_base; }

    // The element under which item paths are resolved; BuildChannelItems sets it
    // for the build and clears it afterwards.
    void SetChannel(CLevelChannel* channel) { m_channel = channel; }
    CLevelChannel* Channel() const { return m_channel; }

    // Creates the tag at the dotted path below the current channel and sets it
    // up; answers it, or null when there is no channel or the path makes no tag.
    CLevelTag* DefineItem(std::uint16_t offset, std::uint8_t accessMode, std::uint8_t code,
                          std::string_view name);
    // The same with the name joined from parts with ".".
    CLevelTag* DefineItem(std::uint16_t offset, std::uint8_t accessMode, std::uint8_t code,
                          std::string_view a, std::string_view b);
    CLevelTag* DefineItem(std::uint16_t offset, std::uint8_t accessMode, std::uint8_t code,
                          std::string_view a, std::string_view b, std::string_view c);
    CLevelTag* DefineItem(std::uint16_t offset, std::uint8_t accessMode, std::uint8_t code,
                          std::string_view a, std::string_view b, std::string_view c, std::string_view d);

   private:
    std::uint16_t m_base = 0;
    CLevelChannel* m_channel = nullptr;
};
