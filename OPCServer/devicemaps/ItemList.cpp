#include "devicemaps/ItemList.h"

#include "devicemaps/ValueCodec.h"

#include <charconv>

std::string_view CanonicalTypeName(std::uint32_t code)
{
    VARTYPE vt = VT_EMPTY;
    if (!ItemVarType(code, &vt)) return {};
    switch (vt) {
        case VT_UI1:
            return "VT_UI1";
        case VT_UI2:
            return "VT_UI2";
        case VT_UI4:
            return "VT_UI4";
        case VT_BOOL:
            return "VT_BOOL";
        default:
            return {};
    }
}

namespace {

std::string_view AccessName(std::uint8_t mode)
{
    switch (mode) {
        case 0:
            return "R";
        case 1:
            return "W";
        case 2:
            return "RW";
        default:
            return "";
    }
}

// Quoted always: one item ID ends in a space, which unquoted CSV readers trim.
void WriteQuoted(std::ostream& out, std::string_view text)
{
    out << '"';
    for (char c : text) {
        if (c == '"') out << '"';
        out << c;
    }
    out << '"';
}

}  // namespace

std::size_t WriteItemListCsv(std::ostream& out, std::span<const std::uint32_t, kPasUnits> pasModels)
{
    out << "item_id,address,registers,code,canonical_type,access_mode,access\n";
    std::size_t count = 0;
    ForEachMapItem(pasModels, [&](const MapItem& item) {
        std::uint32_t registers = 1;
        ItemRegisterCount(item.code, &registers);
        WriteQuoted(out, item.name);
        out << ',' << item.Address() << ',' << registers << ',' << unsigned(item.code) << ','
            << CanonicalTypeName(item.code) << ',' << unsigned(item.access) << ',' << AccessName(item.access)
            << '\n';
        ++count;
    });
    return count;
}

std::optional<std::array<std::uint32_t, kPasUnits>> ParsePasModels(std::string_view list)
{
    std::array<std::uint32_t, kPasUnits> models{};
    std::size_t unit = 0;
    while (true) {
        const std::size_t comma = list.find(',');
        const std::string_view entry = list.substr(0, comma);
        if (unit == kPasUnits) return std::nullopt;
        if (!entry.empty()) {
            std::uint32_t value = 0;
            const auto [end, ec] = std::from_chars(entry.data(), entry.data() + entry.size(), value);
            if (ec != std::errc() || end != entry.data() + entry.size()) return std::nullopt;
            models[unit] = value;
        }
        ++unit;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return models;
}
