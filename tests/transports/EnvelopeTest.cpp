// Frames through a real transport inside the packet envelope: the cipher
// library wraps them, a peer of the test unwraps them with OpenSSL and lets
// libmodbus answer.
#include "TransportPeers.h"
#include "platform/DynamicLibrary.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "transports/LevelChannelTCP.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// The AES key a channel key gives: its code page 1251 bytes, zero-filled.
CipherKey KeyOf(const std::string& utf8)
{
    CipherKey key{};
    const std::string ansi = Utf8ToCp1251(utf8);
    std::memcpy(key.data(), ansi.data(), std::min(ansi.size(), key.size()));
    return key;
}

class EnvelopeOverTcp : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_library.Load(JoinPath(ProgramFolder(), SharedLibraryFileName("mardelCrypto.dll"))))
            << m_library.LastError();
        m_services = std::make_unique<CExchangeServices>(
            DetachedExchangeServices().WithCipher(m_library.Entry<EncryptPacketFunction>("_encryptPacket"),
                                                  m_library.Entry<DecryptPacketFunction>("_decryptPacket")));
        ASSERT_NE(m_services->m_encrypt, nullptr);
        ASSERT_NE(m_services->m_decrypt, nullptr);
    }

    // One read of count registers at start through the channel's exchange.
    bool Read(CLevelChannelTCP& channel, uint16_t start, uint16_t count, Bytes* values)
    {
        CModbusFrame frame;
        frame.SetMode(CModbusFrame::kModeTcp);
        frame.SetFunctionCode(3);
        frame.SetStartAddress(start);
        frame.SetQuantity(count);
        EXPECT_TRUE(frame.BuildRequest());
        auto transaction = std::make_unique<CTransaction>();
        std::memcpy(transaction->m_request.m_data.data(), frame.FrameBytes(), frame.FrameLength());
        transaction->m_request.m_length = static_cast<uint32_t>(frame.FrameLength());
        transaction->m_expectedReplyLength = frame.ExpectedReplyLength();
        if (!channel.Exchange().RunTransaction(*transaction)) return false;
        const CExchangeBuffer& reply = transaction->m_response;
        if (!frame.ParseReply(reply.m_data.data(), reply.m_length)) return false;
        values->assign(2u * count, 0);
        return frame.CopyValues(values->data(), count) == count;
    }

    CDynamicLibrary m_library;
    // A channel's services with the library's cipher.
    std::unique_ptr<CExchangeServices> m_services;
};

}  // namespace

TEST_F(EnvelopeOverTcp, FramesTravelEncipheredUnderTheChannelKey)
{
    const std::string channelKey = "Ключ канала";
    CEnvelopeTcpPeer peer;
    ASSERT_TRUE(peer.Start(KeyOf(channelKey)));
    CLevelChannelTCP channel;
    channel.SetName("Vireo-2_1");
    channel.SetKey(channelKey);
    channel.ConnectionSettings() = {kLoopback, peer.Port(), 1000};
    channel.Settings().m_responseTimeout = 1000;
    channel.Settings().m_pauseBeforeRequest = 0;
    channel.Initialise();
    channel.Exchange().SetServices(*m_services);

    Bytes values;
    ASSERT_TRUE(Read(channel, 0, 4, &values));
    EXPECT_EQ(values, PeerRegisterBytes(0, 4));
    ASSERT_TRUE(Read(channel, 150, 125, &values));  // a 255-byte reply, a 262-byte packet
    EXPECT_EQ(values, PeerRegisterBytes(150, 125));
    EXPECT_EQ(peer.Packets(), 2) << "every request arrived as one packet";
    EXPECT_EQ(peer.Rejected(), 0) << "plain bytes reached the peer";
}

TEST_F(EnvelopeOverTcp, AnotherKeyGetsNoAnswer)
{
    CEnvelopeTcpPeer peer;
    ASSERT_TRUE(peer.Start(KeyOf("ключ устройства")));
    CLevelChannelTCP channel;
    channel.SetName("Vireo-2_1");
    channel.SetKey("другой ключ");
    channel.ConnectionSettings() = {kLoopback, peer.Port(), 1000};
    channel.Settings().m_responseTimeout = 200;
    channel.Settings().m_pauseBeforeRequest = 0;
    channel.Settings().m_attempts = 2;
    channel.Initialise();
    channel.Exchange().SetServices(*m_services);
    Bytes values;
    EXPECT_FALSE(Read(channel, 0, 4, &values));
    // Both attempts went out as packets; the peer may still be busy with the
    // last one when the exchange gives up.
    EXPECT_TRUE(peer.WaitSeen(2, std::chrono::seconds(3)));
    EXPECT_EQ(peer.Packets() + peer.Rejected(), 2);
}
