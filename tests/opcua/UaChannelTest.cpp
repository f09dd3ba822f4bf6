// The connection protocol without sockets: our client channel against the
// server's, byte for byte.

#include "UaTestBytes.h"
#include "opcua/protocol/UaChannel.h"
#include "opcua/protocol/UaClientChannel.h"

#include <cstring>
#include <functional>
#include <gtest/gtest.h>

using namespace ua;

namespace {

struct ChunkInfo {
    std::string type;
    char chunkType;
    uint32_t sequence;
    uint32_t tokenId;
};

// The chunks of a server's output with their sequence numbers.
std::vector<ChunkInfo> Chunks(const std::string& bytes)
{
    std::vector<ChunkInfo> out;
    for (size_t pos = 0; pos + 8 <= bytes.size();) {
        uint32_t size;
        std::memcpy(&size, bytes.data() + pos + 4, 4);
        ChunkInfo c{bytes.substr(pos, 3), bytes[pos + 3], 0, 0};
        Decoder d(reinterpret_cast<const uint8_t*>(bytes.data() + pos + 8), size - 8);
        uint32_t channelId = 0;
        SequenceHeader seq;
        if (c.type == "MSG") {
            d(channelId, c.tokenId, seq);
        } else if (c.type == "OPN") {
            AsymmetricSecurityHeader security;
            d(channelId, security, seq);
        }
        c.sequence = seq.sequenceNumber;
        out.push_back(c);
        pos += size;
    }
    return out;
}

class UaChannelTest : public ::testing::Test {
   protected:
    // Sends client bytes to the server; the server's answer goes back to the client.
    CUaChannel::FeedResult ToServer(const std::string& bytes)
    {
        m_lastOut.clear();
        CUaChannel::FeedResult r = m_server.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                                 &m_lastOut, &m_requests);
        m_client.Feed(m_lastOut.data(), m_lastOut.size(), &m_events);
        return r;
    }
    void Connect()
    {
        ASSERT_EQ(ToServer(m_client.Hello("opc.tcp://localhost:4840")).status, kGood);
        uint32_t id;
        ASSERT_EQ(ToServer(m_client.Open(SecurityTokenRequestType::Issue, &id)).status, kGood);
        ASSERT_TRUE(m_server.ChannelOpen());
        m_events.clear();
    }
    std::string Request(size_t bodySize, uint32_t* id, size_t chunkBody = 0)
    {
        return m_client.Message(std::string(bodySize, 'x'), id, chunkBody);
    }
    StatusCode LastError() const
    {
        return !m_events.empty() && m_events.back().kind == CUaClientChannel::Event::Error
                   ? m_events.back().status
                   : kGood;
    }

    CUaChannel m_server;
    CUaClientChannel m_client;
    std::string m_lastOut;
    std::vector<CUaChannel::Request> m_requests;
    std::vector<CUaClientChannel::Event> m_events;
};

TEST_F(UaChannelTest, HelloNegotiatesBufferSizesAndPublishesTheLimits)
{
    CUaClientChannel::Options o;
    o.receiveBufferSize = 8192;
    o.sendBufferSize = 16384;
    m_client = CUaClientChannel(o);
    ASSERT_EQ(ToServer(m_client.Hello("opc.tcp://h:1")).status, kGood);
    const AcknowledgeMessage& ack = m_client.Acknowledge();
    EXPECT_EQ(ack.receiveBufferSize, 16384u);
    EXPECT_EQ(ack.sendBufferSize, 8192u);
    EXPECT_EQ(ack.maxMessageSize, ChannelLimits().maxMessageSize);
    EXPECT_EQ(ack.maxChunkCount, ChannelLimits().maxChunkCount);
    EXPECT_EQ(m_server.EndpointUrl(), "opc.tcp://h:1");
}

