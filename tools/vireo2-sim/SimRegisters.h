#pragma once
// Register addresses and the fixed values of the simulator's --static mode.
// The simulator fills its registers from this header and the tests check what
// they read against it, so both sides agree on one description of the kit.
//
// Addresses are Modbus register numbers as sent in a request (0-based).
// Field positions: bit b is bit b of the register value (bit 0 the least
// significant); "byte 0" is the low byte, "byte 1" the high byte.
#include <array>
#include <cstddef>
#include <cstdint>

namespace VireoSim {

// ---- Defaults and codes ----------------------------------------------------

inline constexpr uint8_t kDefaultSlave = 1;
// Written to registers 2600 (low word) and 2601 (high word) before commands.
inline constexpr uint32_t kDefaultPassword = 1234;
inline constexpr uint32_t kDefaultPeriodMs = 1000;

inline constexpr uint8_t kExceptionIllegalFunction = 0x01;
inline constexpr uint8_t kExceptionIllegalAddress = 0x02;
inline constexpr uint8_t kExceptionIllegalValue = 0x03;
// A command or control-bit write while the password registers do not hold
// the password: the device refuses to act.
inline constexpr uint8_t kExceptionWriteLocked = 0x04;

// ---- Register blocks -------------------------------------------------------

// One kind of block: instance k (0-based) covers registers
// [first + stride * k, first + stride * k + length).
struct SimBlock {
    const char* name;
    uint16_t first;
    uint16_t stride;
    uint16_t length;
    uint16_t instances;
    bool writable;
};

inline constexpr uint16_t kMyPinStatusFirst = 500;  // registers 500..517
inline constexpr uint16_t kCommandFirst = 2000;     // Pribor_Comm n at 1999 + n
inline constexpr uint16_t kCommandCount = 76;
inline constexpr uint16_t kControlFirst = 2500;  // Pin_Control_1 .. _256, bit 0 of 2500 first
inline constexpr uint16_t kControlCount = 16;
inline constexpr uint16_t kPasswordLow = 2600;
inline constexpr uint16_t kPasswordHigh = 2601;
inline constexpr uint16_t kPasTypeFirst = 3200;  // Type_PAS_(2k-1) byte 0, Type_PAS_(2k) byte 1 of 3199 + k

inline constexpr int kPuCount = 32;
inline constexpr int kPiCount = 8;
inline constexpr int kCpiCount = 8;
inline constexpr int kPinCount = 4;
inline constexpr int kPasCount = 24;
inline constexpr int kPasSensors = 318;
inline constexpr int kPasZones = 40;
inline constexpr int kPasSoundDevices = 255;

// Register at "offset" of instance n (1-based) of each block; offsets as in
// the device documentation (the first register of a block is offset 1).
constexpr uint16_t PuA(int n, int offset)
{
    return uint16_t(3499 + 16 * (n - 1) + offset);
}
constexpr uint16_t PuB(int n, int offset)
{
    return uint16_t(5999 + 18 * (n - 1) + offset);
}
constexpr uint16_t PuC(int n, int offset)
{
    return uint16_t(7001 + 13 * (n - 1) + offset);
}
constexpr uint16_t PuD(int n, int offset)
{
    return uint16_t(7449 + 8 * (n - 1) + offset);
}
constexpr uint16_t Pi(int n, int offset)
{
    return uint16_t(4011 + 2 * (n - 1) + offset);
}
constexpr uint16_t Cpi(int n, int offset)
{
    return uint16_t(4075 + 27 * (n - 1) + offset);
}
// names_crc: 32 bits, low word at offset 26 of this block.
constexpr uint16_t Cpi2(int n, int offset)
{
    return uint16_t(7417 + 4 * (n - 1) + offset);
}
constexpr uint16_t Pin(int n, int offset)
{
    return uint16_t(4291 + 18 * (n - 1) + offset);
}
constexpr uint16_t MyPin(int offset)
{
    return uint16_t(499 + offset);
}
constexpr uint16_t PasStatus(int n, int offset)
{
    return uint16_t(4363 + 28 * (n - 1) + offset);
}
constexpr uint16_t PasStateSensor(int n, int offset)
{
    return uint16_t(31999 + 159 * (n - 1) + offset);
}
constexpr uint16_t PasTypeSensor(int n, int offset)
{
    return uint16_t(39999 + 159 * (n - 1) + offset);
}
constexpr uint16_t PasZoneSensor(int n, int offset)
{
    return uint16_t(43815 + 159 * (n - 1) + offset);
}
constexpr uint16_t PasSound(int n, int offset)
{
    return uint16_t(53751 + 16 * (n - 1) + offset);
}

// Every register the device answers; a read or write touching any other
// register gets exception 02. Blocks may overlap: the CPI names_crc registers
// of CPI_3..CPI_8 (7451..7472) lie inside block D of PU_1..PU_3; such a
// register holds one value, the CPI one (it is written last).
inline constexpr std::array<SimBlock, 18> kBlocks{{
    {"MyPin status", kMyPinStatusFirst, 18, 18, 1, false},
    {"MyPin commands", kCommandFirst, kCommandCount, kCommandCount, 1, true},
    {"MyPin control bits", kControlFirst, kControlCount, kControlCount, 1, true},
    {"MyPin write password", kPasswordLow, 2, 2, 1, true},
    {"PAS types", kPasTypeFirst, 12, 12, 1, false},
    {"PU block A", 3500, 16, 16, kPuCount, false},
    {"PI", 4012, 2, 2, kPiCount, false},
    {"CPI", 4076, 27, 27, kCpiCount, false},
    {"PIN", 4292, 18, 18, kPinCount, false},
    {"PAS status", 4364, 28, 28, kPasCount, false},
    {"PU block B", 6000, 18, 18, kPuCount, false},
    {"PU block C", 7002, 13, 13, kPuCount, false},
    {"CPI names_crc", 7443, 4, 2, kCpiCount, false},
    {"PU block D", 7450, 8, 8, kPuCount, false},
    {"PAS state_sensor", 32000, 159, 159, kPasCount, false},
    {"PAS type_sensor", 40000, 159, 159, kPasCount, false},
    {"PAS zone_sensor", 43816, 159, 159, kPasCount, false},
    {"PAS sound_device", 53752, 16, 16, kPasCount, false},
}};

constexpr bool IsCommandRegister(uint32_t address)
{
    return (address >= kCommandFirst && address < kCommandFirst + kCommandCount) ||
           (address >= kControlFirst && address < kControlFirst + kControlCount);
}
constexpr bool IsPasswordRegister(uint32_t address)
{
    return address == kPasswordLow || address == kPasswordHigh;
}

// ---- Values ----------------------------------------------------------------
// Everything not listed here is 0 (no fault bits, no commands). Values named
// "Static..." are those of --static; without it the ones marked "cycles"
// change every period (tick t = 1, 2, ... replaces the 0 in the formula) and
// the CRC fields follow the data they cover.

// MyPin status: register 500 bit 3 (State.command_mode) is set once a command
// or control-bit write has been accepted.
inline constexpr int kMyPinCommandModeBit = 3;
inline constexpr uint8_t kMyPinPowerContr =
    1;  // 500, nibble 3 (Set.AddrPin, nibble 2, is the slave address & 15)
inline constexpr uint8_t kMyPinVerLow = 5;            // 501, nibble 0
inline constexpr uint8_t kMyPinVerHigh = 2;           // 501, nibble 1
inline constexpr uint8_t kMyPinKernelVersion = 0x21;  // 516, byte 0
inline constexpr uint8_t kMyPinModelVersion = 0x07;   // 516, byte 1
inline constexpr bool kMyPinPasLoopFlag = true;       // 517, bit 0
// Connect.log_n (76 bits from 502 bit 0) and Error.log_n (76 bits from 507).
constexpr bool StaticConnected(int n)
{
    return n <= 48;
}
constexpr bool StaticDeviceError(int n)
{
    return n == 5 || n == 76;
}

// PU n: block A.
constexpr uint8_t StaticLoopSignal(int n, int loop, int t = 0)
{
    return uint8_t((n + 2 * loop + t) % 4);
}  // cycles
constexpr uint8_t StaticLoopState(int n, int loop, int t = 0)
{
    return uint8_t((n + loop + t) % 4);
}  // cycles
// U_Signal.dev_d: bit 0 start, 1 job, 2 auto_off, 3 domage.
constexpr uint8_t StaticDeviceSignal(int n, int dev, int t = 0)
{
    return uint8_t((n + dev + t) % 16);
}  // cycles
constexpr uint8_t StaticPuStatus(int n)
{
    return n == 3 ? 0x11 : 0;
}  // PU_3: Global_Error, err_open_box
constexpr uint8_t StaticPuPum(int n)
{
    return uint8_t(n % 16);
}
inline constexpr bool kSoundEnabled = true;  // Const.En_Sound.* all set
// const_data_contr_num (odd 16-bit field at offset 15) is the panel number n.
// PU n: block B.
constexpr uint8_t StaticDevName(int dev)
{
    return uint8_t(0x20 + dev);
}
constexpr uint8_t StaticDevNumber(int dev)
{
    return uint8_t(dev);
}
inline constexpr uint8_t kPuKernelVersion = 0x31;
inline constexpr uint8_t kPuKernelModel = 0x0A;
constexpr uint8_t StaticLoopType(int loop)
{
    return uint8_t(1 + loop % 3);
}
// PU n: blocks C and D.
inline constexpr uint8_t kPuPacketSize1 = 21;
inline constexpr uint8_t kPuPacketSize2 = 11;
constexpr uint8_t StaticLoopSignals(int loop, int t = 0)
{
    return uint8_t((loop + t) & 0xFF);
}  // cycles
constexpr uint8_t StaticDeviceSignals(int dev, int t = 0)
{
    return uint8_t((dev + t) & 0xFF);
}  // cycles

// PI n.
inline constexpr uint8_t kPiSwVersion = 3;
inline constexpr uint8_t kPiKernelVersion = 0x12;
inline constexpr uint8_t kPiKernelModel = 0x03;

// CPI n. group g (1..64): bits group_states1..4 = (g + t) % 16.
constexpr uint8_t StaticGroupStates(int group, int t = 0)
{
    return uint8_t((group + t) % 16);
}  // cycles
inline constexpr uint8_t kCpiKernelVersion = 0x14;
inline constexpr uint8_t kCpiKernelModel = 0x05;
constexpr uint8_t StaticCpiType(int n)
{
    return uint8_t(n % 8);
}
// add_packet1_flag and synchro_time_on are set; names_crc is Crc32 of "CPI_<n>".

// PIN n.
inline constexpr uint8_t kPinKernelVersion = 0x16;
inline constexpr uint8_t kPinKernelModel = 0x04;

// PAS n with model m (0 reduced "ПАС", other values full "ПАС-300").
constexpr uint8_t PasTypeOfModel(uint32_t model)
{
    return model == 0 ? 1 : 2;
}  // Type_PAS_n
constexpr uint8_t StaticSensorState(int n, int s, int t = 0)
{
    return uint8_t((n + s + t) % 16);
}  // cycles
constexpr uint8_t StaticSensorType(int s)
{
    return uint8_t(1 + s % 6);
}
constexpr uint8_t StaticZoneState(int n, int zone, int t = 0)
{
    return uint8_t((n + zone + t) % 8);
}  // cycles
constexpr uint8_t StaticSensorZone(int s)
{
    return uint8_t(1 + (s - 1) % kPasZones);
}  // zone_sensor (full)
constexpr bool StaticSounding(int dev, int t = 0)
{
    return (dev + t) % 8 == 0;
}  // cycles (full)
// Kernel versions and models: full 0x41/0x01, 0x42/0x02; reduced 0x31/0x01, 0x32/0x02.
inline constexpr uint8_t kPasFullKernel1Version = 0x41;
inline constexpr uint8_t kPasFullKernel2Version = 0x42;
inline constexpr uint8_t kPasReducedKernel1Version = 0x31;
inline constexpr uint8_t kPasReducedKernel2Version = 0x32;
inline constexpr uint8_t kPasKernel1Model = 0x01;
inline constexpr uint8_t kPasKernel2Model = 0x02;
// Full variant: pas_status.pasType (bit 9 of offset 1) is 1, reduced 0.
// Full: crc_param_const = Crc32(type_sensor bytes 1..318),
//       crc_sensor_state = Crc32(state_sensor bytes 1..318).
// Reduced (Crc16 = the Modbus CRC): crc_zones over the 40 zone states,
// crc_sensors over the 318 sensor types, crc_ansensor_state over the states of
// sensors 1..159, crc_dissensor_state over 160..318; crc_name_zones and
// crc_name_devices over the texts "PAS_<n> zones" and "PAS_<n> devices".

// CRC-32 (reflected 0xEDB88320, init and final XOR 0xFFFFFFFF).
constexpr uint32_t Crc32(const uint8_t* data, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

}  // namespace VireoSim
