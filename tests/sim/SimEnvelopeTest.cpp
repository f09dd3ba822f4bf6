// The packet envelope end to end: the simulator wraps through the cipher
// library, the test client through OpenSSL, and the server's own frame check
// judges the frames inside.
#include "SimRegisters.h"
#include "polling/ModbusFrame.h"
#include "sim/SimEnvelope.h"
#include "sim/SimTestUtil.h"
#include "support/TempFolder.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace SimTest;
using namespace VireoSim;

namespace {

// "Ключ" in code page 1251.
const CipherKey kKey{0xCA, 0xEB, 0xFE, 0xF7};

class SimEnvelope : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(std::filesystem::exists(BinFolder() + "/libmardelCrypto.so"));
        ASSERT_TRUE(m_sim.Start({"--static", "--key", "Ключ", "--tcp", "127.0.0.1:0", "--udp", "127.0.0.1:0",
                                 "--pty", "--log", m_temp.File("requests.log")}))
            << m_sim.Error();
    }
    void TearDown() override
    {
        if (m_sim.Pid() > 0) {
            EXPECT_EQ(m_sim.Stop(), 0) << m_sim.Error();
        }
    }
    bool Logged(const std::string& text)
    {
        for (const std::string& line : ReadLines(m_temp.File("requests.log"))) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
    // The server's frame check of a read reply for `count` registers.
    static std::vector<uint16_t> CheckRead(int mode, const std::vector<uint8_t>& reply)
    {
        CModbusFrame frame;
        frame.SetMode(mode);
        frame.SetSlaveAddress(1);
        EXPECT_EQ(frame.CheckReply(reply.data(), reply.size()), CModbusFrame::kCheckComplete);
        if (!frame.ParseReply(reply.data(), reply.size())) return {};
        // Values keep wire order: swap back to numbers.
        std::vector<uint16_t> values;
        for (uint16_t w : frame.Values()) values.push_back(uint16_t(w << 8 | w >> 8));
        return values;
    }

    CTempFolder m_temp;
    SimProcess m_sim;
};

TEST_F(SimEnvelope, TcpFramesTravelWrappedBothWays)
{
    TcpClient tcp(m_sim.TcpPort());
    ASSERT_TRUE(tcp.Send(WrapPacket(kKey, TcpRead(1, 1, 6011, 2))));
    std::vector<uint8_t> packet = tcp.ReceiveBytes(PacketLength(13), 2000);
    ASSERT_EQ(packet.size(), PacketLength(13));
    std::vector<uint8_t> frame = UnwrapPacket(kKey, packet);
    ASSERT_EQ(frame.size(), 13u);
    std::vector<uint16_t> values = CheckRead(CModbusFrame::kModeTcp, frame);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0] >> 8, kPuKernelVersion);
    EXPECT_EQ(values[1] & 0xFF, kPuKernelModel);
}

TEST_F(SimEnvelope, UdpAndPtyFramesTravelWrappedInRtu)
{
    UdpClient udp;
    ASSERT_TRUE(udp.SendTo(m_sim.UdpPort(), WrapPacket(kKey, RtuRead(1, 4013, 1))));
    std::vector<Chunk> reply = udp.Receive(1, 2000);
    ASSERT_EQ(reply.size(), 1u);
    std::vector<uint16_t> values = CheckRead(CModbusFrame::kModeRtu, UnwrapPacket(kKey, reply[0].bytes));
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0], kPiKernelModel << 8 | kPiKernelVersion);

    PtyClient pty(m_sim.PtyPath());
    ASSERT_TRUE(pty.Opened());
    ASSERT_TRUE(pty.Send(WrapPacket(kKey, RtuRead(1, 516, 1))));
    std::vector<uint8_t> packet = pty.Receive(PacketLength(7), 2000);
    values = CheckRead(CModbusFrame::kModeRtu, UnwrapPacket(kKey, packet));
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0], kMyPinModelVersion << 8 | kMyPinKernelVersion);
}

TEST_F(SimEnvelope, OtherKeysAndPlainFramesGetNoReply)
{
    CipherKey other = kKey;
    other[15] = 1;  // one bit apart
    TcpClient tcp(m_sim.TcpPort());
    ASSERT_TRUE(tcp.Send(WrapPacket(other, TcpRead(1, 1, 6011, 2))));
    EXPECT_TRUE(tcp.ReceiveBytes(1, 300).empty());
    EXPECT_FALSE(tcp.PeerClosed());
    UdpClient udp;
    ASSERT_TRUE(udp.SendTo(m_sim.UdpPort(), WrapPacket(other, RtuRead(1, 4013, 1))));
    ASSERT_TRUE(udp.SendTo(m_sim.UdpPort(), RtuRead(1, 4013, 1)));
    EXPECT_TRUE(udp.Receive(1, 300).empty());
    EXPECT_TRUE(Logged("link=tcp reason=key"));
    EXPECT_TRUE(Logged("link=udp reason=key"));
    EXPECT_TRUE(Logged("link=udp reason=envelope"));
    // The same connection still answers its own key.
    ASSERT_TRUE(tcp.Send(WrapPacket(kKey, TcpRead(2, 1, 6011, 2))));
    EXPECT_EQ(UnwrapPacket(kKey, tcp.ReceiveBytes(PacketLength(13), 2000)).size(), 13u);
}

TEST(SimEnvelopeKeys, TheEmptyKeyIsAllZeroAndHexKeysAreTakenAsGiven)
{
    for (const std::vector<std::string>& keyArgs :
         {std::vector<std::string>{"--key", ""}, {"--key-hex", "000102030405060708090a0b0c0d0e0f"}}) {
        CipherKey key{};
        if (keyArgs[0] == "--key-hex") {
            for (uint8_t i = 0; i < 16; ++i) key[i] = i;
        }
        SimProcess sim;
        std::vector<std::string> args{"--static", "--udp", "127.0.0.1:0"};
        args.insert(args.end(), keyArgs.begin(), keyArgs.end());
        ASSERT_TRUE(sim.Start(args)) << sim.Error();
        UdpClient udp;
        ASSERT_TRUE(udp.SendTo(sim.UdpPort(), WrapPacket(key, RtuRead(1, 4013, 1))));
        std::vector<Chunk> reply = udp.Receive(1, 2000);
        ASSERT_EQ(reply.size(), 1u) << keyArgs[0];
        EXPECT_EQ(UnwrapPacket(key, reply[0].bytes), WithCrc({1, 3, 2, kPiKernelModel, kPiKernelVersion}));
        EXPECT_EQ(sim.Stop(), 0) << sim.Error();
    }
}

}  // namespace
