#include "devicemaps/DeviceMaps.h"
#include "devicemaps/ValueCodec.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

struct Item {
    std::string name;
    std::uint16_t address;
    std::uint8_t code;
    std::uint8_t access;
};

using Models = std::array<std::uint32_t, kPasUnits>;

std::vector<Item> Collect(const Models& models)
{
    std::vector<Item> items;
    ForEachMapItem(models, [&](const MapItem& m) {
        items.push_back({std::string(m.name), m.Address(), m.code, m.access});
    });
    return items;
}

std::map<std::string, Item> ByName(const std::vector<Item>& items)
{
    std::map<std::string, Item> map;
    for (const Item& i : items) map.emplace(i.name, i);
    return map;
}

std::string Device(const std::string& name)
{
    const auto dot = name.find('.');
    return dot == std::string::npos ? std::string("(channel)") : name.substr(0, dot);
}

Models AllModels(std::uint32_t m)
{
    Models models;
    models.fill(m);
    return models;
}

// Item counts by hand from the device tables:
//   PU  block A: 20 shl + 40 U_Signal + 8 PU_Status + 20 U_uprav + 1 PU_PUM_bit
//               + 10 + 10 + 10 En_Sound + 20 U_uprav1 + 20 Sh_State + 6 PU_Status2
//               + 1 const_data_contr_num = 166
//       block B: 20 Dev[n] Name/Number + 20 En_shl + kernel_version + kernel_model + 20 loop types = 62
//       block C: packet_size1 + 20 loop signals = 21;  block D: packet_size2 + 10 = 11  -> 260
//   PI  4 + sw_version + 4 + 2 = 11
//   CPI 8 + 64 + 64 + 256 + kernel_version + kernel_model + add_packet1_flag + cpi_type
//       + 2 synchro + names_crc = 399
//   PIN 5 + 256 + 2 = 263
//   MyPin status 8 + 2 + 2 + 5 + 76 + 76 + 2 + 1 = 172, commands 2 x 76 = 152,
//       control 256, password 1 -> 581
//   Types 24 under the channel
//   PAS per unit: sensors 2 x 318 = 636; full status 1+2+4+7 + 1 + 1 + 2 + 1 + 2 crc + 40 = 61,
//       zone_sensor 318, sound_device 255 -> 634; reduced 10 + 4 + 6 + 36 + 4 = 60
//   fixed part: 32*260 + 8*11 + 8*399 + 4*263 + 581 + 24 + 24*636
//             = 8320 + 88 + 3192 + 1052 + 581 + 24 + 15264 = 28521
//   all reduced: 28521 + 24*60 = 29961;  all full: 28521 + 24*634 = 43737
constexpr std::size_t kFixedItems = 28521;
constexpr std::size_t kReducedStatus = 60;
constexpr std::size_t kFullExtra = 634;

}  // namespace

TEST(DeviceMaps, ChannelItemCounts)
{
    EXPECT_EQ(Collect(AllModels(0)).size(), 29961u);
    EXPECT_EQ(Collect(AllModels(1)).size(), 43737u);
    EXPECT_EQ(Collect(AllModels(0xFFFFFFFFu)).size(), 43737u) << "any non-zero model is the full variant";
    Models mixed = AllModels(0);
    for (std::size_t i = 0; i < kPasUnits; i += 3) mixed[i] = 7;  // 8 full units, 16 reduced
    EXPECT_EQ(Collect(mixed).size(), kFixedItems + 8 * kFullExtra + 16 * kReducedStatus);
}

