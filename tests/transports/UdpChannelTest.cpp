// The UDP channel on loopback: against datagram sockets of the test and
// against pymodbus answering RTU frames.
#include "TransportPeers.h"
#include "transports/LevelChannelUDP.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using RowList = std::vector<std::pair<std::string, std::string>>;

constexpr uint32_t kLoopback = 0x7F000001;

RowList Rows(CLevelChannel& channel)
{
    RowList rows;
    std::string label, value;
    for (uint32_t row = 0; channel.Describe(row, label, value); ++row) rows.emplace_back(label, value);
    return rows;
}

class UdpChannel : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_peer.Bind());
        // A local port of our own choosing: one the kernel just gave out and took back.
        CUdpPeer probe;
        ASSERT_TRUE(probe.Bind());
        m_localPort = probe.Port();
        probe.Close();
        m_channel.SetName("Vireo-2_1");
        m_channel.DatagramSettings() = {kLoopback, m_peer.Port(), m_localPort};
        m_channel.Settings().m_responseTimeout = 300;
        m_channel.Initialise();
    }

    int Send(const Bytes& bytes)
    {
        Bytes copy = bytes;
        uint32_t length = static_cast<uint32_t>(copy.size());
        const int result = m_channel.Send(copy.data(), &length);
        m_sentLength = length;
        return result;
    }

    int Receive(Bytes* bytes, uint32_t room)
    {
        bytes->assign(room, 0xEE);
        uint32_t length = room;
        const int result = m_channel.Receive(bytes->data(), &length);
        bytes->resize(std::min(length, room));
        return result;
    }

    // The channel sends one datagram; the peer receives it.
    void SendOne()
    {
        ASSERT_EQ(Send({0x5A}), 0);
        Bytes got;
        uint16_t from = 0;
        ASSERT_TRUE(m_peer.Receive(&got, 2000ms, &from));
        ASSERT_EQ(got, Bytes{0x5A});
        ASSERT_EQ(from, m_localPort);
    }

    // Datagrams from the peer reach the channel's socket before it reads:
    // a marker datagram sent last is waited for by a normal receive.
    CUdpPeer m_peer;
    uint16_t m_localPort = 0;
    CLevelChannelUDP m_channel;
    uint32_t m_sentLength = 0;
};

}  // namespace

TEST(UdpChannelRows, DefaultsAndGivenSettings)
{
    CLevelChannelUDP channel;
    EXPECT_EQ(channel.Kind(), kKindChannelUDP);
    EXPECT_EQ(Rows(channel), (RowList{{"IP-адрес", "0.0.0.0"},
                                      {"Удалённый UDP-порт", "5001"},
                                      {"Локальный UDP-порт", "6001"},
                                      {"Таймаут ожидания ответа", "3000 мс"},
                                      {"Количество попыток", "3"},
                                      {"Пауза перед запросом", "100 мс"},
                                      {"Период опроса", "0 мс"},
                                      {"Ключ шифрования", "не задан"}}));
    channel.DatagramSettings() = {(10u << 24) | (0u << 16) | (200u << 8) | 255u, 15001, 16001};
    channel.Settings().m_responseTimeout = 45;
    channel.SetKey("k");
    const RowList rows = Rows(channel);
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[0].second, "10.0.200.255");
    EXPECT_EQ(rows[1].second, "15001");
    EXPECT_EQ(rows[2].second, "16001");
    EXPECT_EQ(rows[3].second, "45 мс");
    EXPECT_EQ(rows[7].second, "задан");
}

TEST(UdpChannelDefaults, ADefaultChannelSendsTo5001FromLocalPort6001)
{
    if (!UdpPortFree(5001) || !UdpPortFree(6001)) GTEST_SKIP() << "port 5001 or 6001 is in use here";
    CUdpPeer device;
    ASSERT_TRUE(device.Bind("0.0.0.0", 5001));
    CLevelChannelUDP channel;
    channel.Initialise();
    uint8_t frame[] = {1, 3, 0, 0, 0, 1, 0x84, 0x0A};
    uint32_t length = sizeof frame;
    ASSERT_EQ(channel.Send(frame, &length), 0) << "0.0.0.0 is this host to the socket layer";
    EXPECT_EQ(channel.BoundPort(), 6001);
    Bytes got;
    uint16_t from = 0;
    ASSERT_TRUE(device.Receive(&got, 2000ms, &from));
    EXPECT_EQ(got, Bytes(frame, frame + sizeof frame));
    EXPECT_EQ(from, 6001);
}

