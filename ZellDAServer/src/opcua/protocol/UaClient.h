#pragma once
// A small blocking OPC UA client over IPv4: connect, open a secure channel,
// create and activate an anonymous session, call services. The endpoint's
// tests and benchmarks use it; every wait is bounded by the time-out given.

#include "opcua/protocol/UaClientChannel.h"
#include "platform/Socket.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ua {

class CUaClient {
   public:
    explicit CUaClient(const CUaClientChannel::Options& options = CUaClientChannel::Options(),
                       uint32_t timeoutMs = 10000);
    ~CUaClient();
    CUaClient(const CUaClient&) = delete;
    CUaClient& operator=(const CUaClient&) = delete;

    // TCP, Hello and OpenSecureChannel to a dotted IPv4 address.
    StatusCode Connect(const std::string& address, uint16_t port, const std::string& endpointUrl = "");
    // TCP only.
    StatusCode ConnectSocket(const std::string& address, uint16_t port);
    // CreateSession and ActivateSession (anonymous).
    StatusCode OpenSession(const std::string& name = "test", double timeoutMs = 60000);
    StatusCode ActivateSession();  // again, on this client's channel
    StatusCode CloseSession(bool deleteSubscriptions = true);
    // CloseSecureChannel and the socket.
    void Disconnect();
    // The socket only, as a client that vanishes.
    void Drop();

    // One service call: the session's token and a request handle go into the
    // header. The response's service result, a ServiceFault's, or why no
    // response came (BadTimeout, BadConnectionClosed as BadSecureChannelClosed,
    // an Error message's code).
    template <typename Req, typename Resp>
    StatusCode Call(uint32_t requestType, Req& request, uint32_t responseType, Resp* response)
    {
        uint32_t id;
        if (StatusCode s = Post(requestType, request, &id); s != kGood) return s;
        if (StatusCode s = Await(id, responseType, response); s != kGood) return s;
        if (response->responseHeader.requestHandle != request.requestHeader.requestHandle)
            return kBadUnknownResponse;
        return response->responseHeader.serviceResult;
    }
    // A request sent without waiting for its answer: several may be under way.
    template <typename Req>
    StatusCode Post(uint32_t requestType, Req& request, uint32_t* requestId)
    {
        request.requestHeader.authenticationToken = m_token;
        request.requestHeader.requestHandle = ++m_requestHandle;
        request.requestHeader.timestamp = Now();
        std::string body;
        Encoder e(body);
        e(NodeId::Numeric(requestType), request);
        return SendRaw(m_channel.Message(body, requestId));
    }
    // The answer to a posted request, as Call gives it; answers to other
    // requests that arrive meanwhile are kept for their turn.
    template <typename Resp>
    StatusCode Await(uint32_t requestId, uint32_t responseType, Resp* response)
    {
        std::string reply;
        if (StatusCode s = AwaitBody(requestId, &reply); s != kGood) return s;
        Decoder d(reply);
        NodeId typeId;
        d.Read(typeId);
        if (typeId.Is(enc::kServiceFault)) {
            ServiceFault fault;
            d.Read(fault);
            return d.Ok() ? fault.responseHeader.serviceResult : d.Status();
        }
        if (!typeId.Is(responseType)) return kBadUnknownResponse;
        d.Read(*response);
        if (!d.Ok()) return d.Status();
        return response->responseHeader.serviceResult;
    }
    StatusCode AwaitBody(uint32_t requestId, std::string* reply);
    // A request body of any kind; the raw reply body (type NodeId first).
    StatusCode Exchange(const std::string& body, std::string* reply);
    StatusCode SendRaw(const std::string& bytes);
    // The next event from the server (within the time-out).
    StatusCode Receive(CUaClientChannel::Event* event);

    CUaClientChannel& Channel() { return m_channel; }
    const NodeId& Token() const { return m_token; }
    void SetToken(const NodeId& token) { m_token = token; }
    const CreateSessionResponse& Session() const { return m_session; }
    bool Connected() const { return m_socket != kInvalidSocket; }

   private:
    CUaClientChannel m_channel;
    uint32_t m_timeoutMs;
    SocketHandle m_socket = kInvalidSocket;
    NodeId m_token;
    uint32_t m_requestHandle = 0;
    CreateSessionResponse m_session;
    std::vector<CUaClientChannel::Event> m_events;
    std::map<uint32_t, std::string> m_kept;  // answers that arrived before they were awaited
};

}  // namespace ua
