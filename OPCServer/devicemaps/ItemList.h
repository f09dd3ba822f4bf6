#pragma once
// The item space of a channel as CSV, for integrators who build their tag lists
// from it: item ID below the channel, register address, register count, value
// type code, canonical type, access mode.

#include "devicemaps/DeviceMaps.h"

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string_view>

// "VT_UI2", "VT_UI4", "VT_UI1", "VT_BOOL"; empty for an undefined code.
std::string_view CanonicalTypeName(std::uint32_t code);

// Writes a header line and one line per item in building order; answers the item count.
std::size_t WriteItemListCsv(std::ostream& out, std::span<const std::uint32_t, kPasUnits> pasModels);

// Parses PAS model settings: up to 24 unsigned numbers separated by ",", in the
// order PAS_1 .. PAS_24; units not listed keep model 0. Empty entries are 0.
// No value for a malformed list.
std::optional<std::array<std::uint32_t, kPasUnits>> ParsePasModels(std::string_view list);
