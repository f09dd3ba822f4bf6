// The simulator as real Modbus masters see it: libmodbus over TCP, RTU on the
// pseudo-terminal, and raw RTU datagrams over UDP.
#include "SimRegisters.h"
#include "sim/SimTestUtil.h"
#include "support/PtyPair.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <thread>

using namespace SimTest;
using namespace VireoSim;

namespace {

class SimModbus : public ::testing::Test {
   protected:
    void StartSim(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{
            "--tcp", "127.0.0.1:0", "--udp", "127.0.0.1:0", "--pty", "--log", m_temp.File("requests.log")};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(m_sim.Start(args)) << m_sim.Error();
        ASSERT_GT(m_sim.TcpPort(), 0);
        ASSERT_GT(m_sim.UdpPort(), 0);
        ASSERT_FALSE(m_sim.PtyPath().empty());
    }
    void TearDown() override
    {
        if (m_sim.Pid() > 0) {
            EXPECT_EQ(m_sim.Stop(), 0) << m_sim.Error();
        }
    }
    std::vector<std::string> Log() { return ReadLines(m_temp.File("requests.log")); }

    CTempFolder m_temp;
    SimProcess m_sim;
};

// The fields of every kind of device read over TCP, checked against the
// documented --static values, with addresses written out independently.
TEST_F(SimModbus, TcpReadsTheStaticValuesOfEveryDeviceKind)
{
    StartSim({"--static", "--pas-models", "1,0"});
    ModbusPtr mb = ModbusTcp(m_sim.TcpPort());
    ASSERT_TRUE(mb);
    std::vector<uint16_t> r;

    // PU_2 block A: 3516..3531 (offsets 1..16).
    ASSERT_EQ(ReadRegs(mb.get(), 3516, 16, r), 0);
    EXPECT_EQ(Bits(r[0], 0, 2), StaticLoopSignal(2, 1));    // Sh_Signal1.shl_1: 3516 field 0
    EXPECT_EQ(Bits(r[1], 0, 2), StaticLoopSignal(2, 9));    // shl_9: 3517 field 0
    EXPECT_EQ(Bits(r[2], 8, 4), StaticDeviceSignal(2, 1));  // U_Signal.dev_1_*: 3518 bits 8..11
    EXPECT_EQ(Bits(r[3], 0, 4), StaticDeviceSignal(2, 3));  // dev_3: 3519 bits 0..3
    EXPECT_EQ(Bits(r[11], 8, 2), StaticLoopState(2, 1));    // Sh_State.shl_1: 3527 field 4
    EXPECT_EQ(Bits(r[13], 14, 2), StaticLoopState(2, 20));  // shl_20: 3529 field 7
    EXPECT_EQ(Bits(r[6], 12, 4), StaticPuPum(2));           // PU_PUM_bit: 3522 nibble 3
    EXPECT_EQ(Bits(r[7], 0, 10), 0x3FFu);                   // Const.En_Sound.shl_1..10
    // const_data_contr_num: high byte of offset 15 and low byte of offset 16.
    EXPECT_EQ(Bits(r[14], 8, 8) | Bits(r[15], 0, 8) << 8, 2u);
    // PU_3 reports Global_Error and err_open_box.
    EXPECT_EQ(Bits(ReadOne(mb.get(), 3499 + 32 + 6), 0, 8), 0x11u);

    // PU_1 block B: 6000..6017.
    ASSERT_EQ(ReadRegs(mb.get(), 6000, 18, r), 0);
    EXPECT_EQ(Bits(r[2], 0, 8), StaticDevName(3));     // Const.Dev[3].Name
    EXPECT_EQ(Bits(r[2], 8, 8), StaticDevNumber(3));   // Const.Dev[3].Number
    EXPECT_EQ(Bits(r[11], 8, 8), kPuKernelVersion);    // "Const.kernel_version "
    EXPECT_EQ(Bits(r[12], 0, 8), kPuKernelModel);      // Const.kernel_model
    EXPECT_EQ(Bits(r[12], 8, 4), StaticLoopType(1));   // Const.loop1_type
    EXPECT_EQ(Bits(r[17], 4, 4), StaticLoopType(20));  // Const.loop20_type
    EXPECT_EQ(Bits(r[11], 0, 4), 0xFu);                // Const.En_shl_17..20

    // PU_32 blocks C and D.
    ASSERT_EQ(ReadRegs(mb.get(), 7001 + 13 * 31 + 1, 11, r), 0);
    EXPECT_EQ(Bits(r[0], 0, 8), kPuPacketSize1);
    EXPECT_EQ(Bits(r[0], 8, 8), StaticLoopSignals(1));
    EXPECT_EQ(Bits(r[10], 0, 8), StaticLoopSignals(20));
    EXPECT_EQ(Bits(ReadOne(mb.get(), 7703), 0, 8), StaticDeviceSignals(10));  // PU_32.device10_signals

    // PI_2: 4014, 4015.
    ASSERT_EQ(ReadRegs(mb.get(), 4014, 2, r), 0);
    EXPECT_EQ(Bits(r[0], 4, 4), kPiSwVersion);
    EXPECT_EQ(Bits(r[1], 0, 8), kPiKernelVersion);
    EXPECT_EQ(Bits(r[1], 8, 8), kPiKernelModel);

    // CPI_8: 4265..4290, names_crc in 7471 (low word) and 7472.
    ASSERT_EQ(ReadRegs(mb.get(), 4265, 26, r), 0);
    EXPECT_EQ(Bits(r[8], 8, 4), StaticGroupStates(1));  // group1_states1..4
    EXPECT_EQ(Bits(r[24], 8, 8), kCpiKernelVersion);
    EXPECT_EQ(Bits(r[25], 0, 8), kCpiKernelModel);
    EXPECT_EQ(Bits(r[25], 8, 1), 1u);  // add_packet1_flag
    EXPECT_EQ(Bits(r[25], 9, 3), StaticCpiType(8));
    ASSERT_EQ(ReadRegs(mb.get(), 7471, 2, r), 0);
    const uint8_t name[] = {'C', 'P', 'I', '_', '8'};
    EXPECT_EQ(r[0] | uint32_t(r[1]) << 16, Crc32(name, sizeof name));

    // PIN_4: kernel in 4362, 4363.
    ASSERT_EQ(ReadRegs(mb.get(), 4362, 2, r), 0);
    EXPECT_EQ(Bits(r[0], 8, 8), kPinKernelVersion);
    EXPECT_EQ(Bits(r[1], 0, 8), kPinKernelModel);

    // MyPin status 500..517 in one request.
    ASSERT_EQ(ReadRegs(mb.get(), 500, 18, r), 0);
    EXPECT_EQ(Bits(r[0], 8, 4), 1u);  // Set.AddrPin = slave 1
    EXPECT_EQ(Bits(r[1], 0, 8), unsigned(kMyPinVerHigh << 4 | kMyPinVerLow));
    EXPECT_EQ(Bits(r[2], 0, 1), StaticConnected(1) ? 1u : 0u);    // Connect.log_1
    EXPECT_EQ(Bits(r[4], 15, 1), StaticConnected(48) ? 1u : 0u);  // Connect.log_48
    EXPECT_EQ(Bits(r[5], 0, 1), StaticConnected(49) ? 1u : 0u);   // Connect.log_49
    EXPECT_EQ(Bits(r[7], 4, 1), 1u);                              // Error.log_5
    EXPECT_EQ(Bits(r[11], 11, 1), 1u);                            // Error.log_76: bit 11 of 511
    EXPECT_EQ(r[16], kMyPinModelVersion << 8 | kMyPinKernelVersion);
    EXPECT_EQ(Bits(r[17], 0, 1), 1u);

    // PAS types: PAS_1 full (2), PAS_2 and the rest reduced (1).
    ASSERT_EQ(ReadRegs(mb.get(), 3200, 12, r), 0);
    EXPECT_EQ(r[0], 1 << 8 | 2);
    EXPECT_EQ(Bits(r[11], 8, 8), 1u);  // Type_PAS_24: high byte of 3211
}

TEST_F(SimModbus, PasUnitsFollowTheirModelAndTheirCrcFieldsCoverTheirData)
{
    StartSim({"--static", "--pas-models", "1,0"});
    ModbusPtr mb = ModbusTcp(m_sim.TcpPort());
    ASSERT_TRUE(mb);
    for (int n : {1, 2}) {
        SCOPED_TRACE(n);
        std::vector<uint16_t> states, types, status;
        ASSERT_EQ(ReadRegs(mb.get(), 31999 + 159 * (n - 1) + 1, 120, states), 0);
        std::vector<uint16_t> rest;
        ASSERT_EQ(ReadRegs(mb.get(), 31999 + 159 * (n - 1) + 121, 39, rest), 0);
        states.insert(states.end(), rest.begin(), rest.end());
        ASSERT_EQ(ReadRegs(mb.get(), 39999 + 159 * (n - 1) + 1, 120, types), 0);
        ASSERT_EQ(ReadRegs(mb.get(), 39999 + 159 * (n - 1) + 121, 39, rest), 0);
        types.insert(types.end(), rest.begin(), rest.end());
        // Sensor s is byte (s - 1) % 2 of register (s - 1) / 2: low byte first.
        std::vector<uint8_t> stateBytes, typeBytes;
        for (int s = 1; s <= 318; ++s) {
            stateBytes.push_back(uint8_t(Bits(states[size_t(s - 1) / 2], 8 * ((s - 1) % 2), 8)));
            typeBytes.push_back(uint8_t(Bits(types[size_t(s - 1) / 2], 8 * ((s - 1) % 2), 8)));
            ASSERT_EQ(stateBytes.back(), StaticSensorState(n, s)) << s;
            ASSERT_EQ(typeBytes.back(), StaticSensorType(s)) << s;
        }
        ASSERT_EQ(ReadRegs(mb.get(), 4363 + 28 * (n - 1) + 1, 28, status), 0);
        if (n == 1) {
            // Full: pasType set, kernels, code-4 CRCs from the odd byte.
            EXPECT_EQ(Bits(status[0], 9, 1), 1u);
            EXPECT_EQ(Bits(status[1], 8, 8), kPasFullKernel1Version);
            EXPECT_EQ(Bits(status[2], 0, 8), kPasKernel1Model);
            EXPECT_EQ(Bits(status[2], 8, 8), kPasFullKernel2Version);
            auto odd32 = [&](int offset) {
                return Bits(status[size_t(offset - 1)], 8, 8) | Bits(status[size_t(offset)], 0, 8) << 8 |
                       Bits(status[size_t(offset)], 8, 8) << 16 |
                       Bits(status[size_t(offset + 1)], 0, 8) << 24;
            };
            EXPECT_EQ(odd32(4), Crc32(typeBytes.data(), typeBytes.size()));
            EXPECT_EQ(odd32(6), Crc32(stateBytes.data(), stateBytes.size()));
            EXPECT_EQ(Bits(status[7], 8, 8), StaticZoneState(1, 1));    // state_zone1: offset 8 byte 1
            EXPECT_EQ(Bits(status[27], 0, 8), StaticZoneState(1, 40));  // state_zone40: offset 28 byte 0
            // zone_sensor and sound_device exist in the full variant only.
            EXPECT_EQ(Bits(ReadOne(mb.get(), 43816), 0, 8), StaticSensorZone(1));
            EXPECT_EQ(Bits(ReadOne(mb.get(), 53752), 1, 1), StaticSounding(1) ? 1u : 0u);
            EXPECT_EQ(Bits(ReadOne(mb.get(), 53752), 7, 1), StaticSounding(7) ? 1u : 0u);
        } else {
            EXPECT_EQ(Bits(status[0], 9, 1), 0u);
            EXPECT_EQ(Bits(status[1], 0, 8), kPasReducedKernel1Version);
            EXPECT_EQ(Bits(status[2], 8, 8), kPasKernel2Model);
            EXPECT_EQ(status[4], ModbusCrc16(typeBytes.data(), typeBytes.size()));  // crc_sensors
            EXPECT_EQ(status[7], ModbusCrc16(stateBytes.data(), 159));              // crc_ansensor_state
            EXPECT_EQ(status[8], ModbusCrc16(stateBytes.data() + 159, 159));        // crc_dissensor_state
            // state_zone z: 5-bit field (z-1) % 6 of the 32-bit value at offset 13 + 2 * ((z-1) / 6).
            for (int z = 1; z <= 40; ++z) {
                size_t low = size_t(13 + 2 * ((z - 1) / 6) - 1);
                uint32_t v = status[low] | uint32_t(status[low + 1]) << 16;
                ASSERT_EQ((v >> (5 * ((z - 1) % 6))) & 31u, StaticZoneState(2, z)) << z;
            }
            // state_zone1 of PAS_2 is the field at 4376 + 28.
            EXPECT_EQ(Bits(ReadOne(mb.get(), 4376 + 28), 0, 5), StaticZoneState(2, 1));
            EXPECT_EQ(ReadOne(mb.get(), 43816 + 159), 0u);  // no zone_sensor data
        }
    }
}

TEST_F(SimModbus, AnswersSeveralTcpConnectionsAtOnce)
{
    StartSim({"--static"});
    std::vector<ModbusPtr> masters;
    for (int i = 0; i < 4; ++i) {
        masters.push_back(ModbusTcp(m_sim.TcpPort()));
        ASSERT_TRUE(masters.back()) << i;
    }
    // Interleaved on open connections, then in parallel threads.
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < masters.size(); ++i) {
            EXPECT_EQ(ReadOne(masters[i].get(), 6011) >> 8, kPuKernelVersion) << i;
        }
    }
    std::vector<std::thread> threads;
    std::vector<int> failures(masters.size(), 0);
    for (size_t i = 0; i < masters.size(); ++i) {
        threads.emplace_back([&, i] {
            for (int k = 0; k < 200; ++k) {
                if (ReadOne(masters[i].get(), 4013) != (kPiKernelModel << 8 | kPiKernelVersion))
                    ++failures[i];
            }
        });
    }
    for (auto& t : threads) t.join();
    for (size_t i = 0; i < masters.size(); ++i) EXPECT_EQ(failures[i], 0) << i;
}

