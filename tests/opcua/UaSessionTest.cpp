// Discovery and sessions over a real socket: endpoints as the client dialled
// them, anonymous sessions that count as clients, outlive their channel and
// release their items when they end or time out.

#include "UaTestServer.h"
#include "opcua/UaLimits.h"
#include "opcua/protocol/UaChannel.h"

#include <chrono>
#include <thread>

using namespace ua;

namespace {

class UaSessionTest : public UaServerFixture {};

TEST_F(UaSessionTest, GetEndpointsAnswersWithTheUrlTheClientDialled)
{
    CUaClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", m_port, "opc.tcp://other-name:" + std::to_string(m_port)), kGood);
    GetEndpointsRequest request;
    GetEndpointsResponse response;
    ASSERT_EQ(client.Call(enc::kGetEndpointsRequest, request, enc::kGetEndpointsResponse, &response), kGood);
    ASSERT_EQ(response.endpoints.size(), 1u);
    const EndpointDescription& e = response.endpoints[0];
    EXPECT_EQ(e.endpointUrl, "opc.tcp://other-name:" + std::to_string(m_port));
    EXPECT_EQ(e.securityPolicyUri, kSecurityPolicyNone);
    EXPECT_EQ(e.securityMode, MessageSecurityMode::None);
    EXPECT_EQ(e.transportProfileUri, kTransportProfileBinary);
    ASSERT_EQ(e.userIdentityTokens.size(), 1u);
    EXPECT_EQ(e.userIdentityTokens[0].tokenType, UserTokenType::Anonymous);
    EXPECT_FALSE(e.userIdentityTokens[0].policyId.empty());
    EXPECT_EQ(e.server.applicationName.text, "UaTest");

    request.endpointUrl = Url();
    ASSERT_EQ(client.Call(enc::kGetEndpointsRequest, request, enc::kGetEndpointsResponse, &response), kGood);
    EXPECT_EQ(response.endpoints[0].endpointUrl, Url());
    request.profileUris = {"http://opcfoundation.org/UA-Profile/Transport/https-uabinary"};
    ASSERT_EQ(client.Call(enc::kGetEndpointsRequest, request, enc::kGetEndpointsResponse, &response), kGood);
    EXPECT_TRUE(response.endpoints.empty());

    FindServersRequest find;
    FindServersResponse servers;
    ASSERT_EQ(client.Call(enc::kFindServersRequest, find, enc::kFindServersResponse, &servers), kGood);
    ASSERT_EQ(servers.servers.size(), 1u);
    EXPECT_EQ(servers.servers[0].applicationUri, e.server.applicationUri);
}

TEST_F(UaSessionTest, AnonymousSessionCountsAsAClientUntilClosed)
{
    EXPECT_FALSE(DAServerInUse());
    CUaClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", m_port), kGood);
    ASSERT_EQ(client.OpenSession("counted"), kGood);
    const CreateSessionResponse& s = client.Session();
    EXPECT_TRUE(s.serverNonce.bytes.size() >= 32);
    EXPECT_EQ(s.revisedSessionTimeout, 60000);
    ASSERT_FALSE(s.serverEndpoints.empty());
    EXPECT_EQ(s.serverEndpoints[0].endpointUrl, Url());
    EXPECT_TRUE(DAServerInUse());
    EXPECT_EQ(client.CloseSession(), kGood);
    EXPECT_FALSE(DAServerInUse());
    // The token means nothing once the session is gone.
    EXPECT_EQ(ReadState(client), kBadSessionIdInvalid);
}

struct IdentityCase {
    const char* name;
    ExtensionObject token;
    StatusCode expected;
};

class UaIdentityTest : public UaServerFixture, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(UaIdentityTest, OnlyAnonymousUsersAreActivated)
{
    CUaClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", m_port), kGood);
    CreateSessionRequest create;
    create.requestedSessionTimeout = 10000;
    CreateSessionResponse created;
    ASSERT_EQ(client.Call(enc::kCreateSessionRequest, create, enc::kCreateSessionResponse, &created), kGood);
    client.SetToken(created.authenticationToken);
    ActivateSessionRequest activate;
    activate.userIdentityToken = GetParam().token;
    ActivateSessionResponse activated;
    EXPECT_EQ(client.Call(enc::kActivateSessionRequest, activate, enc::kActivateSessionResponse, &activated),
              GetParam().expected);
}

ExtensionObject UserName()
{
    ExtensionObject x;
    x.typeId = NodeId::Numeric(enc::kUserNameIdentityToken);
    x.encoding = ExtensionObject::Binary;
    x.body = std::string(20, '\0');
    return x;
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, UaIdentityTest,
    ::testing::Values(IdentityCase{"Anonymous",
                                   Wrap(enc::kAnonymousIdentityToken, AnonymousIdentityToken{"anonymous"}),
                                   kGood},
                      IdentityCase{"NoToken", ExtensionObject{}, kGood},
                      IdentityCase{"OtherPolicyId",
                                   Wrap(enc::kAnonymousIdentityToken, AnonymousIdentityToken{"x"}),
                                   kBadIdentityTokenInvalid},
                      IdentityCase{"UserName", UserName(), kBadIdentityTokenRejected}),
    [](const auto& info) { return info.param.name; });

TEST_F(UaSessionTest, RequestsNeedAnActivatedSessionOnItsOwnChannel)
{
    CUaClient first;
    ASSERT_EQ(first.Connect("127.0.0.1", m_port), kGood);
    CreateSessionRequest create;
    CreateSessionResponse created;
    ASSERT_EQ(first.Call(enc::kCreateSessionRequest, create, enc::kCreateSessionResponse, &created), kGood);
    first.SetToken(created.authenticationToken);
    BrowseRequest browse;
    browse.nodesToBrowse = {
        BrowseDescription{NodeId::Numeric(id::kObjectsFolder), BrowseDirection::Forward, {}, false, 0, 63}};
    BrowseResponse browsed;
    EXPECT_EQ(first.Call(enc::kBrowseRequest, browse, enc::kBrowseResponse, &browsed),
              kBadSessionNotActivated);
    ASSERT_EQ(first.ActivateSession(), kGood);
    EXPECT_EQ(first.Call(enc::kBrowseRequest, browse, enc::kBrowseResponse, &browsed), kGood);

    CUaClient second;
    ASSERT_EQ(second.Connect("127.0.0.1", m_port), kGood);
    second.SetToken(created.authenticationToken);
    EXPECT_EQ(second.Call(enc::kBrowseRequest, browse, enc::kBrowseResponse, &browsed),
              kBadSecureChannelIdInvalid);
    second.SetToken(NodeId::String(1, "no such token"));
    EXPECT_EQ(second.Call(enc::kBrowseRequest, browse, enc::kBrowseResponse, &browsed), kBadSessionIdInvalid);
}

TEST_F(UaSessionTest, SessionOutlivesItsChannelAndKeepsItsItems)
{
    CFakeTag* tag = m_program.Add(Id("ch.item"));
    CUaClient first;
    Open(first, "moving");
    RegisterNodesRequest reg;
    reg.nodesToRegister = {Item("ch.item")};
    RegisterNodesResponse registered;
    ASSERT_EQ(first.Call(enc::kRegisterNodesRequest, reg, enc::kRegisterNodesResponse, &registered), kGood);
    EXPECT_TRUE(tag->InUse());
    const NodeId token = first.Token();
    first.Drop();

    CUaClient second;
    ASSERT_EQ(second.Connect("127.0.0.1", m_port), kGood);
    second.SetToken(token);
    ASSERT_EQ(second.ActivateSession(), kGood);
    EXPECT_TRUE(tag->InUse());
    EXPECT_TRUE(DAServerInUse());
    ASSERT_EQ(second.CloseSession(), kGood);
    EXPECT_FALSE(tag->InUse());
}

TEST_F(UaSessionTest, SessionThatTimesOutReleasesItsItems)
{
    CFakeTag* tag = m_program.Add(Id("ch.timed"));
    CUaClient client;
    Open(client, "short", 1000);
    EXPECT_EQ(client.Session().revisedSessionTimeout, 1000);
    ReadRequest read;
    read.nodesToRead = {ReadValueId{Item("ch.timed"), 13, "", {}}};
    ReadResponse response;
    ASSERT_EQ(client.Call(enc::kReadRequest, read, enc::kReadResponse, &response), kGood);
    EXPECT_TRUE(tag->InUse());
    client.Drop();
    EXPECT_TRUE(SpinUntil([&] { return !tag->InUse() && !DAServerInUse(); }, std::chrono::seconds(10)));
}

TEST_F(UaSessionTest, SessionsBeyondTheLimitAreRefused)
{
    CUaClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", m_port), kGood);
    CreateSessionRequest create;
    CreateSessionResponse created;
    for (uint32_t i = 0; i < kMaxSessions; ++i)
        ASSERT_EQ(client.Call(enc::kCreateSessionRequest, create, enc::kCreateSessionResponse, &created),
                  kGood)
            << i;
    EXPECT_EQ(client.Call(enc::kCreateSessionRequest, create, enc::kCreateSessionResponse, &created),
              kBadTooManySessions);
}

TEST_F(UaSessionTest, RenewedChannelKeepsServing)
{
    CUaClient client;
    Open(client);
    uint32_t id;
    ASSERT_EQ(client.SendRaw(client.Channel().Open(SecurityTokenRequestType::Renew, &id)), kGood);
    CUaClientChannel::Event ev;
    ASSERT_EQ(client.Receive(&ev), kGood);
    ASSERT_EQ(ev.kind, CUaClientChannel::Event::Opened);
    EXPECT_EQ(client.Channel().Token().tokenId, 2u);
    EXPECT_EQ(ReadState(client), kGood);
}

TEST_F(UaSessionTest, ServicesTheEndpointDoesNotOfferAreRefusedByName)
{
    CUaClient client;
    Open(client);
    // Call (methods): header, no methods.
    EXPECT_EQ(FaultFor(client, 712, 77, int32_t{0}), kBadServiceUnsupported);
}

}  // namespace