TEST_F(UaChannelTest, RevisedLifetimeIsNeverBelowARequestWithinTheHour)
{
    const std::pair<uint32_t, uint32_t> cases[] = {
        {600000, 600000}, {3600000, 3600000}, {7200000, 3600000}, {0, 3600000}, {1000, 10000}};
    for (auto [requested, revised] : cases) {
        CUaClientChannel::Options o;
        o.requestedLifetime = requested;
        CUaClientChannel client(o);
        CUaChannel server;
        std::string out;
        std::vector<CUaChannel::Request> requests;
        std::vector<CUaClientChannel::Event> events;
        uint32_t id;
        for (const std::string& bytes :
             {client.Hello("opc.tcp://h:1"), client.Open(SecurityTokenRequestType::Issue, &id)})
            server.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &out, &requests);
        client.Feed(out.data(), out.size(), &events);
        EXPECT_EQ(client.Token().revisedLifetime, revised) << "requested " << requested;
    }
}

TEST_F(UaChannelTest, RequestsAssembleFromChunksAndResponsesAreCutForTheClient)
{
    Connect();
    uint32_t id;
    ASSERT_EQ(ToServer(Request(100000, &id, 1000)).status, kGood);
    ASSERT_EQ(m_requests.size(), 1u);
    EXPECT_EQ(m_requests[0].requestId, id);
    EXPECT_EQ(m_requests[0].body, std::string(100000, 'x'));

    std::string out;
    std::string body(200000, 'y');
    ASSERT_EQ(m_server.EncodeMessage(id, body, &out), kGood);
    std::vector<ChunkInfo> chunks = Chunks(out);
    ASSERT_EQ(chunks.size(), (body.size() + 65535 - 24 - 1) / (65535 - 24));
    // One counter per channel: the OPN response was 1, so the chunks follow it.
    for (size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].sequence, 2 + i);
        EXPECT_EQ(chunks[i].chunkType, i + 1 == chunks.size() ? 'F' : 'C');
    }
    m_client.Feed(out.data(), out.size(), &m_events);
    ASSERT_EQ(m_events.size(), 1u);
    EXPECT_EQ(m_events[0].body, body);
}

TEST_F(UaChannelTest, ResponsesBeyondTheClientsLimitsAreRefusedWhole)
{
    CUaClientChannel::Options o;
    o.maxMessageSize = 100000;
    o.maxChunkCount = 2;
    m_client = CUaClientChannel(o);
    Connect();
    std::string out;
    EXPECT_EQ(m_server.EncodeMessage(1, std::string(100001, 'z'), &out), kBadResponseTooLarge);
    EXPECT_EQ(m_server.EncodeMessage(1, std::string(3 * 65535, 'z'), &out), kBadResponseTooLarge);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(m_server.EncodeMessage(1, std::string(2 * 45000, 'z'), &out), kGood);
}

TEST_F(UaChannelTest, AbortChunkDropsThePartialRequest)
{
    Connect();
    uint32_t id;
    std::string chunks = Request(3000, &id, 1000);
    // Two 'C' chunks, then an abort instead of the final chunk.
    uint32_t firstSize, secondSize;
    std::memcpy(&firstSize, chunks.data() + 4, 4);
    std::memcpy(&secondSize, chunks.data() + firstSize + 4, 4);
    std::string partial = chunks.substr(0, firstSize + secondSize);
    ASSERT_EQ(ToServer(partial).status, kGood);
    EXPECT_GT(m_server.PendingBytes(), 0u);
    char header[8];
    uint32_t channel = m_client.ChannelId(), token = m_client.TokenId();
    std::memcpy(header, &channel, 4);
    std::memcpy(header + 4, &token, 4);
    std::string abort("MSGA\0\0\0\0", 8);
    abort.append(header, 8);
    Encoder e(abort);
    // The final chunk's sequence number goes to the abort chunk.
    e(uint32_t{4}, id, kBadRequestTooLarge, std::string("gave up"));
    uint32_t size = static_cast<uint32_t>(abort.size());
    std::memcpy(abort.data() + 4, &size, 4);
    ASSERT_EQ(ToServer(abort).status, kGood);
    EXPECT_EQ(m_server.PendingBytes(), 0u);
    EXPECT_TRUE(m_requests.empty());
    ASSERT_EQ(ToServer(Request(10, &id)).status, kGood);
    EXPECT_EQ(m_requests.size(), 1u);
}