TEST_F(SimModbus, RefusesUnsupportedFunctionsAndUnmappedAddresses)
{
    StartSim({"--static"});
    ModbusPtr mb = ModbusTcp(m_sim.TcpPort());
    ASSERT_TRUE(mb);
    uint8_t bits[8];
    errno = 0;
    EXPECT_EQ(modbus_read_bits(mb.get(), 0, 8, bits), -1);
    EXPECT_EQ(errno, EMBXILFUN);
    std::vector<uint16_t> r;
    EXPECT_EQ(ReadRegs(mb.get(), 0, 1, r), EMBXILADD);
    EXPECT_EQ(ReadRegs(mb.get(), 499, 2, r), EMBXILADD);    // one below the MyPin block
    EXPECT_EQ(ReadRegs(mb.get(), 4020, 10, r), EMBXILADD);  // runs from PI into the gap before CPI
    EXPECT_EQ(ReadRegs(mb.get(), 54135, 1, r), 0);          // last register of the maps
    EXPECT_EQ(ReadRegs(mb.get(), 54136, 1, r), EMBXILADD);
    EXPECT_EQ(ReadRegs(mb.get(), 3500, 120, r), 0);  // the longest request the server makes
    // Function 4 reads the same registers.
    std::vector<uint16_t> in(1);
    ASSERT_EQ(modbus_read_input_registers(mb.get(), 6011, 1, in.data()), 1);
    EXPECT_EQ(in[0], ReadOne(mb.get(), 6011));
    // Read-only registers refuse writes.
    EXPECT_EQ(WriteRegs(mb.get(), 6011, {1}), EMBXILADD);
    EXPECT_EQ(ReadOne(mb.get(), 6011) >> 8, kPuKernelVersion);

    // A quantity out of range is exception 03 (libmodbus will not send it).
    TcpClient raw(m_sim.TcpPort());
    ASSERT_TRUE(raw.Send(TcpRead(7, 1, 3500, 126)));
    std::vector<uint8_t> reply = raw.ReceiveBytes(9, 2000);
    EXPECT_EQ(reply, (std::vector<uint8_t>{0, 7, 0, 0, 0, 3, 1, 0x83, 0x03}));
}

