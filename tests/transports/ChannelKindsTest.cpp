// Channels made by kind, as the configuration file and the channel dialog
// make them: defaults first, Initialise opening the transport.
#include "TransportPeers.h"
#include "config/LevelRoot.h"
#include "support/TempFolder.h"
#include "transports/ChannelFactory.h"
#include "transports/LevelChannelCOM.h"
#include "transports/LevelChannelTCP.h"
#include "transports/LevelChannelUDP.h"

#include <gtest/gtest.h>

namespace {

void ExpectCommonDefaults(const CLevelChannel& channel)
{
    const CChannelSettings& s = channel.Settings();
    EXPECT_EQ(s.m_responseTimeout, 3000u);
    EXPECT_EQ(s.m_attempts, 3u);
    EXPECT_EQ(s.m_pauseBeforeRequest, 100u);
    EXPECT_EQ(s.m_pollPeriod, 0u);
    EXPECT_EQ(s.m_slaveAddress, 1u);
    EXPECT_EQ(channel.GetKey(), "");
    EXPECT_EQ(channel.State(), kChannelClosed);
}

}  // namespace

TEST(ChannelKinds, EachKindIsMadeWithItsDefaults)
{
    std::unique_ptr<CLevelChannel> com = CreateChannel(kKindChannelCOM);
    ASSERT_NE(dynamic_cast<CLevelChannelCOM*>(com.get()), nullptr);
    EXPECT_EQ(com->Kind(), kKindChannelCOM);
    ExpectCommonDefaults(*com);
    const CComPortSettings& port = static_cast<CLevelChannelCOM&>(*com).PortSettings();
    EXPECT_EQ(port.m_portNumber, 0u);
    EXPECT_EQ(port.m_baudRate, 9600u);
    EXPECT_EQ(port.m_parity, 0u);

    std::unique_ptr<CLevelChannel> tcp = CreateChannel(kKindChannelTCP);
    ASSERT_NE(dynamic_cast<CLevelChannelTCP*>(tcp.get()), nullptr);
    EXPECT_EQ(tcp->Kind(), kKindChannelTCP);
    ExpectCommonDefaults(*tcp);
    const CTcpConnectionSettings& connection = static_cast<CLevelChannelTCP&>(*tcp).ConnectionSettings();
    EXPECT_EQ(connection.m_ipAddress, 0u);
    EXPECT_EQ(connection.m_tcpPort, 502u);
    EXPECT_EQ(connection.m_connectionTimeout, 5000u);

    std::unique_ptr<CLevelChannel> udp = CreateChannel(kKindChannelUDP);
    ASSERT_NE(dynamic_cast<CLevelChannelUDP*>(udp.get()), nullptr);
    EXPECT_EQ(udp->Kind(), kKindChannelUDP);
    ExpectCommonDefaults(*udp);
    const CUdpDatagramSettings& datagram = static_cast<CLevelChannelUDP&>(*udp).DatagramSettings();
    EXPECT_EQ(datagram.m_ipAddress, 0u);
    EXPECT_EQ(datagram.m_remotePort, 5001u);
    EXPECT_EQ(datagram.m_localPort, 6001u);

    for (uint8_t other : {uint8_t{0}, kKindRoot, uint8_t{5}, kKindGroup, kKindTag, uint8_t{0x82}}) {
        EXPECT_EQ(CreateChannel(other), nullptr) << int(other);
    }
}

TEST(ChannelKinds, InitialiseOpensTheTransport)
{
    CTempFolder home;
    CScopedEnv data("XDG_DATA_HOME", home.Path());
    CLevelRoot root;
    for (uint8_t kind : {kKindChannelTCP, kKindChannelUDP, kKindChannelCOM}) {
        std::unique_ptr<CLevelChannel> channel = CreateChannel(kind);
        channel->SetName("Vireo-2_" + std::to_string(kind));
        if (kind == kKindChannelCOM) {
            static_cast<CLevelChannelCOM&>(*channel).PortSettings().m_portNumber =
                222;  // not on this machine
        }
        channel->Initialise();
        // The sockets open lazily; a serial port that is not there fails to open.
        EXPECT_EQ(channel->State(), kind == kKindChannelCOM ? kChannelOpeningFailed : kChannelOpen)
            << int(kind);
        EXPECT_EQ(channel->RunFlag(), 1u);
        CLevelChannel* raw = channel.get();
        root.AddLevel(std::move(channel));
        EXPECT_EQ(raw->FullPath(), "Каналы связи.Vireo-2_" + std::to_string(kind));
    }
}

TEST(ChannelKinds, ShutdownAndDestructionReleaseTheTransport)
{
    CUdpPeer peer;
    ASSERT_TRUE(peer.Bind());
    CUdpPeer probe;
    ASSERT_TRUE(probe.Bind());
    const uint16_t localPort = probe.Port();
    probe.Close();
    {
        CLevelChannelUDP channel;
        channel.DatagramSettings() = {0x7F000001, peer.Port(), localPort};
        channel.Initialise();
        uint8_t byte = 1;
        uint32_t length = 1;
        ASSERT_EQ(channel.Send(&byte, &length), 0);
        EXPECT_FALSE(UdpPortFree(localPort));
        channel.Shutdown();
        EXPECT_EQ(channel.State(), kChannelClosed);
        EXPECT_EQ(channel.RunFlag(), 0u);
        EXPECT_TRUE(UdpPortFree(localPort));
        channel.Initialise();
        ASSERT_EQ(channel.Send(&byte, &length), 0);
        EXPECT_FALSE(UdpPortFree(localPort));
    }
    EXPECT_TRUE(UdpPortFree(localPort)) << "the destructor left the socket open";
}

// A damaged or foreign file can hold any value: what a channel waits is kept
// within the range its dialog accepts, so that no wait becomes endless.
TEST(ChannelKinds, TimeoutsAndPausesAreUsedWithinTheDialogRanges)
{
    struct Row {
        uint32_t stored;
        uint32_t serialResponse;
        uint32_t networkResponse;
        uint32_t pause;
        uint32_t connection;
    };
    const Row rows[] = {{0, 50, 50, 0, 50},
                        {3000, 3000, 3000, 3000, 3000},
                        {45000, 30000, 45000, 10000, 45000},
                        {0x80000000u, 30000, 60000, 10000, 60000},
                        {UINT32_MAX, 30000, 60000, 10000, 60000}};
    for (const Row& row : rows) {
        for (uint8_t kind : {kKindChannelCOM, kKindChannelTCP, kKindChannelUDP}) {
            std::unique_ptr<CLevelChannel> channel = CreateChannel(kind);
            channel->Settings().m_responseTimeout = row.stored;
            channel->Settings().m_pauseBeforeRequest = row.stored;
            EXPECT_EQ(channel->ResponseTimeoutMs(),
                      kind == kKindChannelCOM ? row.serialResponse : row.networkResponse)
                << row.stored << ", kind " << int(kind);
            EXPECT_EQ(channel->PauseBeforeRequestMs(), row.pause) << row.stored;
        }
        CLevelChannelTCP tcp;
        tcp.ConnectionSettings().m_connectionTimeout = row.stored;
        EXPECT_EQ(tcp.ConnectionTimeoutMs(), row.connection) << row.stored;
    }
}
