// The simulator's logic in-process: framing on streams and datagrams, the
// envelope, the device's checks, and the command line's values.
#include "SimBank.h"
#include "SimDevice.h"
#include "SimEngine.h"
#include "SimOptions.h"
#include "SimRegisters.h"
#include "sim/SimEnvelope.h"
#include "sim/SimTestUtil.h"

#include <gtest/gtest.h>

using namespace SimTest;
using namespace VireoSim;

namespace {

class SimEngineTest : public ::testing::Test {
   protected:
    SimEngineTest() : m_bank(1, {}), m_device(m_bank, kDefaultPassword), m_engine(m_device, 1, {}, Logger())
    {
    }
    CSimEngine::LogFn Logger()
    {
        return [this](const std::string& line) { m_log.push_back(line); };
    }
    static std::vector<uint8_t> Bytes(const SimReply& reply)
    {
        std::vector<uint8_t> all;
        for (const SimPiece& p : reply.pieces) all.insert(all.end(), p.bytes.begin(), p.bytes.end());
        return all;
    }
    void UseCipher(const CipherKey& key)
    {
        SimCipher cipher;
        cipher.encrypt = ReferenceEncrypt;
        cipher.decrypt = ReferenceDecrypt;
        std::copy(key.begin(), key.end(), cipher.key);
        m_engine.SetCipher(cipher);
    }