TEST_F(SimModbus, CommandsNeedThePasswordOverTcpAndRtu)
{
    StartSim({"--static", "--password", "305419896"});  // 0x12345678
    ModbusPtr tcp = ModbusTcp(m_sim.TcpPort());
    ModbusPtr rtu = ModbusRtu(m_sim.PtyPath());
    ASSERT_TRUE(tcp);
    ASSERT_TRUE(rtu);
    // Without the password every command and control-bit write is refused.
    EXPECT_EQ(WriteRegs(tcp.get(), 2075, {0x0203}), EMBXSFAIL);
    EXPECT_EQ(WriteRegs(rtu.get(), 2500, {1, 2}), EMBXSFAIL);
    errno = 0;
    EXPECT_EQ(modbus_write_register(rtu.get(), 2000, 9), -1);
    EXPECT_EQ(errno, EMBXSFAIL);
    EXPECT_EQ(ReadOne(tcp.get(), 2075), 0u);
    EXPECT_EQ(ReadOne(tcp.get(), 2500), 0u);
    EXPECT_EQ(Bits(ReadOne(tcp.get(), 500), 3, 1), 0u);  // State.command_mode

    // A wrong password (words swapped) changes nothing.
    ASSERT_EQ(WriteRegs(tcp.get(), 2600, {0x1234, 0x5678}), 0);
    EXPECT_EQ(WriteRegs(tcp.get(), 2075, {0x0203}), EMBXSFAIL);

    // Low word first, as the write password item encodes it.
    ASSERT_EQ(WriteRegs(rtu.get(), 2600, {0x5678, 0x1234}), 0);
    EXPECT_EQ(WriteRegs(tcp.get(), 2075, {0x0203}), 0);  // Pribor_Comm76: Command 3, Device 2
    EXPECT_EQ(WriteRegs(rtu.get(), 2500, {0x0001, 0x8000}), 0);
    ASSERT_EQ(modbus_write_register(rtu.get(), 2000, 9), 1);
    EXPECT_EQ(ReadOne(rtu.get(), 2075), 0x0203u);
    EXPECT_EQ(ReadOne(tcp.get(), 2500), 0x0001u);  // Pin_Control_1
    EXPECT_EQ(ReadOne(tcp.get(), 2501), 0x8000u);  // Pin_Control_32
    EXPECT_EQ(ReadOne(tcp.get(), 2000), 9u);
    EXPECT_EQ(Bits(ReadOne(tcp.get(), 500), 3, 1), 1u);
    // The password itself is not readable back.
    std::vector<uint16_t> pw;
    ASSERT_EQ(ReadRegs(tcp.get(), 2600, 2, pw), 0);
    EXPECT_EQ(pw, (std::vector<uint16_t>{0, 0}));
    // A write that also covers a register outside the commands is refused whole.
    EXPECT_EQ(WriteRegs(tcp.get(), 2074, {1, 2, 3}), EMBXILADD);
    EXPECT_EQ(ReadOne(tcp.get(), 2074), 0u);
    // Overwriting the password locks the commands again.
    ASSERT_EQ(WriteRegs(tcp.get(), 2600, {0, 0}), 0);
    EXPECT_EQ(WriteRegs(tcp.get(), 2075, {0}), EMBXSFAIL);
    EXPECT_EQ(ReadOne(tcp.get(), 2075), 0x0203u);
}