TEST_F(UaChannelTest, RenewedTokenReplacesTheOldOnceTheClientUsesIt)
{
    Connect();
    uint32_t oldToken = m_client.TokenId();
    uint32_t id;
    ASSERT_EQ(ToServer(m_client.Open(SecurityTokenRequestType::Renew, &id)).status, kGood);
    uint32_t newToken = m_client.TokenId();
    EXPECT_NE(newToken, oldToken);
    EXPECT_EQ(m_client.ChannelId(), m_server.ChannelId());

    // Old token still good; answers go out under it until the client moves.
    m_client.SetTokenId(oldToken);
    ASSERT_EQ(ToServer(Request(10, &id)).status, kGood);
    std::string out;
    ASSERT_EQ(m_server.EncodeMessage(id, "r", &out), kGood);
    EXPECT_EQ(Chunks(out)[0].tokenId, oldToken);

    m_client.SetTokenId(newToken);
    ASSERT_EQ(ToServer(Request(10, &id)).status, kGood);
    out.clear();
    ASSERT_EQ(m_server.EncodeMessage(id, "r", &out), kGood);
    EXPECT_EQ(Chunks(out)[0].tokenId, newToken);

    m_client.SetTokenId(oldToken);
    EXPECT_EQ(ToServer(Request(10, &id)).status, kBadSecureChannelTokenUnknown);
    EXPECT_EQ(LastError(), kBadSecureChannelTokenUnknown);
}

TEST_F(UaChannelTest, SequenceNumbersWrapOnceNearTheirEnd)
{
    // The first number after a wrap is below 1024; the wrap comes past 4294966271.
    m_client.SetLastSequenceNumber(4294966270u);
    Connect();
    uint32_t id;
    ASSERT_EQ(ToServer(Request(10, &id)).status, kGood);  // 4294966272
    m_client.SetLastSequenceNumber(0);
    ASSERT_EQ(ToServer(Request(10, &id)).status, kGood);  // 1
    EXPECT_EQ(m_requests.size(), 2u);
}

TEST_F(UaChannelTest, CloseSecureChannelEndsTheConnection)
{
    Connect();
    CUaChannel::FeedResult r = ToServer(m_client.Close());
    EXPECT_EQ(r.status, kGood);
    EXPECT_TRUE(r.closeRequested);
    EXPECT_TRUE(m_lastOut.empty());
}

TEST_F(UaChannelTest, LengthFieldBeyondTheBufferIsRefusedBeforeItsBytesArrive)
{
    Connect();
    std::string header = Bytes("4d 53 47 46 00 00 00 80");  // MSGF, 2 GiB
    EXPECT_EQ(ToServer(header).status, kBadTcpMessageTooLarge);
    EXPECT_EQ(LastError(), kBadTcpMessageTooLarge);
}

struct Violation {
    const char* name;
    // Builds what the client sends after Hello and Open (or instead of them).
    std::function<std::string(CUaClientChannel&)> send;
    bool connectFirst;
    StatusCode expected;
};

class UaChannelViolationTest : public UaChannelTest, public ::testing::WithParamInterface<Violation> {};

TEST_P(UaChannelViolationTest, ClosesWithAnErrorMessage)
{
    if (GetParam().connectFirst) Connect();
    CUaChannel::FeedResult r = ToServer(GetParam().send(m_client));
    EXPECT_EQ(r.status, GetParam().expected);
    EXPECT_EQ(LastError(), GetParam().expected);
    EXPECT_TRUE(m_requests.empty());
    // Nothing more is taken on a closed connection.
    uint32_t id;
    EXPECT_NE(ToServer(m_client.Message("x", &id)).status, kGood);
}

std::string Garbage(const char* hex)
{
    return Bytes(hex);
}

