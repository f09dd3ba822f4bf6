#pragma once
// The fixed register maps of every device kind of the kit, held as tables.
//
// A device has a name prefix ("PU_%d" with the instance number counted from 1,
// a fixed word, or none), an instance count and blocks. A block has a base and a
// stride (the base of instance i is base + stride * i), an access mode and a list
// of series. A series fills `count` consecutive units of one size from (offset,
// first unit), in ascending bit order, continuing at unit 0 of the next register:
//   bit     code 6 + b   16 per register
//   field   code 27 + f   8 per register (bits 2f, 2f + 1)
//   nibble  code 35 + n   4 per register (bits 4n .. 4n + 3)
//   byte    code 39 + k   2 per register (0 low, 1 high)
//   field5  code 43 + k   6 per two registers (bits 5k .. 5k + 4 of R0 + 65536 * R1)
//   code    `first` is the value type code itself; one item per register
// Item j of a series is named by its pattern: "{n}" is `from` + j / p and "{s}" the
// (j mod p)-th word of `subs`, where p is the number of words in `subs` (1 if none).

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

enum class MapUnit : std::uint8_t { Bit, Field, Nibble, Byte, Field5, Code };

struct MapSeries {
    std::uint16_t offset;
    MapUnit unit;
    std::uint8_t first;
    std::uint16_t count;
    const char* name;
    const char* subs = nullptr;  // words separated by single spaces
    std::uint16_t from = 1;      // "{n}" of the first item
};

// Which PAS variant a block belongs to: the unit's model setting 0 selects the
// reduced variant, any other value the full one.
enum class MapVariant : std::uint8_t { Any, Reduced, Full };

struct MapBlock {
    std::uint16_t base;
    std::uint16_t stride;
    std::uint8_t access;  // 0 read, 1 write, 2 read and write
    MapVariant variant;
    std::span<const MapSeries> series;
};

struct DeviceMap {
    const char* prefix;  // "PU_%d", "MyPin", or "" for items directly under the channel
    std::uint8_t instances;
    std::span<const MapBlock> blocks;
};

inline constexpr std::size_t kPasUnits = 24;

// The entry whose item the builder hands to the channel's device exchange.
inline constexpr std::string_view kWritePasswordItem = "MyPin.Write_Password";

// The device maps in building order: PU, PI, CPI, PIN, the PAS types, PAS, MyPin.
std::span<const DeviceMap> DeviceMaps();

// One entry of a channel's item space.
struct MapItem {
    std::uint16_t base;    // the block's base for this instance
    std::uint16_t offset;  // register offset from the base
    std::uint8_t access;
    std::uint8_t code;
    std::string_view name;  // relative name below the channel
    std::uint16_t Address() const { return static_cast<std::uint16_t>(base + offset); }
};

// Walks every entry of a channel's item space in building order. `pasModels` holds
// the model setting of PAS_1 .. PAS_24.
void ForEachMapItem(std::span<const std::uint32_t, kPasUnits> pasModels,
                    const std::function<void(const MapItem&)>& visit);

// The same for one device map.
void ForEachDeviceItem(const DeviceMap& device, std::span<const std::uint32_t, kPasUnits> pasModels,
                       const std::function<void(const MapItem&)>& visit);