TEST_F(SimModbus, RtuOnThePtyAnswersOnlyItsOwnAddress)
{
    StartSim({"--static", "--slave", "7"});
    ModbusPtr own = ModbusRtu(m_sim.PtyPath(), 7);
    ASSERT_TRUE(own);
    EXPECT_EQ(Bits(ReadOne(own.get(), 500), 8, 4), 7u);  // Set.AddrPin
    own.reset();
    ModbusPtr other = ModbusRtu(m_sim.PtyPath(), 1, 300);
    ASSERT_TRUE(other);
    std::vector<uint16_t> r;
    EXPECT_EQ(ReadRegs(other.get(), 500, 1, r), ETIMEDOUT);
    other.reset();
    // The request for address 1 is logged, and not answered.
    bool seen = false;
    for (const std::string& line : Log()) {
        seen = seen || line.find("unit=1 fc=3 start=500 count=1 result=ignored") != std::string::npos;
    }
    EXPECT_TRUE(seen);
}

TEST(SimSerial, RtuOnASerialDevice)
{
    // A null-modem pair of pseudo-terminals made by socat stands in for two
    // serial ports joined by a cable (they take, and ignore, rate and parity).
    CPtyPair line;
    ASSERT_TRUE(line.Start()) << "socat did not make a pty pair";
    const std::string& a = line.EndA();
    const std::string& b = line.EndB();
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--static", "--serial", a, "--baud", "9600", "--parity", "even", "--slave", "3"}))
        << sim.Error();
    ModbusPtr mb(modbus_new_rtu(b.c_str(), 9600, 'E', 8, 1));
    ASSERT_TRUE(mb);
    modbus_set_slave(mb.get(), 3);
    modbus_set_response_timeout(mb.get(), 2, 0);
    ASSERT_EQ(modbus_connect(mb.get()), 0);
    std::vector<uint16_t> r;
    ASSERT_EQ(ReadRegs(mb.get(), 4362, 2, r), 0);
    EXPECT_EQ(r[0] >> 8, kPinKernelVersion);
    ASSERT_EQ(WriteRegs(mb.get(), 2600, {kDefaultPassword & 0xFFFF, kDefaultPassword >> 16}), 0);
    EXPECT_EQ(WriteRegs(mb.get(), 2001, {0x0102}), 0);
    EXPECT_EQ(ReadOne(mb.get(), 2001), 0x0102u);
    mb.reset();
    EXPECT_EQ(sim.Stop(), 0) << sim.Error();
}