    CSimBank m_bank;
    CSimDevice m_device;
    std::vector<std::string> m_log;
    CSimEngine m_engine;
    SimStream m_stream;
    std::vector<SimReply> m_out;
};

TEST_F(SimEngineTest, SerialFramesAreFoundByLengthWhateverTheChunks)
{
    std::vector<uint8_t> read = RtuRead(1, 4013, 1);
    // One byte at a time: the reply comes with the last byte, not before.
    for (size_t i = 0; i < read.size(); ++i) {
        m_engine.OnSerialBytes(m_stream, &read[i], 1, 0, m_out);
        EXPECT_EQ(m_out.size(), i + 1 == read.size() ? 1u : 0u) << i;
    }
    EXPECT_EQ(Bytes(m_out[0]), WithCrc({1, 3, 2, kPiKernelModel, kPiKernelVersion}));
    // A write-multiple and a read in one chunk: two replies in order.
    m_out.clear();
    std::vector<uint8_t> both = WithCrc({1, 16, 0x0A, 0x28, 0, 2, 4, 0x04, 0xD2, 0, 0});  // 2600 := 1234, 0
    std::vector<uint8_t> second = RtuRead(1, 2600, 2);
    both.insert(both.end(), second.begin(), second.end());
    m_engine.OnSerialBytes(m_stream, both.data(), both.size(), 0, m_out);
    ASSERT_EQ(m_out.size(), 2u);
    EXPECT_EQ(Bytes(m_out[0]), WithCrc({1, 16, 0x0A, 0x28, 0, 2}));
    EXPECT_EQ(Bytes(m_out[1]), WithCrc({1, 3, 4, 0, 0, 0, 0}));
    EXPECT_TRUE(m_device.Unlocked());
    EXPECT_TRUE(m_stream.buffer.empty());
}

TEST_F(SimEngineTest, SerialNoiseIsDroppedAtTheGapAndUnknownFunctionsFramedByCrc)
{
    std::vector<uint8_t> noise{1, 3, 0x0F};
    m_engine.OnSerialBytes(m_stream, noise.data(), noise.size(), 0, m_out);
    EXPECT_TRUE(m_out.empty());
    m_engine.OnSerialGap(m_stream, 25);
    EXPECT_TRUE(m_stream.buffer.empty());
    EXPECT_EQ(m_log.back(), "drop t=25 link=serial reason=incomplete");
    // A bad CRC on a frame of known length drops it at once.
    std::vector<uint8_t> bad = RtuRead(1, 4013, 1);
    bad[7] ^= 0x55;
    m_engine.OnSerialBytes(m_stream, bad.data(), bad.size(), 30, m_out);
    EXPECT_TRUE(m_out.empty());
    EXPECT_EQ(m_log.back(), "drop t=30 link=serial reason=crc");
    // Function 17 (report slave id): length unknown, the CRC ends it; exception 01.
    std::vector<uint8_t> report = WithCrc({1, 17});
    m_engine.OnSerialBytes(m_stream, report.data(), report.size(), 40, m_out);
    ASSERT_EQ(m_out.size(), 1u);
    EXPECT_EQ(Bytes(m_out[0]), WithCrc({1, 0x91, 0x01}));
}

TEST_F(SimEngineTest, DeviceChecksQuantitiesAndLengths)
{
    SimRequestInfo info;
    auto process = [&](std::vector<uint8_t> pdu) { return m_device.Process(pdu.data(), pdu.size(), info); };
    EXPECT_EQ(process({3, 0x0D, 0xAC, 0, 0}), (std::vector<uint8_t>{0x83, 3}));    // count 0
    EXPECT_EQ(process({3, 0x0D, 0xAC, 0, 126}), (std::vector<uint8_t>{0x83, 3}));  // count 126
    EXPECT_EQ(process({3, 0x0D, 0xAC, 0, 125}).size(), 252u);                      // 3500..3624
    EXPECT_EQ(process({3, 0x0D, 0xAC, 0}), (std::vector<uint8_t>{0x83, 3}));       // short
    // Byte count disagreeing with the quantity, or a missing value byte.
    EXPECT_EQ(process({16, 0x0A, 0x28, 0, 2, 3, 0, 1, 0}), (std::vector<uint8_t>{0x90, 3}));
    EXPECT_EQ(process({16, 0x0A, 0x28, 0, 2, 4, 0, 1, 0}), (std::vector<uint8_t>{0x90, 3}));
    EXPECT_EQ(process({6, 0x0A, 0x28, 0}), (std::vector<uint8_t>{0x86, 3}));
    // Function 6 echoes the request.
    EXPECT_EQ(process({6, 0x0A, 0x28, 0x04, 0xD2}), (std::vector<uint8_t>{6, 0x0A, 0x28, 0x04, 0xD2}));
    EXPECT_EQ(info.function, 6);
    EXPECT_EQ(info.start, 2600);
    EXPECT_EQ(m_device.WrittenPassword(), 1234u);
    // Function 6 on a command register: password now held (high word 0).
    EXPECT_EQ(process({6, 0x07, 0xD0, 0x01, 0x02}), (std::vector<uint8_t>{6, 0x07, 0xD0, 0x01, 0x02}));
    EXPECT_EQ(m_bank.Get(2000), 0x0102u);
    EXPECT_EQ(m_device.AcceptedCommands(), 1u);
    EXPECT_EQ(process({5, 0, 0, 0xFF, 0}), (std::vector<uint8_t>{0x85, 1}));
}

TEST_F(SimEngineTest, TcpStreamsSplitAnywhereAndBadHeadersCloseThem)
{
    std::vector<uint8_t> two = TcpRead(0x0102, 1, 4013, 1);
    std::vector<uint8_t> next = TcpRead(0x0103, 1, 4013, 1);
    two.insert(two.end(), next.begin(), next.end());
    ASSERT_TRUE(m_engine.OnTcpBytes(m_stream, two.data(), 5, 0, m_out));
    EXPECT_TRUE(m_out.empty());
    ASSERT_TRUE(m_engine.OnTcpBytes(m_stream, two.data() + 5, two.size() - 5, 0, m_out));
    ASSERT_EQ(m_out.size(), 2u);
    EXPECT_EQ(Bytes(m_out[1]),
              (std::vector<uint8_t>{1, 3, 0, 0, 0, 5, 1, 3, 2, kPiKernelModel, kPiKernelVersion}));
    // A protocol identifier other than 0 cannot be re-synchronised.
    std::vector<uint8_t> bad = TcpRead(1, 1, 4013, 1);
    bad[3] = 1;
    EXPECT_FALSE(m_engine.OnTcpBytes(m_stream, bad.data(), bad.size(), 0, m_out));
    EXPECT_EQ(m_log.back(), "drop t=0 link=tcp reason=mbap");
}

TEST_F(SimEngineTest, EnvelopeOnStreamsResynchronisesAndRefusesOtherKeys)
{
    CipherKey key{'s', 'e', 'c', 'r', 'e', 't'};
    CipherKey other{'o', 't', 'h', 'e', 'r'};
    UseCipher(key);
    std::vector<uint8_t> packet = WrapPacket(key, TcpRead(4, 1, 4013, 1));
    std::vector<uint8_t> input{0x00, 0x13};  // noise before the packet
    input.insert(input.end(), packet.begin(), packet.end());
    ASSERT_TRUE(m_engine.OnTcpBytes(m_stream, input.data(), 10, 0, m_out));
    ASSERT_TRUE(m_engine.OnTcpBytes(m_stream, input.data() + 10, input.size() - 10, 0, m_out));
    ASSERT_EQ(m_out.size(), 1u);
    std::vector<uint8_t> reply = Bytes(m_out[0]);
    EXPECT_EQ(reply.size(), PacketLength(11));
    EXPECT_EQ(UnwrapPacket(key, reply),
              (std::vector<uint8_t>{0, 4, 0, 0, 0, 5, 1, 3, 2, kPiKernelModel, kPiKernelVersion}));
    // Another key deciphers into noise: no reply, the connection stays.
    m_out.clear();
    packet = WrapPacket(other, TcpRead(5, 1, 4013, 1));
    ASSERT_TRUE(m_engine.OnTcpBytes(m_stream, packet.data(), packet.size(), 0, m_out));
    EXPECT_TRUE(m_out.empty());
    EXPECT_EQ(m_log.back(), "drop t=0 link=tcp reason=key");
    // A length field that disagrees with the packet size is refused.
    packet = WrapPacket(key, TcpRead(6, 1, 4013, 1));
    packet[2] = 40;  // claims 40 bytes in one block
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < packet.size(); ++i) sum = uint8_t(sum + packet[i]);
    packet.back() = sum;
    m_engine.OnDatagram(packet.data(), packet.size(), 0, m_out);
    EXPECT_TRUE(m_out.empty());
    // On serial a packet under the right key is answered as RTU.
    std::vector<uint8_t> rtu = WrapPacket(key, RtuRead(1, 4013, 1));
    m_engine.OnSerialBytes(m_stream, rtu.data(), rtu.size(), 0, m_out);
    ASSERT_EQ(m_out.size(), 1u);
    EXPECT_EQ(UnwrapPacket(key, Bytes(m_out[0])), WithCrc({1, 3, 2, kPiKernelModel, kPiKernelVersion}));
}