TEST_F(UdpChannel, ReceiveBeforeTheFirstSendAnswers1AndMakesNoSocket)
{
    EXPECT_EQ(m_channel.State(), kChannelOpen);
    EXPECT_FALSE(m_channel.HasSocket());
    Bytes got;
    EXPECT_EQ(Receive(&got, 16), 1);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(m_channel.Receive(nullptr, nullptr), 1);
    EXPECT_FALSE(m_channel.HasSocket());
    EXPECT_TRUE(UdpPortFree(m_localPort)) << "something bound the local port";
}

TEST_F(UdpChannel, TheFirstSendBindsTheLocalPortAndEachSendIsOneDatagram)
{
    ASSERT_EQ(Send({1, 2, 3}), 0);
    EXPECT_EQ(m_sentLength, 3u);
    EXPECT_TRUE(m_channel.HasSocket());
    EXPECT_EQ(m_channel.BoundPort(), m_localPort);
    ASSERT_EQ(Send({4, 5}), 0);
    Bytes a, b;
    uint16_t from = 0;
    ASSERT_TRUE(m_peer.Receive(&a, 2000ms, &from));
    EXPECT_EQ(from, m_localPort);
    ASSERT_TRUE(m_peer.Receive(&b, 2000ms));
    EXPECT_EQ(a, (Bytes{1, 2, 3}));
    EXPECT_EQ(b, (Bytes{4, 5}));
    uint32_t length = 3;
    EXPECT_EQ(m_channel.Send(nullptr, &length), 1);
    EXPECT_EQ(m_channel.Send(nullptr, nullptr), 1);
}

TEST_F(UdpChannel, AReplyFromAnotherAddressIsTaken)
{
    SendOne();
    CUdpPeer gateway;
    ASSERT_TRUE(gateway.Bind("127.0.0.2"));
    ASSERT_TRUE(gateway.SendTo({0x01, 0x03, 0x02, 0xBE, 0xEF}, m_localPort));
    Bytes got;
    EXPECT_EQ(Receive(&got, 64), 0);
    EXPECT_EQ(got, (Bytes{0x01, 0x03, 0x02, 0xBE, 0xEF}));
}

TEST_F(UdpChannel, TwoDatagramsWaitingAreReadOneAtATime)
{
    SendOne();
    ASSERT_TRUE(m_peer.SendTo({1, 1, 1}, m_localPort));
    ASSERT_TRUE(m_peer.SendTo({2, 2}, m_localPort));
    Bytes got;
    EXPECT_EQ(Receive(&got, 64), 0);
    EXPECT_EQ(got, (Bytes{1, 1, 1})) << "the first datagram alone";
    EXPECT_EQ(Receive(&got, 64), 0);
    EXPECT_EQ(got, (Bytes{2, 2}));
}

TEST_F(UdpChannel, ADrainDiscardsEveryDatagramWaiting)
{
    SendOne();
    for (uint8_t i = 0; i < 5; ++i) ASSERT_TRUE(m_peer.SendTo(Bytes(150, i), m_localPort));
    ASSERT_TRUE(m_peer.SendTo({0xFF}, m_localPort));
    // Wait for the last one, so that all are there: the first is read normally.
    Bytes got;
    ASSERT_EQ(Receive(&got, 200), 0);
    ASSERT_EQ(got, Bytes(150, 0));
    EXPECT_EQ(m_channel.Receive(nullptr, nullptr), 0);
    const auto start = Clock::now();
    EXPECT_EQ(Receive(&got, 200), 1) << "a datagram outlived the drain";
    EXPECT_TRUE(got.empty());
    EXPECT_GE(ElapsedMs(start), 290) << "an empty socket waits the response timeout";
    EXPECT_TRUE(m_channel.HasSocket()) << "a time-out closed the socket";
}

TEST_F(UdpChannel, ADrainWithNothingPendingReturnsAtOnce)
{
    m_channel.Settings().m_responseTimeout = 3000;
    SendOne();
    const auto start = Clock::now();
    EXPECT_EQ(m_channel.Receive(nullptr, nullptr), 0);
    EXPECT_LT(ElapsedMs(start), 100) << "the drain waited";
}