INSTANTIATE_TEST_SUITE_P(
    Channel, UaChannelViolationTest,
    ::testing::Values(
        Violation{"MessageBeforeHello",
                  [](CUaClientChannel& c) {
                      uint32_t id;
                      return c.Message("x", &id);
                  },
                  false, kBadTcpMessageTypeInvalid},
        Violation{"MessageBeforeOpen",
                  [](CUaClientChannel& c) {
                      uint32_t id;
                      return c.Hello("opc.tcp://h:1") + c.Message("x", &id);
                  },
                  false, kBadTcpSecureChannelUnknown},
        Violation{"SecondHello", [](CUaClientChannel& c) { return c.Hello("opc.tcp://h:1"); }, true,
                  kBadTcpMessageTypeInvalid},
        Violation{"UnknownMessageType", [](CUaClientChannel&) { return Garbage("58 59 5a 46 08 00 00 00"); },
                  true, kBadTcpMessageTypeInvalid},
        Violation{"ChunkSizeBelowTheHeader",
                  [](CUaClientChannel&) { return Garbage("4d 53 47 46 04 00 00 00"); }, true,
                  kBadTcpMessageTypeInvalid},
        Violation{"IntermediateChunkTypeOnHello",
                  [](CUaClientChannel& c) {
                      std::string h = c.Hello("opc.tcp://h:1");
                      h[3] = 'C';
                      return h;
                  },
                  false, kBadTcpMessageTypeInvalid},
        Violation{"HelloWithTinyBuffers",
                  [](CUaClientChannel&) {
                      CUaClientChannel::Options o;
                      o.receiveBufferSize = 1024;
                      return CUaClientChannel(o).Hello("opc.tcp://h:1");
                  },
                  false, kBadTcpNotEnoughResources},
        Violation{"HelloUrlTooLong",
                  [](CUaClientChannel& c) { return c.Hello("opc.tcp://" + std::string(5000, 'h')); }, false,
                  kBadTcpEndpointUrlInvalid},
        Violation{"HelloTruncatedBody",
                  [](CUaClientChannel&) { return Garbage("48 45 4c 46 0c 00 00 00 00 00 00 00"); }, false,
                  kBadDecodingError},
        Violation{"SkippedSequenceNumber",
                  [](CUaClientChannel& c) {
                      c.SkipSequenceNumbers(1);
                      uint32_t id;
                      return c.Message("x", &id);
                  },
                  true, kBadSequenceNumberInvalid},
        Violation{"UnknownToken",
                  [](CUaClientChannel& c) {
                      c.SetTokenId(c.TokenId() + 7);
                      uint32_t id;
                      return c.Message("x", &id);
                  },
                  true, kBadSecureChannelTokenUnknown},
        Violation{"ChunkCountAboveTheLimit",
                  [](CUaClientChannel& c) {
                      uint32_t id;
                      return c.Message(std::string(ChannelLimits().maxChunkCount + 1, 'c'), &id, 1);
                  },
                  true, kBadTcpMessageTooLarge},
        Violation{"RenewOfAnotherChannel",
                  [](CUaClientChannel& c) {
                      c.SetChannelId(c.ChannelId() + 1);
                      uint32_t id;
                      return c.Open(SecurityTokenRequestType::Renew, &id);
                  },
                  true, kBadTcpSecureChannelUnknown},
        Violation{"SequenceNumberRestartingTooEarly",
                  [](CUaClientChannel& c) {
                      c.SetLastSequenceNumber(0);
                      uint32_t id;
                      return c.Message("x", &id);
                  },
                  true, kBadSequenceNumberInvalid},
        Violation{"IssueOnAnOpenChannel",
                  [](CUaClientChannel& c) {
                      uint32_t id;
                      return c.Open(SecurityTokenRequestType::Issue, &id);
                  },
                  true, kBadRequestTypeInvalid}),
    [](const auto& info) { return info.param.name; });

TEST_F(UaChannelTest, OpenWithAnotherSecurityPolicyIsRefused)
{
    ASSERT_EQ(ToServer(m_client.Hello("opc.tcp://h:1")).status, kGood);
    uint32_t id;
    std::string open = m_client.Open(SecurityTokenRequestType::Issue, &id);
    // The policy URI ends in "#None": make it another policy of the same length.
    size_t at = open.find("#None");
    ASSERT_NE(at, std::string::npos);
    open.replace(at, 5, "#Nope");
    EXPECT_EQ(ToServer(open).status, kBadSecurityPolicyRejected);
}

TEST_F(UaChannelTest, MessageAboveTheSizeLimitIsRefused)
{
    ChannelLimits limits;
    limits.maxMessageSize = 50000;
    m_server = CUaChannel(limits);
    Connect();
    uint32_t id;
    EXPECT_EQ(ToServer(Request(50001, &id, 10000)).status, kBadTcpMessageTooLarge);
}

}  // namespace