TEST_F(SimModbus, UdpRepliesGoToTheSenderInRtuFraming)
{
    StartSim({"--static"});
    UdpClient a, b;
    ASSERT_TRUE(a.SendTo(m_sim.UdpPort(), RtuRead(1, 6011, 2)));
    ASSERT_TRUE(b.SendTo(m_sim.UdpPort(), RtuRead(1, 4013, 1)));
    std::vector<Chunk> ra = a.Receive(1, 2000);
    std::vector<Chunk> rb = b.Receive(1, 2000);
    ASSERT_EQ(ra.size(), 1u);
    ASSERT_EQ(rb.size(), 1u);
    EXPECT_EQ(ra[0].fromPort, m_sim.UdpPort());
    ASSERT_EQ(ra[0].bytes.size(), 9u);
    EXPECT_TRUE(CrcOk(ra[0].bytes));
    EXPECT_EQ(ra[0].bytes[2], 4);
    EXPECT_EQ(ReplyRegister(ra[0].bytes, 3, 0) >> 8, kPuKernelVersion);
    ASSERT_EQ(rb[0].bytes.size(), 7u);
    EXPECT_EQ(ReplyRegister(rb[0].bytes, 3, 0), kPiKernelModel << 8 | kPiKernelVersion);
    // A datagram with a bad CRC gets no reply.
    std::vector<uint8_t> bad = RtuRead(1, 6011, 2);
    bad.back() ^= 1;
    ASSERT_TRUE(a.SendTo(m_sim.UdpPort(), bad));
    EXPECT_TRUE(a.Receive(1, 300).empty());
}