TEST_F(UdpChannel, ALongDatagramFillsTheBufferAndTheRestIsLost)
{
    SendOne();
    ASSERT_TRUE(m_peer.SendTo({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, m_localPort));
    ASSERT_TRUE(m_peer.SendTo({42}, m_localPort));
    Bytes got;
    EXPECT_EQ(Receive(&got, 4), 0);
    EXPECT_EQ(got, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(Receive(&got, 16), 0);
    EXPECT_EQ(got, Bytes{42}) << "the rest of the long datagram came next";
}

TEST_F(UdpChannel, AnEmptyDatagramIsNoReply)
{
    SendOne();
    ASSERT_TRUE(m_peer.SendTo({}, m_localPort));
    Bytes got;
    EXPECT_EQ(Receive(&got, 16), 1);
    EXPECT_TRUE(got.empty());
}

TEST_F(UdpChannel, SilenceAnswers1AfterTheResponseTimeout)
{
    SendOne();
    Bytes got;
    const auto start = Clock::now();
    EXPECT_EQ(Receive(&got, 16), 1);
    EXPECT_TRUE(got.empty());
    EXPECT_GE(ElapsedMs(start), 290);
    EXPECT_LT(ElapsedMs(start), 1500);
    EXPECT_TRUE(m_channel.HasSocket());
}

TEST_F(UdpChannel, ALocalPortInUseFailsEverySendUntilItIsFree)
{
    CUdpPeer squatter;
    ASSERT_TRUE(squatter.Bind("0.0.0.0", m_localPort));
    EXPECT_EQ(Send({1}), 1);
    EXPECT_EQ(m_sentLength, 0u);
    EXPECT_FALSE(m_channel.HasSocket()) << "the socket that would not bind stayed";
    EXPECT_EQ(Send({2}), 1);
    squatter.Close();
    EXPECT_EQ(Send({3}), 0) << "the next Send binds again";
    Bytes got;
    ASSERT_TRUE(m_peer.Receive(&got, 2000ms));
    EXPECT_EQ(got, Bytes{3});
}

TEST_F(UdpChannel, CloseReleasesTheLocalPortAndOpenStartsAfresh)
{
    SendOne();
    m_channel.Close();
    EXPECT_EQ(m_channel.State(), kChannelClosed);
    EXPECT_TRUE(UdpPortFree(m_localPort));
    EXPECT_EQ(Send({1}), 1) << "send on a closed channel";
    EXPECT_EQ(m_channel.Open(), 0);
    EXPECT_EQ(m_channel.State(), kChannelOpen);
    EXPECT_FALSE(m_channel.HasSocket());
    SendOne();
}

// ---------------------------------------------------------------- pymodbus

TEST(UdpPymodbusPeer, ReadsTheServersRegistersInRtuFrames)
{
    CPymodbusUdpServer server;
    ASSERT_TRUE(server.Start()) << "pymodbus did not start";
    CUdpPeer probe;
    ASSERT_TRUE(probe.Bind());
    const uint16_t localPort = probe.Port();
    probe.Close();

    CLevelChannelUDP channel;
    channel.DatagramSettings() = {kLoopback, server.Port(), localPort};
    channel.Settings().m_responseTimeout = 2000;
    channel.Initialise();
    CModbusFrame frame;
    frame.SetMode(CModbusFrame::kModeRtu);
    frame.SetSlaveAddress(1);
    struct Read {
        uint16_t start, count;
    };
    for (const Read& r : {Read{0, 1}, Read{10, 20}, Read{100, 120}, Read{175, 125}}) {
        frame.SetFunctionCode(3);
        frame.SetStartAddress(r.start);
        frame.SetQuantity(r.count);
        ASSERT_TRUE(frame.BuildRequest());
        Bytes request(frame.FrameBytes(), frame.FrameBytes() + frame.FrameLength());
        uint32_t length = static_cast<uint32_t>(request.size());
        ASSERT_EQ(channel.Send(request.data(), &length), 0);
        const Bytes reply =
            ReceiveReply([&channel](uint8_t* b, uint32_t* n) { return channel.Receive(b, n); }, frame);
        ASSERT_EQ(frame.CheckReply(reply.data(), reply.size()), CModbusFrame::kCheckComplete)
            << reply.size() << " bytes for " << r.start << "+" << r.count;
        ASSERT_TRUE(frame.ParseReply(reply.data(), reply.size()));
        Bytes values(2u * r.count);
        ASSERT_EQ(frame.CopyValues(values.data(), r.count), r.count);
        EXPECT_EQ(values, PeerRegisterBytes(r.start, r.count)) << r.start << "+" << r.count;
    }
}
