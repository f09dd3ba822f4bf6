#pragma once
// The toolkit served over OPC UA on a free loopback port, with the fake
// program behind it.

#include "UaFakeProgram.h"
#include "opcua/protocol/UaClient.h"

#include <gtest/gtest.h>
#include <string>

// The DA server with the fake program, and the OPC UA endpoint on loopback.
class UaServerFixture : public ::testing::Test {
   protected:
    void SetUp() override
    {
        SetCallbackObject(&m_program);
        ASSERT_TRUE(StartDAServer(nullptr, &kTestClsid));
        UaEndpointOptions options{};
        options.listen = "127.0.0.1:0";
        options.listenSocket = -1;
        options.applicationName = "UaTest";
        char error[256] = {};
        ASSERT_EQ(StartUaEndpoint(&options, error, sizeof error), S_OK) << error;
        m_port = UaEndpointPort();
        ASSERT_NE(m_port, 0);
    }
    void TearDown() override
    {
        StopDAServer();
        DeleteDAItem(kRoot.c_str());
        SetCallbackObject(nullptr);
    }
    // A client with an activated session.
    void Open(ua::CUaClient& client, const std::string& name = "test", double timeoutMs = 60000)
    {
        ASSERT_EQ(client.Connect("127.0.0.1", m_port), ua::kGood);
        ASSERT_EQ(client.OpenSession(name, timeoutMs), ua::kGood);
    }
    std::string Url() const { return "opc.tcp://127.0.0.1:" + std::to_string(m_port); }

    CUaFakeProgram m_program;
    uint16_t m_port = 0;
};

// A read of the server's state, as clients keep a session alive.
inline ua::StatusCode ReadState(ua::CUaClient& client)
{
    ua::ReadRequest read;
    read.nodesToRead = {ua::ReadValueId{ua::NodeId::Numeric(ua::id::kState), 13, "", {}}};
    ua::ReadResponse response;
    return client.Call(ua::enc::kReadRequest, read, ua::enc::kReadResponse, &response);
}

// Sends a request body made of the session's header (with this request handle)
// and the given fields, and expects a ServiceFault echoing the handle: its result.
template <typename... Fields>
ua::StatusCode FaultFor(ua::CUaClient& client, uint32_t typeId, uint32_t requestHandle,
                        const Fields&... fields)
{
    std::string body, reply;
    ua::Encoder e(body);
    ua::RequestHeader header;
    header.authenticationToken = client.Token();
    header.requestHandle = requestHandle;
    e(ua::NodeId::Numeric(typeId), header, fields...);
    if (ua::StatusCode s = client.Exchange(body, &reply); s != ua::kGood) return s;
    ua::Decoder d(reply);
    ua::NodeId type;
    ua::ServiceFault fault;
    d(type, fault);
    if (!d.Ok() || !type.Is(ua::enc::kServiceFault) || fault.responseHeader.requestHandle != requestHandle)
        return ua::kBadUnknownResponse;
    return fault.responseHeader.serviceResult;
}

inline ua::NodeId Item(const std::string& tail)
{
    return ua::NodeId::String(1, Id(tail));
}
