// What a client should not send, on raw sockets: each bad connection gets an
// Error message with the right code and is closed, and a well-behaved client
// is served afterwards. Large responses travel in chunks or are refused whole.

#include "UaTestBytes.h"
#include "UaTestServer.h"
#include "opcua/UaLimits.h"
#include "opcua/protocol/UaChannel.h"

#include <functional>

using namespace ua;

namespace {

class UaRobustnessTest : public UaServerFixture {
   protected:
    // Sends the bytes and answers the Error message's code once the server has
    // closed the connection (kGood when it is still open, or closed silently).
    StatusCode ErrorAndClose(CUaClient& client, const std::string& bytes)
    {
        EXPECT_EQ(client.SendRaw(bytes), kGood);
        StatusCode error = kGood;
        for (;;) {
            CUaClientChannel::Event ev;
            StatusCode s = client.Receive(&ev);
            if (s == kBadSecureChannelClosed) return error;
            if (s != kGood) return s == kBadTimeout ? kGood : s;
            if (ev.kind == CUaClientChannel::Event::Error) error = ev.status;
        }
    }
    void ExpectServed()
    {
        CUaClient good;
        Open(good, "after");
        EXPECT_EQ(ReadState(good), kGood);
    }
};

struct BadInput {
    const char* name;
    bool afterOpen;  // sent on an open secure channel, else right after connecting
    std::function<std::string(CUaClient&)> bytes;
    StatusCode expected;
};

class UaBadInputTest : public UaRobustnessTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(UaBadInputTest, ClosesThatConnectionWithAnErrorAndServesOthers)
{
    CUaClient client(CUaClientChannel::Options(), 3000);
    const BadInput& c = GetParam();
    if (c.afterOpen)
        ASSERT_EQ(client.Connect("127.0.0.1", m_port), kGood);
    else
        ASSERT_EQ(client.ConnectSocket("127.0.0.1", m_port), kGood);
    EXPECT_EQ(ErrorAndClose(client, c.bytes(client)), c.expected);
    ExpectServed();
}

std::string Header(const char* type, char chunk, uint32_t size)
{
    std::string h(type, 3);
    h.push_back(chunk);
    h.append(reinterpret_cast<const char*>(&size), 4);
    return h;
}

INSTANTIATE_TEST_SUITE_P(
    Raw, UaBadInputTest,
    ::testing::Values(
        BadInput{"LengthOfTwoGigabytes", true, [](CUaClient&) { return Header("MSG", 'F', 0x80000000u); },
                 kBadTcpMessageTooLarge},
        BadInput{"UnknownMessageType", true, [](CUaClient&) { return Header("XYZ", 'F', 8); },
                 kBadTcpMessageTypeInvalid},
        BadInput{"AcknowledgeFromTheClient", true, [](CUaClient&) { return Header("ACK", 'F', 8); },
                 kBadTcpMessageTypeInvalid},
        BadInput{"SkippedSequenceNumber", true,
                 [](CUaClient& c) {
                     c.Channel().SkipSequenceNumbers(5);
                     uint32_t id;
                     return c.Channel().Request(enc::kGetEndpointsRequest, GetEndpointsRequest{}, &id);
                 },
                 kBadSequenceNumberInvalid},
        BadInput{"ChunkCountAboveTheLimit", true,
                 [](CUaClient& c) {
                     uint32_t id;
                     return c.Channel().Message(std::string(ChannelLimits().maxChunkCount + 1, 'x'), &id, 1);
                 },
                 kBadTcpMessageTooLarge},
        BadInput{"UndecodableRequestHeader", true,
                 [](CUaClient& c) {
                     uint32_t id;
                     return c.Channel().Message(Bytes("01 00 7b 02 ff ff"), &id);  // Read, then a bad NodeId
                 },
                 kBadDecodingError},
        BadInput{"GarbageInsteadOfHello", false, [](CUaClient&) { return std::string(64, '\x5a'); },
                 kBadTcpMessageTooLarge},
        BadInput{"MessageBeforeHello", false,
                 [](CUaClient&) { return Header("MSG", 'F', 24) + std::string(16, '\0'); },
                 kBadTcpMessageTypeInvalid},
        BadInput{"HelloCutShort", false,
                 [](CUaClient& c) { return c.Channel().Hello("opc.tcp://x:1").substr(0, 20); }, kGood}),
    [](const auto& info) { return info.param.name; });

TEST_F(UaRobustnessTest, TruncatedMessageThenSilenceHarmsNobody)
{
    CUaClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", m_port), kGood);
    uint32_t id;
    std::string message = client.Channel().Request(enc::kGetEndpointsRequest, GetEndpointsRequest{}, &id);
    ASSERT_EQ(client.SendRaw(message.substr(0, message.size() / 2)), kGood);
    ExpectServed();
    client.Drop();
    ExpectServed();
}

TEST_F(UaRobustnessTest, BodyThatDoesNotDecodeGetsAFault)
{
    CUaClient client;
    Open(client);
    // A Read whose list of nodes claims more than there is.
    EXPECT_EQ(FaultFor(client, enc::kReadRequest, 5, 0.0, int32_t{2}, int32_t{50}), kBadDecodingError);
    ExpectServed();
}

TEST_F(UaRobustnessTest, LargeResponsesTravelInSmallChunksOrAreRefusedWhole)
{
    CUaClientChannel::Options small;
    small.receiveBufferSize = 8192;
    CUaClient client(small);
    Open(client);
    ReadRequest read;
    read.nodesToRead.assign(35000, ReadValueId{NodeId::Numeric(id::kServerStatus), 13, "", {}});
    ReadResponse response;
    ASSERT_EQ(client.Call(enc::kReadRequest, read, enc::kReadResponse, &response), kGood);
    ASSERT_EQ(response.results.size(), 35000u);
    EXPECT_NE(BoxedAs<ExtensionObject>(response.results.back().value.scalar), nullptr);

    CUaClientChannel::Options limited;
    limited.maxMessageSize = 1 << 20;
    CUaClient capped(limited);
    Open(capped);
    EXPECT_EQ(capped.Call(enc::kReadRequest, read, enc::kReadResponse, &response), kBadResponseTooLarge);
    read.nodesToRead.resize(10);
    EXPECT_EQ(capped.Call(enc::kReadRequest, read, enc::kReadResponse, &response), kGood);
}

TEST_F(UaRobustnessTest, ConnectionsBeyondTheLimitAreTurnedAway)
{
    std::vector<std::unique_ptr<CUaClient>> clients;
    for (uint32_t i = 0; i < kMaxConnections; ++i) {
        clients.push_back(std::make_unique<CUaClient>());
        ASSERT_EQ(clients.back()->Connect("127.0.0.1", m_port), kGood) << i;
    }
    CUaClient extra;
    EXPECT_EQ(extra.Connect("127.0.0.1", m_port), kBadTcpServerTooBusy);
    clients.pop_back();  // one goes: the next is welcome again
    EXPECT_TRUE(SpinUntil([&] {
        CUaClient again;
        return again.Connect("127.0.0.1", m_port) == kGood;
    }));
}

}  // namespace
