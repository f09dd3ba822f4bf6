// The serial channel with the real component, through the data folder's
// dev/com4 link to one end of a socat pty pair, and a libmodbus RTU server
// on the other end: requests built by CModbusFrame go out through Send and
// the replies come back through Receive.
#include "TransportPeers.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "support/TempFolder.h"
#include "transports/LevelChannelCOM.h"

#include <asm/termbits.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct LineCase {
    uint32_t baud;
    uint32_t parity;    // as the channel stores it
    char modbusParity;  // as libmodbus takes it
    const char* name;
};
void PrintTo(const LineCase& c, std::ostream* os)
{
    *os << c.name;
}

class SerialPeer : public ::testing::TestWithParam<LineCase> {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_pty.Start()) << "socat did not make a pty pair";
        ASSERT_TRUE(CreateFolders(JoinPath(DataFolderPath(), "dev")));
        std::filesystem::create_symlink(m_pty.EndA(), JoinPath(DataFolderPath(), "dev/com4"));
        const LineCase& line = GetParam();
        ASSERT_TRUE(m_server.Start(m_pty.EndB(), static_cast<int>(line.baud), line.modbusParity))
            << modbus_strerror(errno);
        m_channel.SetName("Vireo-2_1");
        m_channel.PortSettings() = {4, line.baud, line.parity};
        m_channel.Settings().m_responseTimeout = 1000;
        m_channel.Initialise();
        ASSERT_EQ(m_channel.State(), kChannelOpen);
        m_frame.SetMode(CModbusFrame::kModeRtu);
        m_frame.SetSlaveAddress(1);
    }
    void TearDown() override
    {
        m_channel.Close();
        m_server.Stop();
    }

    // One read of count registers at start; answers the reply as received.
    Bytes Transact(uint16_t start, uint16_t count)
    {
        m_frame.SetFunctionCode(3);
        m_frame.SetStartAddress(start);
        m_frame.SetQuantity(count);
        EXPECT_TRUE(m_frame.BuildRequest());
        Bytes request(m_frame.FrameBytes(), m_frame.FrameBytes() + m_frame.FrameLength());
        uint32_t length = static_cast<uint32_t>(request.size());
        EXPECT_EQ(m_channel.Send(request.data(), &length), S_OK);
        EXPECT_EQ(length, request.size());
        return ReceiveReply([this](uint8_t* b, uint32_t* n) { return m_channel.Receive(b, n); }, m_frame);
    }

    void ExpectRegisters(uint16_t start, uint16_t count)
    {
        const Bytes reply = Transact(start, count);
        ASSERT_EQ(m_frame.CheckReply(reply.data(), reply.size()), CModbusFrame::kCheckComplete)
            << "reply of " << reply.size() << " bytes for " << start << "+" << count;
        ASSERT_TRUE(m_frame.ParseReply(reply.data(), reply.size()));
        Bytes values(2u * count);
        ASSERT_EQ(m_frame.CopyValues(values.data(), count), count);
        EXPECT_EQ(values, PeerRegisterBytes(start, count)) << start << "+" << count;
    }

    CTempFolder m_home;
    CScopedEnv m_data{"XDG_DATA_HOME", m_home.Path()};
    CPtyPair m_pty;
    CModbusRtuServer m_server;
    CLevelChannelCOM m_channel;
    CModbusFrame m_frame;
};

}  // namespace

TEST_P(SerialPeer, ReadsTheServersRegisters)
{
    ExpectRegisters(0, 1);
    ExpectRegisters(10, 20);
    ExpectRegisters(100, 120);
    ExpectRegisters(175, 125);  // the longest read reply (255 bytes)
}

TEST_P(SerialPeer, TheLineRunsAtTheSpeedAndParityOfTheSettings)
{
    termios2 t{};
    ASSERT_EQ(::ioctl(m_pty.KeeperA(), TCGETS2, &t), 0);
    EXPECT_EQ(t.c_ospeed, GetParam().baud);
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    const bool odd = GetParam().parity == 2 || GetParam().parity == 3;
    EXPECT_EQ((t.c_cflag & PARODD) != 0, odd);
}

TEST_P(SerialPeer, StaleInputIsDrainedBeforeARequest)
{
    // Bytes of an earlier, late reply wait on the line.
    const Bytes stale{0x01, 0x03, 0x02, 0x99};
    ASSERT_EQ(::write(m_pty.KeeperB(), stale.data(), stale.size()), static_cast<ssize_t>(stale.size()));
    pollfd p{m_pty.KeeperA(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    EXPECT_EQ(m_channel.Receive(nullptr, nullptr), S_OK);
    ExpectRegisters(3, 4);
}

TEST_P(SerialPeer, WorksAgainAfterCloseAndOpen)
{
    ExpectRegisters(0, 2);
    m_channel.Close();
    EXPECT_EQ(m_channel.State(), kChannelClosed);
    EXPECT_EQ(m_channel.Open(), CLevelChannelCOM::kOpenDone);
    EXPECT_EQ(m_channel.State(), kChannelOpen);
    ExpectRegisters(50, 8);
}

TEST_P(SerialPeer, NoReplyEndsWithinTheResponseTimeout)
{
    // Slave 9 is not the server's: libmodbus stays silent.
    m_frame.SetSlaveAddress(9);
    const auto start = std::chrono::steady_clock::now();
    const Bytes reply = Transact(0, 2);
    EXPECT_TRUE(reply.empty());
    EXPECT_GE(ElapsedMs(start), 950);
    EXPECT_LT(ElapsedMs(start), 3000);
}

INSTANTIATE_TEST_SUITE_P(Lines, SerialPeer,
                         ::testing::Values(LineCase{19200, 2, 'O', "Baud19200Odd"},
                                           LineCase{76800, 0, 'N', "Baud76800None"},
                                           LineCase{9600, 3, 'N', "Baud9600Mark"}),
                         [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });
