// Every fault mode, switched while the simulator runs and observed by a client.
#include "SimRegisters.h"
#include "sim/SimTestUtil.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <signal.h>

using namespace SimTest;
using namespace VireoSim;
using Clock = std::chrono::steady_clock;

namespace {

long MsBetween(Clock::time_point a, Clock::time_point b)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

class SimFault : public ::testing::Test {
   protected:
    void SetUp() override
    {
        m_control = m_temp.File("control");
        ASSERT_TRUE(m_sim.Start({"--static", "--tcp", "127.0.0.1:0", "--udp", "127.0.0.1:0", "--pty",
                                 "--control", m_control, "--log", m_temp.File("requests.log")}))
            << m_sim.Error();
    }
    void TearDown() override
    {
        if (m_sim.Pid() > 0) {
            EXPECT_EQ(m_sim.Stop(), 0) << m_sim.Error();
        }
    }
    void Fault(const std::string& spec)
    {
        std::string reply = Control(m_control, "fault " + spec);
        ASSERT_EQ(reply.rfind("ok ", 0), 0u) << spec << ": " << reply;
    }
    // A TCP read of register 4013 (PI_1 kernel), the reply expected 11 bytes.
    std::vector<uint8_t> TcpExchange(TcpClient& tcp, uint16_t transaction, int idleMs = 1000)
    {
        EXPECT_TRUE(tcp.Send(TcpRead(transaction, 1, 4013, 1)));
        return tcp.ReceiveBytes(11, idleMs);
    }
    static std::vector<uint8_t> GoodTcpReply(uint16_t transaction)
    {
        return {uint8_t(transaction >> 8), uint8_t(transaction), 0, 0, 0, 5, 1, 3, 2, kPiKernelModel,
                kPiKernelVersion};
    }

    CTempFolder m_temp;
    SimProcess m_sim;
    std::string m_control;
};

TEST_F(SimFault, SilenceAnswersNothingUntilCleared)
{
    ModbusPtr mb = ModbusTcp(m_sim.TcpPort(), 1, 300);
    ASSERT_TRUE(mb);
    std::vector<uint16_t> r;
    ASSERT_EQ(ReadRegs(mb.get(), 4013, 1, r), 0);
    Fault("silence");
    EXPECT_EQ(ReadRegs(mb.get(), 4013, 1, r), ETIMEDOUT);
    ASSERT_EQ(Control(m_control, "clear").rfind("ok ", 0), 0u);
    mb = ModbusTcp(m_sim.TcpPort(), 1, 1000);  // libmodbus drops the link after a time-out
    ASSERT_TRUE(mb);
    EXPECT_EQ(ReadRegs(mb.get(), 4013, 1, r), 0);
    // The silenced request still shows in the log.
    bool seen = false;
    for (const std::string& line : ReadLines(m_temp.File("requests.log"))) {
        seen = seen || line.find("start=4013 count=1 result=silent") != std::string::npos;
    }
    EXPECT_TRUE(seen);
}

TEST_F(SimFault, SignalsSwitchSilenceAndClearFaults)
{
    UdpClient udp;
    m_sim.Signal(SIGUSR1);
    // The signal is taken asynchronously: wait (bounded) for the first unanswered request.
    bool silent = false;
    for (int i = 0; i < 20 && !silent; ++i) {
        ASSERT_TRUE(udp.SendTo(m_sim.UdpPort(), RtuRead(1, 4013, 1)));
        silent = udp.Receive(1, 100).empty();
    }
    EXPECT_TRUE(silent);
    m_sim.Signal(SIGUSR2);
    bool answered = false;
    for (int i = 0; i < 20 && !answered; ++i) {
        ASSERT_TRUE(udp.SendTo(m_sim.UdpPort(), RtuRead(1, 4013, 1)));
        answered = udp.Receive(1, 100).size() == 1;
    }
    EXPECT_TRUE(answered);
}

TEST_F(SimFault, DelayHoldsTheReplyBack)
{
    Fault("delay=300");
    ModbusPtr mb = ModbusTcp(m_sim.TcpPort(), 1, 2000);
    ASSERT_TRUE(mb);
    auto start = Clock::now();
    std::vector<uint16_t> r;
    ASSERT_EQ(ReadRegs(mb.get(), 4013, 1, r), 0);
    long elapsed = MsBetween(start, Clock::now());
    EXPECT_GE(elapsed, 290);
    EXPECT_LT(elapsed, 1500);
    EXPECT_EQ(r[0], kPiKernelModel << 8 | kPiKernelVersion);
    // Another connection is served at the same time, also delayed but not queued behind.
    TcpClient a(m_sim.TcpPort()), b(m_sim.TcpPort());
    start = Clock::now();
    ASSERT_TRUE(a.Send(TcpRead(1, 1, 4013, 1)));
    ASSERT_TRUE(b.Send(TcpRead(2, 1, 4013, 1)));
    EXPECT_EQ(a.ReceiveBytes(11, 2000), GoodTcpReply(1));
    EXPECT_EQ(b.ReceiveBytes(11, 2000), GoodTcpReply(2));
    EXPECT_LT(MsBetween(start, Clock::now()), 550);
}

TEST_F(SimFault, CorruptCrcIsSeenByLibmodbusOnThePty)
{
    ModbusPtr mb = ModbusRtu(m_sim.PtyPath());
    ASSERT_TRUE(mb);
    std::vector<uint16_t> r;
    ASSERT_EQ(ReadRegs(mb.get(), 4013, 1, r), 0);
    Fault("crc");
    EXPECT_EQ(ReadRegs(mb.get(), 4013, 1, r), EMBBADCRC);
    // Over UDP the frame is whole but its CRC is wrong.
    UdpClient udp;
    ASSERT_TRUE(udp.SendTo(m_sim.UdpPort(), RtuRead(1, 4013, 1)));
    std::vector<Chunk> reply = udp.Receive(1, 1000);
    ASSERT_EQ(reply.size(), 1u);
    ASSERT_EQ(reply[0].bytes.size(), 7u);
    EXPECT_FALSE(CrcOk(reply[0].bytes));
    EXPECT_EQ(ReplyRegister(reply[0].bytes, 3, 0), kPiKernelModel << 8 | kPiKernelVersion);
}

TEST_F(SimFault, TruncateCutsTheEndOff)
{
    TcpClient tcp(m_sim.TcpPort());
    ASSERT_TRUE(tcp.Connected());
    Fault("truncate=3");
    std::vector<uint8_t> reply = TcpExchange(tcp, 5, 300);
    std::vector<uint8_t> whole = GoodTcpReply(5);
    EXPECT_EQ(reply, std::vector<uint8_t>(whole.begin(), whole.end() - 3));
}

TEST_F(SimFault, SplitSendsPiecesWithGaps)
{
    TcpClient tcp(m_sim.TcpPort());
    ASSERT_TRUE(tcp.Connected());
    Fault("split=4,80");
    auto sent = Clock::now();
    ASSERT_TRUE(tcp.Send(TcpRead(9, 1, 4013, 1)));
    std::vector<Chunk> chunks = tcp.Receive(11, 1000);
    std::vector<uint8_t> all;
    for (const Chunk& c : chunks) all.insert(all.end(), c.bytes.begin(), c.bytes.end());
    EXPECT_EQ(all, GoodTcpReply(9));
    // 11 bytes in pieces of 4: three pieces, the last one two gaps after the first.
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].bytes.size(), 4u);
    EXPECT_LT(MsBetween(sent, chunks[0].at), 60);
    EXPECT_GE(MsBetween(chunks[0].at, chunks[2].at), 150);
    // libmodbus waits for the rest of a frame within its byte time-out.
    ModbusPtr mb = ModbusTcp(m_sim.TcpPort());
    ASSERT_TRUE(mb);
    EXPECT_EQ(ReadOne(mb.get(), 4013), kPiKernelModel << 8 | kPiKernelVersion);
}

TEST_F(SimFault, ForeignAddressIsRefusedByLibmodbusOnRtu)
{
    Fault("foreign=9");
    ModbusPtr mb = ModbusRtu(m_sim.PtyPath(), 1, 500);
    ASSERT_TRUE(mb);
    std::vector<uint16_t> r;
    EXPECT_EQ(ReadRegs(mb.get(), 4013, 1, r), EMBBADSLAVE);
    TcpClient tcp(m_sim.TcpPort());
    std::vector<uint8_t> reply = TcpExchange(tcp, 3);
    ASSERT_EQ(reply.size(), 11u);
    EXPECT_EQ(reply[6], 9);
}

TEST_F(SimFault, ExceptionRepliesExecuteNothing)
{
    ModbusPtr mb = ModbusTcp(m_sim.TcpPort());
    ASSERT_TRUE(mb);
    ASSERT_EQ(WriteRegs(mb.get(), 2600, {kDefaultPassword & 0xFFFF, kDefaultPassword >> 16}), 0);
    Fault("exception=6");
    std::vector<uint16_t> r;
    EXPECT_EQ(ReadRegs(mb.get(), 4013, 1, r), EMBXSBUSY);
    EXPECT_EQ(WriteRegs(mb.get(), 2000, {5}), EMBXSBUSY);
    Fault("exception=0");
    EXPECT_EQ(ReadOne(mb.get(), 2000), 0u);
}

TEST_F(SimFault, CloseAfterEndsTheConnection)
{
    Fault("close-after=2");
    TcpClient tcp(m_sim.TcpPort());
    EXPECT_EQ(TcpExchange(tcp, 1), GoodTcpReply(1));
    EXPECT_FALSE(tcp.PeerClosed());
    EXPECT_EQ(TcpExchange(tcp, 2), GoodTcpReply(2));
    tcp.Receive(1, 1000);  // the close follows the second reply
    EXPECT_TRUE(tcp.PeerClosed());
    // A new connection gets its two replies again; libmodbus sees the third fail.
    ModbusPtr mb = ModbusTcp(m_sim.TcpPort(), 1, 500);
    ASSERT_TRUE(mb);
    std::vector<uint16_t> r;
    EXPECT_EQ(ReadRegs(mb.get(), 4013, 1, r), 0);
    EXPECT_EQ(ReadRegs(mb.get(), 4013, 1, r), 0);
    EXPECT_NE(ReadRegs(mb.get(), 4013, 1, r), 0);
}

TEST_F(SimFault, UdpRepliesCanLeaveFromTheOtherPort)
{
    ASSERT_GT(m_sim.UdpOtherPort(), 0);
    ASSERT_NE(m_sim.UdpOtherPort(), m_sim.UdpPort());
    Fault("udp-other-port");
    UdpClient udp;
    ASSERT_TRUE(udp.SendTo(m_sim.UdpPort(), RtuRead(1, 4013, 1)));
    std::vector<Chunk> reply = udp.Receive(1, 1000);
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0].fromPort, m_sim.UdpOtherPort());
    EXPECT_TRUE(CrcOk(reply[0].bytes));
}

TEST_F(SimFault, LimitSwitchesFaultsOffAfterNRequests)
{
    Fault("silence");
    Fault("limit=2");
    UdpClient udp;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(udp.SendTo(m_sim.UdpPort(), RtuRead(1, 4013, 1)));
        EXPECT_TRUE(udp.Receive(1, 200).empty()) << i;
    }
    ASSERT_TRUE(udp.SendTo(m_sim.UdpPort(), RtuRead(1, 4013, 1)));
    EXPECT_EQ(udp.Receive(1, 1000).size(), 1u);
    EXPECT_EQ(Control(m_control, "faults").find("silence=1"), std::string::npos);
}

TEST_F(SimFault, ControlSocketRefusesBadCommands)
{
    EXPECT_EQ(Control(m_control, "fault bogus").rfind("error unknown fault", 0), 0u);
    EXPECT_EQ(Control(m_control, "fault delay=x").rfind("error bad fault", 0), 0u);
    EXPECT_EQ(Control(m_control, "explode").rfind("error unknown command", 0), 0u);
    EXPECT_EQ(Control(m_control, "set 70000 1").rfind("error usage", 0), 0u);
    EXPECT_EQ(Control(m_control, "get 65535 2").rfind("error usage", 0), 0u);
    EXPECT_EQ(Control(m_control, "set 3500 65536").rfind("error bad value", 0), 0u);
    EXPECT_NE(Control(m_control, "faults").find(" delay=0 "), std::string::npos);
}

}  // namespace