TEST(DeviceMaps, PerDeviceCounts)
{
    Models models = AllModels(0);
    models[1] = 1;  // PAS_2 full, the rest reduced
    std::map<std::string, std::size_t> counts;
    for (const Item& i : Collect(models)) ++counts[Device(i.name)];

    for (int n = 1; n <= 32; ++n) EXPECT_EQ(counts["PU_" + std::to_string(n)], 260u) << n;
    for (int n = 1; n <= 8; ++n) EXPECT_EQ(counts["PI_" + std::to_string(n)], 11u) << n;
    for (int n = 1; n <= 8; ++n) EXPECT_EQ(counts["CPI_" + std::to_string(n)], 399u) << n;
    for (int n = 1; n <= 4; ++n) EXPECT_EQ(counts["PIN_" + std::to_string(n)], 263u) << n;
    for (int n = 1; n <= 24; ++n)
        EXPECT_EQ(counts["PAS_" + std::to_string(n)], n == 2 ? 636u + 634u : 636u + 60u) << n;
    EXPECT_EQ(counts["MyPin"], 581u);
    EXPECT_EQ(counts["(channel)"], 24u);
    // Nothing else: 32 + 8 + 8 + 4 + 24 + MyPin + the channel's own items.
    EXPECT_EQ(counts.size(), 32u + 8 + 8 + 4 + 24 + 1 + 1);
    EXPECT_EQ(counts.count("PU_33") + counts.count("PI_9") + counts.count("PAS_25") + counts.count("PU_0"),
              0u);
}

TEST(DeviceMaps, EdgeCaseAddressesCodesAndAccess)
{
    Models models = AllModels(0);
    models[0] = 1;  // PAS_1 full, PAS_2 reduced
    const auto items = ByName(Collect(models));
    struct Case {
        const char* name;
        std::uint16_t address;
        std::uint8_t code;
        std::uint8_t access;
    };
    const Case cases[] = {
        {"PU_1.Sh_Signal1.shl_1", 3500, 27, 0},
        {"PU_1.Sh_Signal1.shl_9", 3501, 27, 0},  // field 0 of the second register
        {"PU_2.Sh_Signal1.shl_1", 3516, 27, 0},
        {"PU_1.U_Signal.dev_1_start", 3502, 14, 0},   // bit 8
        {"PU_1.U_Signal.dev_2_domage", 3502, 21, 0},  // bit 15
        {"PU_1.U_Signal.dev_3_start", 3503, 6, 0},    // bit 0 of the next register
        {"PU_1.PU_Status.Reload", 3505, 13, 0},
        {"PU_1.U_uprav_20", 3506, 17, 0},  // 8 bits in 3505, then bits 0..11 of 3506
        {"PU_1.PU_PUM_bit", 3506, 38, 0},
        {"PU_1.Const.En_Sound.shl_11", 3508, 6, 0},
        {"PU_1.Sh_State.shl_1", 3511, 31, 0},  // field 4
        {"PU_1.Sh_State.shl_20", 3513, 34, 0},
        {"PU_1.const_data_contr_num", 3514, 3, 0},
        {"PU_32.Sh_Signal1.shl_1", 3996, 27, 0},  // 3499 + 16 * 31 + 1
        {"PU_1.Const.Dev[1].Name", 6000, 39, 0},
        {"PU_1.Const.Dev[10].Number", 6009, 40, 0},
        {"PU_1.Const.kernel_version ", 6011, 40, 0},
        {"PU_1.Const.loop20_type", 6017, 36, 0},  // nibbles 2, 3 of 6012, four each in 6013..6016, then 0, 1
        {"PU_2.Const.loop1_type", 6030, 37, 0},
        {"PU_1.loop20_signals", 7012, 39, 0},     // unit 21 of bytes from 7002: register 7012, low byte
        {"PU_32.device10_signals", 7703, 39, 0},  // 7449 + 8 * 31 + 6, low byte
        {"PI_1.sw_version", 4012, 36, 0},
        {"PI_8.kernel_model", 4027, 40, 0},
        {"CPI_1.Cpi_control_64", 4080, 13, 0},
        {"CPI_1.group64_states4", 4100, 13, 0},
        {"CPI_1.cpi_type", 4101, 5, 0},
        {"CPI_1.synchro_time_error", 4101, 19, 0},
        {"CPI_8.names_crc", 7471, 2, 0},       // 7417 + 4 * 7 + 26: registers 7471, 7472
        {"PIN_2.Pin_Control_1", 4310, 14, 0},  // 4291 + 18 + 1, bit 8
        {"PIN_4.Pin_Control_256", 4362, 13, 0},
        {"PIN_4.Pin_State.kernel_model", 4363, 39, 0},
        {"Type_PAS_1", 3200, 39, 0},
        {"Type_PAS_24", 3211, 40, 0},
        {"PAS_1.pas_status.pasType", 4364, 15, 0},  // full: bit 9
        {"PAS_1.crc_param_const", 4367, 4, 0},
        {"PAS_1.state_zone1", 4371, 40, 0},  // full: a byte
        {"PAS_1.state_zone40", 4391, 39, 0},
        {"PAS_1.zone_sensor1", 43816, 39, 0},
        {"PAS_1.sound_device1", 53752, 7, 0},
        {"PAS_1.sound_device255", 53767, 21, 0},
        {"PAS_1.state_sensor1", 32000, 39, 0},
        {"PAS_1.state_sensor318", 32158, 40, 0},
        {"PAS_2.state_sensor1", 32159, 39, 0},
        {"PAS_2.type_sensor318", 40317, 40, 0},
        {"PAS_2.pas_status.pasType", 4392, 15, 0},  // reduced: bit 9 as well
        {"PAS_2.crc_dissensor_state", 4400, 1, 0},  // offset 9
        {"PAS_2.state_zone1", 4404, 43, 0},         // reduced: 5-bit field, 4376 + 28
        {"PAS_2.state_zone36", 4414, 48, 0},
        {"PAS_2.state_zone37", 4416, 43, 0},
        {"PAS_2.state_zone40", 4416, 46, 0},
        {"MyPin.State.err_12_24", 500, 6, 0},
        {"MyPin.Set.PowerContr", 500, 38, 0},
        {"MyPin.NetErr.no_conn_node", 501, 18, 0},
        {"MyPin.Connect.log_76", 506, 17, 0},
        {"MyPin.Error.log_76", 511, 17, 0},  // bit 11
        {"MyPin.pasloop_flag", 517, 6, 0},
        {"MyPin.Pribor_Comm1.Command", 2000, 39, 2},
        {"MyPin.Pribor_Comm76.Device", 2075, 40, 2},
        {"MyPin.Pin_Control_1", 2500, 6, 2},
        {"MyPin.Pin_Control_17", 2501, 6, 2},
        {"MyPin.Pin_Control_256", 2515, 21, 2},
        {"MyPin.Write_Password", 2600, 2, 1},
    };
    for (const Case& c : cases) {
        const auto it = items.find(c.name);
        ASSERT_NE(it, items.end()) << c.name;
        EXPECT_EQ(it->second.address, c.address) << c.name;
        EXPECT_EQ(it->second.code, c.code) << c.name;
        EXPECT_EQ(it->second.access, c.access) << c.name;
    }
    for (const char* absent : {"PAS_2.zone_sensor1", "PAS_2.sound_device1", "PAS_2.pas_status.err_pwr1",
                               "PAS_1.pas_status.psw_fault", "PAS_1.crc_zones", "PU_1.Const.kernel_version",
                               "PU_1.Const.En_Sound.shl_21", "Type_PAS_25", "MyPin.Pribor_Comm77.Command",
                               "MyPin.Pin_Control_257"})
        EXPECT_EQ(items.count(absent), 0u) << absent;
}