TEST_F(SimModbus, TheRequestLogShowsFunctionStartAndCount)
{
    StartSim({"--static"});
    ModbusPtr mb = ModbusTcp(m_sim.TcpPort());
    ASSERT_TRUE(mb);
    std::vector<uint16_t> r;
    ASSERT_EQ(ReadRegs(mb.get(), 3500, 120, r), 0);
    ASSERT_EQ(ReadRegs(mb.get(), 10, 3, r), EMBXILADD);
    ASSERT_EQ(WriteRegs(mb.get(), 2600, {1, 2}), 0);
    mb.reset();
    std::vector<std::string> want{"link=tcp unit=1 fc=3 start=3500 count=120 result=ok",
                                  "link=tcp unit=1 fc=3 start=10 count=3 result=exception=02",
                                  "link=tcp unit=1 fc=16 start=2600 count=2 result=ok"};
    std::vector<std::string> lines = Log();
    ASSERT_EQ(lines.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(lines[i].rfind("req t=", 0), 0u) << lines[i];
        EXPECT_NE(lines[i].find(want[i]), std::string::npos) << lines[i];
    }
}

TEST_F(SimModbus, ValuesMoveOnEveryPeriodAndTheCrcFollows)
{
    StartSim({"--period", "50", "--pas-models", "1"});
    ModbusPtr mb = ModbusTcp(m_sim.TcpPort());
    ASSERT_TRUE(mb);
    // Sh_State of PU_1 (3511..3513) and PAS_1 sensor states change; kernel versions do not.
    std::vector<uint16_t> first, later;
    ASSERT_EQ(ReadRegs(mb.get(), 3511, 3, first), 0);
    bool changed = false;
    for (int i = 0; i < 100 && !changed; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(ReadRegs(mb.get(), 3511, 3, later), 0);
        changed = later != first;
    }
    EXPECT_TRUE(changed);
    EXPECT_EQ(ReadOne(mb.get(), 6011) >> 8, kPuKernelVersion);
    // Each loop state is one step of the cycle (n + k + t) % 4 for one t.
    unsigned t = (Bits(later[0], 8, 2) + 4 - (1 + 1) % 4) % 4;
    for (int k = 1; k <= 4; ++k) EXPECT_EQ(Bits(later[0], 8 + 2 * (k - 1), 2), (1 + k + t) % 4) << k;
}

TEST_F(SimModbus, StaticValuesStayAndTickMovesThemOnCommand)
{
    std::string control = m_temp.File("control");
    StartSim({"--static", "--control", control, "--pas-models", "1"});
    ModbusPtr mb = ModbusTcp(m_sim.TcpPort());
    ASSERT_TRUE(mb);
    std::vector<uint16_t> first, later;
    ASSERT_EQ(ReadRegs(mb.get(), 4364, 28, first), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(ReadRegs(mb.get(), 4364, 28, later), 0);
    EXPECT_EQ(later, first);
    ASSERT_EQ(Control(control, "tick"), "ok tick=1");
    ASSERT_EQ(ReadRegs(mb.get(), 4364, 28, later), 0);
    EXPECT_NE(later, first);
    EXPECT_EQ(Bits(later[7], 8, 8), StaticZoneState(1, 1, 1));
    // set pins a register against the ticks; get reads it back.
    ASSERT_EQ(Control(control, "set 3511 0x1234 7"), "ok");
    ASSERT_EQ(Control(control, "tick"), "ok tick=2");
    EXPECT_EQ(ReadOne(mb.get(), 3511), 0x1234u);
    EXPECT_EQ(Control(control, "get 3511 2"), "ok 4660 7");
}

}  // namespace
