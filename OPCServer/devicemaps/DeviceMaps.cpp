#include "devicemaps/DeviceMaps.h"

#include <array>
#include <cstdio>
#include <vector>

namespace {

using U = MapUnit;

// ---- Control panel PU: 32 instances, four blocks each -------------------------------

constexpr MapSeries kPuA[] = {
    // base 3499 + 16 i
    {1, U::Field, 0, 20, "Sh_Signal1.shl_{n}"},
    {3, U::Bit, 8, 40, "U_Signal.dev_{n}_{s}", "start job auto_off domage"},
    {6, U::Bit, 0, 8, "PU_Status.{s}",
     "Global_Error err_380 err_220 err_12_24 err_open_box err_net_pu Sh_Error Reload"},
    {6, U::Bit, 8, 20, "U_uprav_{n}"},
    {7, U::Nibble, 3, 1, "PU_PUM_bit"},
    {8, U::Bit, 0, 10, "Const.En_Sound.shl_{n}"},
    {9, U::Bit, 0, 10, "Const.En_Sound.shl_{n}", nullptr, 11},
    {10, U::Bit, 0, 10, "Const.En_Sound.dev_{n}"},
    {11, U::Bit, 0, 20, "U_uprav1_{n}"},
    {12, U::Field, 4, 20, "Sh_State.shl_{n}"},
    {15, U::Bit, 0, 6, "PU_Status2.{s}",
     "psw_fault command_mode shak_control packet1_crc_flag packet2_flag packet3_flag"},
    {15, U::Code, 3, 1, "const_data_contr_num"},
};

constexpr MapSeries kPuB[] = {
    // base 5999 + 18 i
    {1, U::Byte, 0, 20, "Const.Dev[{n}].{s}", "Name Number"},
    {11, U::Bit, 0, 20, "Const.En_shl_{n}"},
    {12, U::Byte, 1, 1, "Const.kernel_version "},  // the device's own name ends in a space
    {13, U::Byte, 0, 1, "Const.kernel_model"},
    {13, U::Nibble, 2, 20, "Const.loop{n}_type"},
};

constexpr MapSeries kPuC[] = {
    // base 7001 + 13 i
    {1, U::Byte, 0, 1, "packet_size1"},
    {1, U::Byte, 1, 20, "loop{n}_signals"},
};

constexpr MapSeries kPuD[] = {
    // base 7449 + 8 i
    {1, U::Byte, 0, 1, "packet_size2"},
    {1, U::Byte, 1, 10, "device{n}_signals"},
};

constexpr MapBlock kPu[] = {
    {3499, 16, 0, MapVariant::Any, kPuA},
    {5999, 18, 0, MapVariant::Any, kPuB},
    {7001, 13, 0, MapVariant::Any, kPuC},
    {7449, 8, 0, MapVariant::Any, kPuD},
};

// ---- Interface unit PI: 8 instances ---------------------------------------------------

constexpr MapSeries kPiSeries[] = {
    // base 4011 + 2 i
    {1, U::Bit, 0, 4, "{s}", "err_12_24 err_220 open_box err_net"},
    {1, U::Nibble, 1, 1, "sw_version"},
    {1, U::Bit, 8, 4, "{s}", "command_mode prog_mode fault err_ups"},
    {2, U::Byte, 0, 2, "{s}", "kernel_version kernel_model"},
};

constexpr MapBlock kPi[] = {{4011, 2, 0, MapVariant::Any, kPiSeries}};

// ---- Interface unit CPI: 8 instances, two blocks --------------------------------------

constexpr MapSeries kCpiMain[] = {
    // base 4075 + 27 i
    {1, U::Bit, 0, 8, "Cpi_state.{s}",
     "err_12_24 err_220 open_box err_rs485 fault psw_fault command_mode prog_mode"},
    {1, U::Bit, 8, 64, "Cpi_control_{n}"},
    {5, U::Bit, 8, 64, "Cpi_control1_{n}"},
    {9, U::Bit, 8, 256, "group{n}_states{s}", "1 2 3 4"},
    {25, U::Byte, 1, 1, "kernel_version"},
    {26, U::Byte, 0, 1, "kernel_model"},
    {26, U::Bit, 8, 1, "add_packet1_flag"},
    {26, U::Code, 5, 1, "cpi_type"},
    {26, U::Bit, 12, 2, "{s}", "synchro_time_on synchro_time_error"},
};

constexpr MapSeries kCpiCrc[] = {
    // base 7417 + 4 i
    {26, U::Code, 2, 1, "names_crc"},
};

constexpr MapBlock kCpi[] = {
    {4075, 27, 0, MapVariant::Any, kCpiMain},
    {7417, 4, 0, MapVariant::Any, kCpiCrc},
};

// ---- Interface unit PIN: 4 instances --------------------------------------------------

constexpr MapSeries kPinSeries[] = {
    // base 4291 + 18 i
    {1, U::Bit, 0, 5, "Pin_State.{s}", "err_12_24 err_net err_modbus command_mode prog_mode"},
    {1, U::Bit, 8, 256, "Pin_Control_{n}"},
    {17, U::Byte, 1, 1, "Pin_State.kernel_version"},
    {18, U::Byte, 0, 1, "Pin_State.kernel_model"},
};

constexpr MapBlock kPin[] = {{4291, 18, 0, MapVariant::Any, kPinSeries}};

// ---- PAS types, directly under the channel --------------------------------------------

constexpr MapSeries kPasTypeSeries[] = {
    // registers 3200 .. 3211
    {1, U::Byte, 0, 24, "Type_PAS_{n}"},
};

constexpr MapBlock kPasTypes[] = {{3199, 0, 0, MapVariant::Any, kPasTypeSeries}};

// ---- PAS units: 24 instances, status block by model -----------------------------------

constexpr MapSeries kPasFullStatus[] = {
    // base 4363 + 28 i
    {1, U::Bit, 0, 1, "pas_status.fault"},
    {1, U::Bit, 2, 2, "pas_status.{s}", "err_pwr1 err_pwr2"},
    {1, U::Bit, 4, 4, "pas_status.{s}", "open_box err_rs485 c2_loop_error reset_pas"},
    {1, U::Bit, 9, 7, "pas_status.{s}",
     "pasType loopA_kz loopB_kz openPlus openMinus param_crc_error err_ups"},
    {2, U::Bit, 0, 1, "pas_status.err_loop_ups"},
    {2, U::Byte, 1, 1, "kernel1_version"},
    {3, U::Byte, 0, 2, "{s}", "kernel1_model kernel2_version"},
    {4, U::Byte, 0, 1, "kernel2_model"},
    {4, U::Code, 4, 1, "crc_param_const"},
    {6, U::Code, 4, 1, "crc_sensor_state"},
    {8, U::Byte, 1, 40, "state_zone{n}"},
};

constexpr MapSeries kPasReducedStatus[] = {
    // base 4363 + 28 i
    {1, U::Bit, 0, 10, "pas_status.{s}",
     "fault psw_fault err_220 err_12_24 open_box err_rs485 loop_error reset_pas command_mode pasType"},
    {2, U::Byte, 0, 4, "{s}", "kernel1_version kernel1_model kernel2_version kernel2_model"},
    {4, U::Code, 1, 6, "{s}",
     "crc_zones crc_sensors crc_name_zones crc_name_devices crc_ansensor_state crc_dissensor_state"},
    {13, U::Field5, 0, 40, "state_zone{n}"},  // six zones per register pair, 13 .. 25
};

constexpr MapSeries kPasStateSensors[] = {{1, U::Byte, 0, 318, "state_sensor{n}"}};  // 31999 + 159 i
constexpr MapSeries kPasTypeSensors[] = {{1, U::Byte, 0, 318, "type_sensor{n}"}};    // 39999 + 159 i
constexpr MapSeries kPasZoneSensors[] = {{1, U::Byte, 0, 318, "zone_sensor{n}"}};    // 43815 + 159 i
constexpr MapSeries kPasSoundDevices[] = {{1, U::Bit, 1, 255, "sound_device{n}"}};   // 53751 + 16 i

constexpr MapBlock kPas[] = {
    {4363, 28, 0, MapVariant::Full, kPasFullStatus},    {4363, 28, 0, MapVariant::Reduced, kPasReducedStatus},
    {31999, 159, 0, MapVariant::Any, kPasStateSensors}, {39999, 159, 0, MapVariant::Any, kPasTypeSensors},
    {43815, 159, 0, MapVariant::Full, kPasZoneSensors}, {53751, 16, 0, MapVariant::Full, kPasSoundDevices},
};

// ---- MyPin: one instance, the only writable items ------------------------------------

constexpr MapSeries kMyPinStatus[] = {
    // registers 500 .. 517
    {1, U::Bit, 0, 8, "State.{s}",
     "err_12_24 err_net err_modbus command_mode prog_mode pi_error open_box err_ext_power"},
    {1, U::Nibble, 2, 2, "Set.{s}", "AddrPin PowerContr"},
    {2, U::Nibble, 0, 2, "VerPin.{s}", "low high"},
    {2, U::Bit, 8, 5, "NetErr.{s}", "no_net dubl_addr inposs_mark mark_conflict no_conn_node"},
    {3, U::Bit, 0, 76, "Connect.log_{n}"},
    {8, U::Bit, 0, 76, "Error.log_{n}"},
    {17, U::Byte, 0, 2, "{s}", "kernel_version model_version"},
    {18, U::Bit, 0, 1, "pasloop_flag"},
};

constexpr MapSeries kMyPinCommands[] = {
    // registers 2000 .. 2075
    {1, U::Byte, 0, 152, "Pribor_Comm{n}.{s}", "Command Device"},
};

constexpr MapSeries kMyPinControl[] = {
    // registers 2500 .. 2515
    {1, U::Bit, 0, 256, "Pin_Control_{n}"},
};

constexpr MapSeries kMyPinPassword[] = {
    // registers 2600, 2601
    {1, U::Code, 2, 1, "Write_Password"},
};

constexpr MapBlock kMyPin[] = {
    {499, 0, 0, MapVariant::Any, kMyPinStatus},
    {1999, 0, 2, MapVariant::Any, kMyPinCommands},
    {2499, 0, 2, MapVariant::Any, kMyPinControl},
    {2599, 0, 1, MapVariant::Any, kMyPinPassword},
};

constexpr DeviceMap kDevices[] = {
    {"PU_%d", 32, kPu},   {"PI_%d", 8, kPi},  {"CPI_%d", 8, kCpi},
    {"PIN_%d", 4, kPin},  {"", 1, kPasTypes}, {"PAS_%d", static_cast<std::uint8_t>(kPasUnits), kPas},
    {"MyPin", 1, kMyPin},
};

// Units per register group, registers per group and the code of unit 0.
struct UnitShape {
    std::uint8_t perGroup;
    std::uint8_t groupRegisters;
    std::uint8_t firstCode;
};

constexpr UnitShape Shape(MapUnit unit)
{
    switch (unit) {
        case MapUnit::Bit:
            return {16, 1, 6};
        case MapUnit::Field:
            return {8, 1, 27};
        case MapUnit::Nibble:
            return {4, 1, 35};
        case MapUnit::Byte:
            return {2, 1, 39};
        case MapUnit::Field5:
            return {6, 2, 43};
        case MapUnit::Code:
            return {1, 1, 0};
    }
    return {1, 1, 0};
}

std::vector<std::string_view> Words(const char* text)
{
    std::vector<std::string_view> words;
    if (text == nullptr) return words;
    std::string_view rest(text);
    while (!rest.empty()) {
        const std::size_t space = rest.find(' ');
        words.push_back(rest.substr(0, space));
        if (space == std::string_view::npos) break;
        rest.remove_prefix(space + 1);
    }
    return words;
}

void AppendName(std::string& out, std::string_view pattern, unsigned number, std::string_view word)
{
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '{' && i + 2 < pattern.size() && pattern[i + 2] == '}') {
            if (pattern[i + 1] == 'n') {
                out += std::to_string(number);
                i += 2;
                continue;
            }
            if (pattern[i + 1] == 's') {
                out += word;
                i += 2;
                continue;
            }
        }
        out += pattern[i];
    }
}

}  // namespace