TEST(DeviceMaps, NamesAreUniqueAsciiAndOnlyTheKernelVersionEndsInASpace)
{
    for (std::uint32_t model : {0u, 1u}) {
        const auto items = Collect(AllModels(model));
        std::set<std::string> seen;
        std::size_t trailingSpace = 0;
        for (const Item& i : items) {
            EXPECT_TRUE(seen.insert(i.name).second) << "defined twice: " << i.name;
            for (unsigned char ch : i.name) EXPECT_TRUE(ch >= 32 && ch < 127) << "plain ASCII: " << i.name;
            EXPECT_EQ(i.name.find(".."), std::string::npos) << i.name;
            EXPECT_NE(i.name.front(), '.') << i.name;
            if (i.name.back() == ' ') {
                ++trailingSpace;
                EXPECT_EQ(i.name.substr(i.name.find('.')), ".Const.kernel_version ");
            }
            EXPECT_EQ(std::count(i.name.begin(), i.name.end(), ' '), i.name.back() == ' ' ? 1 : 0) << i.name;
        }
        EXPECT_EQ(trailingSpace, 32u);
    }
}

TEST(DeviceMaps, AccessModesCodesAndAddressRange)
{
    const auto items = Collect(AllModels(1));
    std::size_t readWrite = 0, writeOnly = 0;
    std::uint16_t low = 0xFFFF, high = 0;
    for (const Item& i : items) {
        std::uint32_t registers = 0;
        EXPECT_TRUE(ItemRegisterCount(i.code, &registers)) << i.name << " has undefined code " << int(i.code);
        low = std::min(low, i.address);
        high = std::max<std::uint16_t>(high, static_cast<std::uint16_t>(i.address + registers - 1));
        if (i.access == 2) {
            ++readWrite;
            EXPECT_TRUE(i.name.starts_with("MyPin.Pribor_Comm") || i.name.starts_with("MyPin.Pin_Control_"))
                << i.name;
        } else if (i.access == 1) {
            ++writeOnly;
            EXPECT_EQ(i.name, "MyPin.Write_Password");
        } else {
            EXPECT_EQ(i.access, 0) << i.name;
        }
        // Read-only codes never on a writable item.
        if (i.access != 0) {
            EXPECT_TRUE(i.code == 2 || (i.code >= 6 && i.code <= 40)) << i.name;
        }
    }
    EXPECT_EQ(readWrite, 152u + 256u);
    EXPECT_EQ(writeOnly, 1u);
    EXPECT_EQ(low, 500);     // MyPin status
    EXPECT_EQ(high, 54135);  // PAS_24.sound_device255: 53751 + 16 * 23 + 16
}

