#pragma once
// The toolkit served over OPC UA on a free loopback port, with the toolkit
// tests' fake program behind it, answering the properties the program's real
// callback answers (1 to 6).

#include "FakeProgram.h"
#include "opcua/protocol/UaClient.h"

#include <gtest/gtest.h>
#include <string>

class CUaFakeProgram : public CFakeProgram {
   public:
    // Items whose ID contains this fail their writes as a silent device does.
    static constexpr const char* kBroken = "broken";
    float m_pollPeriod = 1000;

    HRESULT QueryNumProperties(const char* itemId, uint32_t* count) override
    {
        HRESULT hr = CFakeProgram::QueryNumProperties(itemId, count);
        if (SUCCEEDED(hr)) *count = 6;
        return hr;
    }
    HRESULT GetItemProperties(const char* itemId, uint32_t count, const uint32_t* ids, VARIANT* values,
                              HRESULT* errors) override
    {
        CFakeTag* tag = Find(itemId);
        if (!tag) return OPC_E_UNKNOWNITEMID;
        HRESULT result = S_OK;
        for (uint32_t i = 0; i < count; ++i) {
            errors[i] = S_OK;
            if (ids[i] == 5) {
                values[i].vt = VT_I4;
                values[i].lVal = static_cast<int32_t>(tag->m_accessRights);
            } else if (ids[i] == 6) {
                values[i].vt = VT_R4;
                values[i].fltVal = m_pollPeriod;
            } else if (FAILED(CFakeProgram::GetItemProperties(itemId, 1, &ids[i], &values[i], &errors[i]))) {
                errors[i] = OPC_E_INVALID_PID;
            }
            if (FAILED(errors[i])) result = S_FALSE;
        }
        return result;
    }
    HRESULT Write(uint32_t count, COPCTag* const* tags, const VARIANT* values, HRESULT* errors) override
    {
        HRESULT hr = CFakeProgram::Write(count, tags, values, errors);
        for (uint32_t i = 0; i < count; ++i)
            if (static_cast<CFakeTag*>(tags[i])->m_id.find(kBroken) != std::string::npos) errors[i] = E_FAIL;
        return hr;
    }
};

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

inline ua::NodeId Item(const std::string& tail)
{
    return ua::NodeId::String(1, Id(tail));
}