std::span<const DeviceMap> DeviceMaps()
{
    return kDevices;
}

void ForEachDeviceItem(const DeviceMap& device, std::span<const std::uint32_t, kPasUnits> pasModels,
                       const std::function<void(const MapItem&)>& visit)
{
    std::string name;
    for (unsigned i = 0; i < device.instances; ++i) {
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, device.prefix, i + 1);
        const MapVariant variant =
            i < kPasUnits && pasModels[i] != 0 ? MapVariant::Full : MapVariant::Reduced;
        for (const MapBlock& block : device.blocks) {
            if (block.variant != MapVariant::Any && block.variant != variant) continue;
            const auto base = static_cast<std::uint16_t>(block.base + block.stride * i);
            for (const MapSeries& series : block.series) {
                const UnitShape shape = Shape(series.unit);
                const std::vector<std::string_view> words = Words(series.subs);
                const unsigned per = words.empty() ? 1u : static_cast<unsigned>(words.size());
                for (unsigned j = 0; j < series.count; ++j) {
                    const unsigned unit = series.unit == MapUnit::Code ? j : series.first + j;
                    MapItem item;
                    item.base = base;
                    item.offset = static_cast<std::uint16_t>(series.offset +
                                                             unit / shape.perGroup * shape.groupRegisters);
                    item.access = block.access;
                    item.code = series.unit == MapUnit::Code
                                    ? series.first
                                    : static_cast<std::uint8_t>(shape.firstCode + unit % shape.perGroup);
                    name.assign(prefix);
                    if (!name.empty()) name += '.';
                    AppendName(name, series.name, series.from + j / per, words.empty() ? "" : words[j % per]);
                    item.name = name;
                    visit(item);
                }
            }
        }
    }
}

void ForEachMapItem(std::span<const std::uint32_t, kPasUnits> pasModels,
                    const std::function<void(const MapItem&)>& visit)
{
    for (const DeviceMap& device : kDevices) ForEachDeviceItem(device, pasModels, visit);
}