// The bits an item decodes, as (register, bit) pairs, worked out per code from the codec table.
static std::vector<std::pair<std::uint32_t, int>> BitsOf(const Item& i)
{
    std::vector<std::pair<std::uint32_t, int>> bits;
    auto reg = [&](std::uint32_t r, int from, int n) {
        for (int b = from; b < from + n; ++b) bits.emplace_back(i.address + r, b);
    };
    const int c = i.code;
    if (c == 1)
        reg(0, 0, 16);
    else if (c == 2)
        reg(0, 0, 16), reg(1, 0, 16);
    else if (c == 3)
        reg(0, 8, 8), reg(1, 0, 8);
    else if (c == 4)
        reg(0, 8, 8), reg(1, 0, 16), reg(2, 0, 8);
    else if (c == 5)
        reg(0, 9, 3);
    else if (c <= 21)
        reg(0, c - 6, 1);
    else if (c <= 34)
        reg(0, c <= 30 ? 2 * (c - 27) : 8 + 2 * (c - 31), 2);
    else if (c <= 38)
        reg(0, 4 * (c - 35), 4);
    else if (c <= 40)
        reg(0, c == 39 ? 0 : 8, 8);
    else {
        const int first = 5 * (c - 43);
        for (int b = first; b < first + 5; ++b) bits.emplace_back(i.address + b / 16, b % 16);
    }
    return bits;
}

TEST(DeviceMaps, NoTwoItemsOfOneDeviceDecodeTheSameBit)
{
    for (std::uint32_t model : {0u, 1u}) {
        std::map<std::string, std::map<std::pair<std::uint32_t, int>, std::string>> owners;
        for (const Item& i : Collect(AllModels(model))) {
            auto& device = owners[Device(i.name)];
            for (const auto& bit : BitsOf(i)) {
                const auto [it, fresh] = device.emplace(bit, i.name);
                EXPECT_TRUE(fresh) << i.name << " and " << it->second << " share register " << bit.first
                                   << " bit " << bit.second;
            }
        }
    }
}

TEST(DeviceMaps, EachPasUnitFollowsItsOwnModel)
{
    Models models = AllModels(0);
    models[23] = 2;
    const auto items = ByName(Collect(models));
    EXPECT_EQ(items.at("PAS_24.state_zone1").code, 40);
    EXPECT_EQ(items.at("PAS_24.state_zone1").address, 4363 + 28 * 23 + 8);
    EXPECT_EQ(items.count("PAS_24.sound_device255"), 1u);
    EXPECT_EQ(items.at("PAS_23.state_zone1").code, 43);
    EXPECT_EQ(items.at("PAS_23.state_zone1").address, 4376 + 28 * 22);
    EXPECT_EQ(items.count("PAS_23.zone_sensor1"), 0u);
}
