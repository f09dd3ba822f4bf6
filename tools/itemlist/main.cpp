// vireo-itemlist: the item space of one channel as CSV on standard output.
#include "devicemaps/ItemList.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string_view>

namespace {

constexpr const char* kUsage =
    "usage: vireo-itemlist [--pas-models LIST | --all-pas-models MODEL]\n"
    "Prints the items of one channel as CSV: item ID below the channel, register address,\n"
    "register count, value type code, canonical type, access mode (0 read, 1 write,\n"
    "2 read and write) and access (R, W, RW).\n"
    "  --pas-models LIST      models of PAS_1 .. PAS_24, comma-separated (missing: 0)\n"
    "  --all-pas-models MODEL the same model for all 24 PAS units\n"
    "Model 0 is the reduced PAS variant, any other value the full variant.\n";

}  // namespace

int main(int argc, char** argv)
{
    std::array<std::uint32_t, kPasUnits> models{};
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if ((arg == "--pas-models" || arg == "--all-pas-models") && i + 1 < argc) {
            const std::string_view value(argv[++i]);
            if (arg == "--pas-models") {
                const auto parsed = ParsePasModels(value);
                if (!parsed) {
                    std::fprintf(stderr, "vireo-itemlist: bad PAS model list: %s\n", argv[i]);
                    return 2;
                }
                models = *parsed;
            } else {
                std::uint32_t model = 0;
                const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), model);
                if (ec != std::errc() || end != value.data() + value.size()) {
                    std::fprintf(stderr, "vireo-itemlist: bad PAS model: %s\n", argv[i]);
                    return 2;
                }
                models.fill(model);
            }
            continue;
        }
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::ios::sync_with_stdio(false);
    WriteItemListCsv(std::cout, models);
    std::cout.flush();
    return std::cout ? 0 : 1;
}