TEST_F(SimEngineTest, FaultsShapeTheReply)
{
    ASSERT_EQ(ApplyFaultSpec(m_engine.Faults(), "split=2,30"), "");
    ASSERT_EQ(ApplyFaultSpec(m_engine.Faults(), "delay=70"), "");
    ASSERT_EQ(ApplyFaultSpec(m_engine.Faults(), "truncate=1"), "");
    std::vector<uint8_t> read = RtuRead(1, 4013, 1);
    m_engine.OnDatagram(read.data(), read.size(), 0, m_out);
    ASSERT_EQ(m_out.size(), 1u);
    // 7 bytes less one: pieces of 2, 2, 2; the first after the delay, the rest after the gap.
    ASSERT_EQ(m_out[0].pieces.size(), 3u);
    EXPECT_EQ(m_out[0].pieces[0].delayMs, 70u);
    EXPECT_EQ(m_out[0].pieces[1].delayMs, 30u);
    EXPECT_EQ(m_out[0].pieces[2].bytes.size(), 2u);
    std::vector<uint8_t> whole = WithCrc({1, 3, 2, kPiKernelModel, kPiKernelVersion});
    EXPECT_EQ(Bytes(m_out[0]), std::vector<uint8_t>(whole.begin(), whole.end() - 1));
    ASSERT_EQ(ApplyFaultSpec(m_engine.Faults(), "clear"), "");
    EXPECT_FALSE(m_engine.Faults().Any());
}

TEST(SimOptionsTest, ValuesOfAFullCommandLine)
{
    SimOptions o;
    ASSERT_EQ(ParseOptions(
                  {"--tcp",   "127.0.0.1:1502", "--udp=5001", "--pty",      "--pty-link", "/x",    "--slave",
                   "12",      "--pas-models",   "0,1",        "--password", "4294967295", "--key", "Ключ",
                   "--fault", "delay=200",      "--fault",    "split=3",    "--period",   "250",   "--parity",
                   "even"},
                  o),
              "");
    EXPECT_EQ(o.tcp.address, "127.0.0.1");
    EXPECT_EQ(o.tcp.port, 1502);
    EXPECT_EQ(o.udp.address, "0.0.0.0");
    EXPECT_EQ(o.udp.port, 5001);
    EXPECT_EQ(o.slave, 12);
    EXPECT_EQ(o.pasModels[0], 0u);
    EXPECT_EQ(o.pasModels[1], 1u);
    EXPECT_EQ(o.pasModels[23], 1u);  // a short list repeats its last value
    EXPECT_EQ(o.password, 0xFFFFFFFFu);
    // "Ключ" in code page 1251, zero-filled.
    EXPECT_EQ(o.key, (std::array<uint8_t, 16>{0xCA, 0xEB, 0xFE, 0xF7}));
    EXPECT_EQ(o.faults.delayMs, 200u);
    EXPECT_EQ(o.faults.splitBytes, 3u);
    EXPECT_EQ(o.faults.splitGapMs, 100u);
    EXPECT_EQ(o.periodMs, 250u);
    EXPECT_EQ(o.parity, 'E');
    ASSERT_EQ(ParseOptions({"--tcp", "0", "--key", ""}, o), "");
    EXPECT_TRUE(o.keyGiven);
    EXPECT_EQ(o.key, CipherKey{});
    ASSERT_EQ(ParseOptions({"--tcp", "0", "--key-hex", "000102030405060708090a0b0c0d0e0F"}, o), "");
    EXPECT_EQ(o.key[15], 0x0F);
    EXPECT_EQ(o.key[10], 0x0A);
    ASSERT_EQ(ParseOptions({"--tcp", "0"}, o), "");
    EXPECT_EQ(o.password, kDefaultPassword);
    EXPECT_EQ(o.slave, kDefaultSlave);
    EXPECT_FALSE(o.keyGiven);
}

TEST(SimRegistersTest, Crc32IsTheStandardOne)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc32(check, sizeof check), 0xCBF43926u);
}

}  // namespace
