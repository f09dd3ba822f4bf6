#include "opcua/protocol/UaClient.h"

#include "platform/StreamServer.h"

#include <chrono>

namespace ua {

namespace {

bool ParseIPv4(const std::string& text, uint32_t* networkOrder)
{
    uint32_t parts[4];
    int n = 0;
    uint32_t value = 0;
    bool digit = false;
    for (char c : text + ".") {
        if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<uint32_t>(c - '0');
            digit = true;
            if (value > 255) return false;
        } else if (c == '.' && digit && n < 4) {
            parts[n++] = value;
            value = 0;
            digit = false;
        } else {
            return false;
        }
    }
    if (n != 4) return false;
    *networkOrder = HostToNetwork32((parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3]);
    return true;
}

}  // namespace

CUaClient::CUaClient(const CUaClientChannel::Options& options, uint32_t timeoutMs)
    : m_channel(options), m_timeoutMs(timeoutMs)
{
}

CUaClient::~CUaClient()
{
    Drop();
}

StatusCode CUaClient::SendRaw(const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        SocketTransfer t = SendToSocket(m_socket, reinterpret_cast<const uint8_t*>(bytes.data()) + sent,
                                        bytes.size() - sent);
        if (t.kind == SocketTransfer::Done) {
            sent += t.count;
        } else if (t.kind == SocketTransfer::WouldBlock) {
            if (WaitSocketWritable(m_socket, m_timeoutMs) != SocketWait::Ready) return kBadTimeout;
        } else {
            return kBadSecureChannelClosed;
        }
    }
    return kGood;
}

StatusCode CUaClient::Receive(CUaClientChannel::Event* event)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timeoutMs);
    while (m_events.empty()) {
        if (m_socket == kInvalidSocket) return kBadSecureChannelClosed;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0 ||
            WaitSocketReadable(m_socket, static_cast<uint32_t>(left.count())) != SocketWait::Ready)
            return kBadTimeout;
        uint8_t buffer[65536];
        SocketTransfer t = ReceiveFromSocket(m_socket, buffer, sizeof buffer);
        if (t.kind == SocketTransfer::WouldBlock) continue;
        if (t.kind != SocketTransfer::Done) return kBadSecureChannelClosed;
        if (StatusCode s = m_channel.Feed(reinterpret_cast<const char*>(buffer), t.count, &m_events);
            s != kGood)
            return s;
    }
    *event = std::move(m_events.front());
    m_events.erase(m_events.begin());
    return kGood;
}

StatusCode CUaClient::ConnectSocket(const std::string& address, uint16_t port)
{
    uint32_t ip;
    if (!ParseIPv4(address, &ip)) return kBadTcpEndpointUrlInvalid;
    m_socket = CreateStreamSocket();
    if (m_socket == kInvalidSocket || !SetSocketNonBlocking(m_socket, true)) return kBadCommunicationError;
    (void)SetSocketNoDelay(m_socket);
    SocketConnect c = ::ConnectSocket(m_socket, ip, port);
    if (c == SocketConnect::InProgress) {
        if (WaitSocketWritable(m_socket, m_timeoutMs) != SocketWait::Ready ||
            SocketPendingError(m_socket) != 0)
            c = SocketConnect::Failed;
        else
            c = SocketConnect::Connected;
    }
    if (c != SocketConnect::Connected) {
        Drop();
        return kBadCommunicationError;
    }
    return kGood;
}

StatusCode CUaClient::Connect(const std::string& address, uint16_t port, const std::string& endpointUrl)
{
    if (StatusCode s = ConnectSocket(address, port); s != kGood) return s;
    const std::string url =
        endpointUrl.empty() ? "opc.tcp://" + address + ":" + std::to_string(port) : endpointUrl;
    if (StatusCode s = SendRaw(m_channel.Hello(url)); s != kGood) return s;
    CUaClientChannel::Event ev;
    if (StatusCode s = Receive(&ev); s != kGood) return s;
    if (ev.kind != CUaClientChannel::Event::Acknowledged)
        return ev.kind == ev.Error ? ev.status : kBadUnknownResponse;
    uint32_t id;
    if (StatusCode s = SendRaw(m_channel.Open(SecurityTokenRequestType::Issue, &id)); s != kGood) return s;
    if (StatusCode s = Receive(&ev); s != kGood) return s;
    if (ev.kind != CUaClientChannel::Event::Opened)
        return ev.kind == ev.Error ? ev.status : kBadUnknownResponse;
    return ev.status;
}

StatusCode CUaClient::Exchange(const std::string& body, std::string* reply)
{
    uint32_t id;
    if (StatusCode s = SendRaw(m_channel.Message(body, &id)); s != kGood) return s;
    return AwaitBody(id, reply);
}

StatusCode CUaClient::AwaitBody(uint32_t requestId, std::string* reply)
{
    for (;;) {
        auto kept = m_kept.find(requestId);
        if (kept != m_kept.end()) {
            *reply = std::move(kept->second);
            m_kept.erase(kept);
            return kGood;
        }
        CUaClientChannel::Event ev;
        if (StatusCode s = Receive(&ev); s != kGood) return s;
        if (ev.kind == CUaClientChannel::Event::Error || ev.kind == CUaClientChannel::Event::Aborted)
            return ev.status;
        if (ev.kind == CUaClientChannel::Event::Response) m_kept[ev.requestId] = std::move(ev.body);
    }
}

StatusCode CUaClient::OpenSession(const std::string& name, double timeoutMs)
{
    CreateSessionRequest request;
    request.clientDescription.applicationUri = "urn:test:client";
    request.clientDescription.applicationType = ApplicationType::Client;
    request.sessionName = name;
    // Servers refuse a nonce they have seen before.
    request.clientNonce.bytes.resize(32);
    RandomBytes(request.clientNonce.bytes.data(), request.clientNonce.bytes.size());
    request.requestedSessionTimeout = timeoutMs;
    m_token = NodeId{};
    if (StatusCode s = Call(enc::kCreateSessionRequest, request, enc::kCreateSessionResponse, &m_session);
        s != kGood)
        return s;
    m_token = m_session.authenticationToken;
    return ActivateSession();
}

StatusCode CUaClient::ActivateSession()
{
    ActivateSessionRequest request;
    request.userIdentityToken = Wrap(enc::kAnonymousIdentityToken, AnonymousIdentityToken{"anonymous"});
    ActivateSessionResponse response;
    return Call(enc::kActivateSessionRequest, request, enc::kActivateSessionResponse, &response);
}

StatusCode CUaClient::CloseSession(bool deleteSubscriptions)
{
    CloseSessionRequest request;
    request.deleteSubscriptions = deleteSubscriptions;
    CloseSessionResponse response;
    return Call(enc::kCloseSessionRequest, request, enc::kCloseSessionResponse, &response);
}

void CUaClient::Disconnect()
{
    if (m_socket == kInvalidSocket) return;
    (void)SendRaw(m_channel.Close());
    Drop();
}

void CUaClient::Drop()
{
    CloseSocketHandle(m_socket);
    m_socket = kInvalidSocket;
    m_events.clear();
    m_kept.clear();
}

}  // namespace ua
