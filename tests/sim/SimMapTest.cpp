// The simulator's registers seen through the server's own device map tables
// and value codec: every item of every map lies in a register the simulator
// answers, writable exactly when the map says so, and decodes to the value
// documented for --static.
#include "SimBank.h"
#include "SimRegisters.h"
#include "devicemaps/DeviceMaps.h"
#include "devicemaps/ValueCodec.h"
#include "polling/Crc16.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <string>

using namespace VireoSim;

namespace {

using Models = std::array<uint32_t, kPasUnits>;

uint32_t Crc32Text(const std::string& text)
{
    return Crc32(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}
uint16_t Crc16Text(const std::string& text)
{
    return ModbusCrc16(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

bool Starts(const std::string& s, const char* prefix)
{
    return s.rfind(prefix, 0) == 0;
}

// The --static value of an item by its relative name; nullopt for a name this
// table does not know (which fails the test: every item is documented).
std::optional<uint32_t> Expected(const std::string& name, const Models& models)
{
    int n = 0, k = 0, j = 0;
    char word[32] = {};
    auto is = [&](const char* format, auto... args) {
        return std::sscanf(name.c_str(), format, args...) == int(sizeof...(args));
    };
    auto bit = [](uint32_t v, int b) { return (v >> b) & 1u; };

    if (is("Type_PAS_%d", &n)) return PasTypeOfModel(models[size_t(n - 1)]);
    if (Starts(name, "PU_")) {
        std::string rest = name.substr(name.find('.') + 1);
        std::sscanf(name.c_str(), "PU_%d", &n);
        static const char* const kStatus[] = {"Global_Error", "err_380",    "err_220",  "err_12_24",
                                              "err_open_box", "err_net_pu", "Sh_Error", "Reload"};
        static const char* const kSignal[] = {"start", "job", "auto_off", "domage"};
        const char* r = rest.c_str();
        if (std::sscanf(r, "Sh_Signal1.shl_%d", &k) == 1) return StaticLoopSignal(n, k);
        if (std::sscanf(r, "Sh_State.shl_%d", &k) == 1) return StaticLoopState(n, k);
        if (std::sscanf(r, "U_Signal.dev_%d_%31s", &k, word) == 2) {
            for (int b = 0; b < 4; ++b) {
                if (std::string(word) == kSignal[b]) return bit(StaticDeviceSignal(n, k), b);
            }
            return std::nullopt;
        }
        for (int b = 0; b < 8; ++b) {
            if (rest == std::string("PU_Status.") + kStatus[b]) return bit(StaticPuStatus(n), b);
        }
        if (Starts(rest, "U_uprav") || Starts(rest, "PU_Status2.")) return 0;
        if (rest == "PU_PUM_bit") return StaticPuPum(n);
        if (Starts(rest, "Const.En_Sound.") || Starts(rest, "Const.En_shl_")) return 1;
        if (rest == "const_data_contr_num") return n;
        if (std::sscanf(r, "Const.Dev[%d].%31s", &k, word) == 2) {
            return std::string(word) == "Name" ? StaticDevName(k) : StaticDevNumber(k);
        }
        if (rest == "Const.kernel_version ") return kPuKernelVersion;
        if (rest == "Const.kernel_model") return kPuKernelModel;
        if (std::sscanf(r, "Const.loop%d_type", &k) == 1) return StaticLoopType(k);
        if (rest == "packet_size1") return kPuPacketSize1;
        if (rest == "packet_size2") return kPuPacketSize2;
        if (std::sscanf(r, "loop%d_signals", &k) == 1) return StaticLoopSignals(k);
        if (std::sscanf(r, "device%d_signals", &k) == 1) return StaticDeviceSignals(k);
        return std::nullopt;
    }
    if (is("PI_%d.%31s", &n, word)) {
        std::string w = word;
        if (w == "sw_version") return kPiSwVersion;
        if (w == "kernel_version") return kPiKernelVersion;
        if (w == "kernel_model") return kPiKernelModel;
        for (const char* zero : {"err_12_24", "err_220", "open_box", "err_net", "command_mode", "prog_mode",
                                 "fault", "err_ups"}) {
            if (w == zero) return 0;
        }
        return std::nullopt;
    }
    if (is("CPI_%d.%31s", &n, word)) {
        std::string w = word;
        if (Starts(w, "Cpi_state.") || Starts(w, "Cpi_control") || w == "synchro_time_error") return 0;
        if (std::sscanf(word, "group%d_states%d", &k, &j) == 2) return bit(StaticGroupStates(k), j - 1);
        if (w == "kernel_version") return kCpiKernelVersion;
        if (w == "kernel_model") return kCpiKernelModel;
        if (w == "add_packet1_flag" || w == "synchro_time_on") return 1;
        if (w == "cpi_type") return StaticCpiType(n);
        if (w == "names_crc") return Crc32Text("CPI_" + std::to_string(n));
        return std::nullopt;
    }
    if (is("PIN_%d.%31s", &n, word)) {
        std::string w = word;
        if (w == "Pin_State.kernel_version") return kPinKernelVersion;
        if (w == "Pin_State.kernel_model") return kPinKernelModel;
        if (Starts(w, "Pin_State.") || Starts(w, "Pin_Control_")) return 0;
        return std::nullopt;
    }
    if (is("PAS_%d.%31s", &n, word)) {
        std::string w = word;
        bool full = models[size_t(n - 1)] != 0;
        uint8_t states[kPasSensors], types[kPasSensors], zones[kPasZones];
        for (int s = 1; s <= kPasSensors; ++s) {
            states[s - 1] = StaticSensorState(n, s);
            types[s - 1] = StaticSensorType(s);
        }
        for (int z = 1; z <= kPasZones; ++z) zones[z - 1] = StaticZoneState(n, z);
        if (std::sscanf(word, "state_sensor%d", &k) == 1) return StaticSensorState(n, k);
        if (std::sscanf(word, "type_sensor%d", &k) == 1) return StaticSensorType(k);
        if (std::sscanf(word, "zone_sensor%d", &k) == 1) return StaticSensorZone(k);
        if (std::sscanf(word, "sound_device%d", &k) == 1) return StaticSounding(k) ? 1 : 0;
        if (std::sscanf(word, "state_zone%d", &k) == 1) return StaticZoneState(n, k);
        if (w == "pas_status.pasType") return full ? 1 : 0;
        if (Starts(w, "pas_status.")) return 0;
        if (w == "kernel1_version") return full ? kPasFullKernel1Version : kPasReducedKernel1Version;
        if (w == "kernel2_version") return full ? kPasFullKernel2Version : kPasReducedKernel2Version;
        if (w == "kernel1_model") return kPasKernel1Model;
        if (w == "kernel2_model") return kPasKernel2Model;
        if (w == "crc_param_const") return Crc32(types, kPasSensors);
        if (w == "crc_sensor_state") return Crc32(states, kPasSensors);
        if (w == "crc_zones") return ModbusCrc16(zones, kPasZones);
        if (w == "crc_sensors") return ModbusCrc16(types, kPasSensors);
        if (w == "crc_name_zones") return Crc16Text("PAS_" + std::to_string(n) + " zones");
        if (w == "crc_name_devices") return Crc16Text("PAS_" + std::to_string(n) + " devices");
        if (w == "crc_ansensor_state") return ModbusCrc16(states, 159);
        if (w == "crc_dissensor_state") return ModbusCrc16(states + 159, 159);
        return std::nullopt;
    }
    if (Starts(name, "MyPin.")) {
        std::string w = name.substr(6);
        if (std::sscanf(w.c_str(), "Connect.log_%d", &k) == 1) return StaticConnected(k) ? 1 : 0;
        if (std::sscanf(w.c_str(), "Error.log_%d", &k) == 1) return StaticDeviceError(k) ? 1 : 0;
        if (w == "Set.AddrPin") return kDefaultSlave;
        if (w == "Set.PowerContr") return kMyPinPowerContr;
        if (w == "VerPin.low") return kMyPinVerLow;
        if (w == "VerPin.high") return kMyPinVerHigh;
        if (w == "kernel_version") return kMyPinKernelVersion;
        if (w == "model_version") return kMyPinModelVersion;
        if (w == "pasloop_flag") return kMyPinPasLoopFlag ? 1 : 0;
        if (Starts(w, "State.") || Starts(w, "NetErr.") || Starts(w, "Pribor_Comm") ||
            Starts(w, "Pin_Control_") || w == "Write_Password") {
            return 0;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

uint32_t Number(const VARIANT& v)
{
    switch (v.vt) {
        case VT_UI1:
            return v.bVal;
        case VT_UI2:
            return v.uiVal;
        case VT_UI4:
            return v.ulVal;
        case VT_BOOL:
            return v.boolVal != 0 ? 1 : 0;
        default:
            return 0xFFFFFFFFu;
    }
}

void CheckEveryItem(const Models& models)
{
    CSimBank bank(kDefaultSlave, models);
    // Registers of the CPI names_crc block that block D of PU_1..3 shares: one
    // value, the CPI one.
    std::set<uint32_t> shared;
    for (int n = 1; n <= kCpiCount; ++n) {
        shared.insert(Cpi2(n, 26));
        shared.insert(Cpi2(n, 27));
    }
    size_t items = 0, checked = 0;
    ForEachMapItem(models, [&](const MapItem& item) {
        ++items;
        std::string name(item.name);
        uint32_t registers = 1;
        ASSERT_TRUE(ItemRegisterCount(item.code, &registers)) << name;
        for (uint32_t r = 0; r < registers; ++r) {
            ASSERT_TRUE(bank.IsMapped(item.Address() + r)) << name << " register " << item.Address() + r;
        }
        EXPECT_EQ(bank.IsWritable(item.Address()), item.access != 0) << name;
        std::optional<uint32_t> want = Expected(name, models);
        ASSERT_TRUE(want.has_value()) << "no documented value for " << name;
        bool overlapped = Starts(name, "PU_") && shared.count(item.Address()) != 0 &&
                          name.find("signals") != std::string::npos;
        if (overlapped) return;
        uint8_t wire[6] = {};
        for (uint32_t r = 0; r < registers; ++r) {
            uint16_t v = bank.Get(item.Address() + r);
            wire[2 * r] = uint8_t(v >> 8);
            wire[2 * r + 1] = uint8_t(v);
        }
        VARIANT value;
        VariantInit(&value);
        DecodeItemValue(0, nullptr, item.code, wire, &value);
        EXPECT_EQ(Number(value), *want) << name << " at " << item.Address() << " code " << int(item.code);
        ++checked;
    });
    // Full variant everywhere: 43,737 items; all reduced: 29,961.
    EXPECT_GT(items, 29960u);
    EXPECT_GT(checked, items - 20);
}

TEST(SimMaps, EveryItemOfEveryMapReadsItsDocumentedValueReducedUnits)
{
    Models models{};
    CheckEveryItem(models);
}

TEST(SimMaps, EveryItemOfEveryMapReadsItsDocumentedValueFullAndMixedUnits)
{
    Models full;
    full.fill(1);
    CheckEveryItem(full);
    Models mixed{};
    for (size_t i = 0; i < mixed.size(); i += 2) mixed[i] = 1;
    CheckEveryItem(mixed);
}

TEST(SimMaps, RegistersOutsideEveryItemAreFewAndInsideTheBlocks)
{
    // The blocks cover whole device blocks; registers that no item of either
    // PAS variant uses are the reserved ones between fields.
    Models full, reduced{};
    full.fill(1);
    std::set<uint32_t> used;
    for (const Models* m : {&full, &reduced}) {
        ForEachMapItem(*m, [&](const MapItem& item) {
            uint32_t registers = 1;
            ItemRegisterCount(item.code, &registers);
            for (uint32_t r = 0; r < registers; ++r) used.insert(item.Address() + r);
        });
    }
    CSimBank bank(kDefaultSlave, full);
    size_t mapped = 0, unused = 0;
    for (uint32_t a = 0; a < CSimBank::kRegisterCount; ++a) {
        if (!bank.IsMapped(a)) {
            EXPECT_EQ(used.count(a), 0u) << a;
            continue;
        }
        ++mapped;
        if (used.count(a) == 0) ++unused;
    }
    EXPECT_EQ(mapped - unused, used.size());
    // MyPin 512..515, PU block C offsets 12-13 and D 7-8, CPI offset 27, PU_1..32 A/B none.
    EXPECT_LT(unused, 200u);
    EXPECT_TRUE(bank.IsMapped(512));
    EXPECT_EQ(used.count(512), 0u);
}

}  // namespace

TEST(SimMap, ChurnGivesMostReadRegistersANewValueEveryTickAndLeavesCommandsAndPinsAlone)
{
    Models full;
    full.fill(1);
    CSimBank bank(kDefaultSlave, full);
    bank.SetChurn(true);
    bank.Set(kMyPinStatusFirst, 77);
    bank.Fill(1);
    std::vector<uint16_t> before(CSimBank::kRegisterCount);
    for (uint32_t a = 0; a < CSimBank::kRegisterCount; ++a) before[a] = bank.Get(a);
    bank.Fill(2);
    size_t read = 0, changed = 0;
    for (uint32_t a = 0; a < CSimBank::kRegisterCount; ++a) {
        if (!bank.IsMapped(a)) continue;
        if (bank.IsWritable(a)) {
            EXPECT_EQ(bank.Get(a), before[a]) << a;
            continue;
        }
        ++read;
        if (bank.Get(a) != before[a]) ++changed;
    }
    EXPECT_EQ(bank.Get(kMyPinStatusFirst), 77);
    EXPECT_GT(changed * 100, read * 99);
}
