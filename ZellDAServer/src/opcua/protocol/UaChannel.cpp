#include "opcua/protocol/UaChannel.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace ua {

const char kSecurityPolicyNone[] = "http://opcfoundation.org/UA/SecurityPolicy#None";
const char kTransportProfileBinary[] = "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary";

namespace {

constexpr size_t kHeaderSize = 8;          // type, chunk type, size
constexpr size_t kSymmetricOverhead = 24;  // header, channel, token, sequence header
constexpr uint32_t kMinBufferSize = 8192;  // the least a peer may offer
constexpr size_t kMaxEndpointUrlLength = 4096;
constexpr size_t kMaxPartialMessages = 16;  // requests being assembled at once
// Sequence numbers wrap once they pass this, to a number below 1024.
constexpr uint32_t kSequenceWrapAbove = 4294966271u;

// Channel IDs are unique in the process; the start varies so that a restarted
// server does not hand a client the ID of its previous channel.
std::atomic<uint32_t> g_nextChannelId{static_cast<uint32_t>(Now().ticks / 10000) & 0x7FFFFFFFu};

uint32_t NewChannelId()
{
    uint32_t id;
    do {
        id = g_nextChannelId.fetch_add(1);
    } while (id == 0);
    return id;
}

void PutUInt32(std::string* out, size_t at, uint32_t v)
{
    std::memcpy(out->data() + at, &v, sizeof v);
}

}  // namespace

CUaChannel::CUaChannel(const ChannelLimits& limits, uint32_t (*newChannelId)())
    : m_limits(limits), m_newChannelId(newChannelId ? newChannelId : NewChannelId)
{
}

CUaChannel::FeedResult CUaChannel::Feed(const uint8_t* data, size_t size, std::string* out,
                                        std::vector<Request>* requests)
{
    FeedResult result;
    if (m_state == State::Closed) {
        result.status = kBadSecureChannelClosed;
        return result;
    }
    m_in.append(reinterpret_cast<const char*>(data), size);
    size_t pos = 0;
    while (m_in.size() - pos >= kHeaderSize) {
        const char* header = m_in.data() + pos;
        std::string_view type(header, 3);
        char chunkType = header[3];
        uint32_t chunkSize;
        std::memcpy(&chunkSize, header + 4, sizeof chunkSize);
        // The size is checked before waiting for the bytes it announces.
        uint32_t limit = m_state == State::ExpectHello ? m_limits.receiveBufferSize : m_receiveBufferSize;
        StatusCode status = kGood;
        if (chunkSize < kHeaderSize)
            status = kBadTcpMessageTypeInvalid;
        else if (chunkSize > limit)
            status = kBadTcpMessageTooLarge;
        if (status == kGood && m_in.size() - pos < chunkSize) break;
        if (status == kGood) {
            std::string_view body(header + kHeaderSize, chunkSize - kHeaderSize);
            status = OnChunk(type, chunkType, body, out, requests, &result.closeRequested);
        }
        if (status != kGood) {
            EncodeError(status, "", out);
            m_state = State::Closed;
            m_in.clear();
            m_partials.clear();
            m_partialBytes = 0;
            result.status = status;
            return result;
        }
        pos += chunkSize;
        if (result.closeRequested) {
            m_state = State::Closed;
            break;
        }
    }
    m_in.erase(0, pos);
    return result;
}

StatusCode CUaChannel::OnChunk(std::string_view type, char chunkType, std::string_view body, std::string* out,
                               std::vector<Request>* requests, bool* closeRequested)
{
    const bool isHello = type == "HEL", isOpen = type == "OPN", isMessage = type == "MSG",
               isClose = type == "CLO";
    if (!isHello && !isOpen && !isMessage && !isClose) return kBadTcpMessageTypeInvalid;
    if (isMessage ? (chunkType != 'F' && chunkType != 'C' && chunkType != 'A') : chunkType != 'F')
        return kBadTcpMessageTypeInvalid;
    switch (m_state) {
        case State::ExpectHello:
            return isHello ? OnHello(body, out) : kBadTcpMessageTypeInvalid;
        case State::ExpectOpen:
            if (isOpen) return OnOpen(body, out);
            return isHello ? kBadTcpMessageTypeInvalid : kBadTcpSecureChannelUnknown;
        case State::Open:
            if (isOpen) return OnOpen(body, out);
            if (isMessage) return OnMessage(chunkType, body, requests);
            if (isClose) return OnClose(body, closeRequested);
            return kBadTcpMessageTypeInvalid;
        case State::Closed:
            break;
    }
    return kBadSecureChannelClosed;
}

StatusCode CUaChannel::OnHello(std::string_view body, std::string* out)
{
    Decoder d(body);
    HelloMessage hello;
    d.Read(hello);
    if (!d.Ok()) return kBadDecodingError;
    if (hello.endpointUrl.size() > kMaxEndpointUrlLength) return kBadTcpEndpointUrlInvalid;
    if (hello.receiveBufferSize < kMinBufferSize || hello.sendBufferSize < kMinBufferSize)
        return kBadTcpNotEnoughResources;
    m_receiveBufferSize = std::min(m_limits.receiveBufferSize, hello.sendBufferSize);
    m_sendBufferSize = std::min(m_limits.sendBufferSize, hello.receiveBufferSize);
    m_clientMaxMessageSize = hello.maxMessageSize;
    m_clientMaxChunkCount = hello.maxChunkCount;
    m_endpointUrl = hello.endpointUrl;

    AppendTransportMessage(out, "ACK",
                           AcknowledgeMessage{0, m_receiveBufferSize, m_sendBufferSize,
                                              m_limits.maxMessageSize, m_limits.maxChunkCount});
    m_state = State::ExpectOpen;
    return kGood;
}

uint32_t CUaChannel::ReviseLifetime(uint32_t requested) const
{
    // Never below what the client asked for while that is within the maximum.
    if (requested == 0 || requested > m_limits.maxTokenLifetimeMs) return m_limits.maxTokenLifetimeMs;
    return std::max(requested, m_limits.minTokenLifetimeMs);
}

StatusCode CUaChannel::OnOpen(std::string_view body, std::string* out)
{
    Decoder d(body);
    uint32_t channelId = 0;
    AsymmetricSecurityHeader security;
    SequenceHeader seq;
    NodeId typeId;
    OpenSecureChannelRequest request;
    d(channelId, security, seq, typeId, request);
    if (!d.Ok()) return kBadDecodingError;
    if (!typeId.Is(enc::kOpenSecureChannelRequest)) return kBadTcpMessageTypeInvalid;
    if (security.securityPolicyUri != kSecurityPolicyNone) return kBadSecurityPolicyRejected;
    if (request.requestType == SecurityTokenRequestType::Issue) {
        if (m_state != State::ExpectOpen) return kBadRequestTypeInvalid;
        if (request.securityMode != MessageSecurityMode::None) return kBadSecurityModeRejected;
        m_receivedAny = false;
        if (StatusCode s = CheckSequence(seq.sequenceNumber); s != kGood) return s;
        m_channelId = m_newChannelId();
        m_tokenId = 1;
        m_previousTokenId = 0;
    } else if (request.requestType == SecurityTokenRequestType::Renew) {
        if (m_state != State::Open || channelId != m_channelId) return kBadTcpSecureChannelUnknown;
        if (request.securityMode != MessageSecurityMode::None) return kBadSecurityModeRejected;
        if (StatusCode s = CheckSequence(seq.sequenceNumber); s != kGood) return s;
        // The old token stays good until the client uses the new one.
        m_previousTokenId = m_tokenId;
        m_tokenId = m_tokenId == 0xFFFFFFFFu ? 1 : m_tokenId + 1;
    } else {
        return kBadRequestTypeInvalid;
    }

    DateTime now = Now();
    uint32_t lifetime = ReviseLifetime(request.requestedLifetime);
    m_tokenDeadline = DateTime{now.ticks + int64_t{lifetime} * 10000 * 5 / 4};
    m_state = State::Open;

    OpenSecureChannelResponse response;
    response.responseHeader.timestamp = now;
    response.responseHeader.requestHandle = request.requestHeader.requestHandle;
    response.securityToken = ChannelSecurityToken{m_channelId, m_tokenId, now, lifetime};
    std::string securityHeader;
    Encoder sh(securityHeader);
    sh(m_channelId, AsymmetricSecurityHeader{kSecurityPolicyNone, {}, {}});
    std::string message;
    Encoder e(message);
    e(NodeId::Numeric(enc::kOpenSecureChannelResponse), response);
    AppendSecuredChunk(out, "OPN", 'F', securityHeader, NextSendSequence(), seq.requestId, message);
    return kGood;
}

StatusCode CUaChannel::CheckSymmetricHeader(Decoder& d, SequenceHeader* seq)
{
    uint32_t channelId = 0, tokenId = 0;
    d(channelId, tokenId, *seq);
    if (!d.Ok()) return kBadDecodingError;
    if (channelId != m_channelId) return kBadTcpSecureChannelUnknown;
    if (tokenId == m_tokenId)
        m_previousTokenId = 0;  // the client has moved to the new token
    else if (tokenId == 0 || tokenId != m_previousTokenId)
        return kBadSecureChannelTokenUnknown;
    return CheckSequence(seq->sequenceNumber);
}

StatusCode CUaChannel::CheckSequence(uint32_t sequenceNumber)
{
    if (m_receivedAny) {
        bool next = sequenceNumber == m_lastReceivedSequence + 1 ||
                    (m_lastReceivedSequence > kSequenceWrapAbove && sequenceNumber < 1024);
        if (!next) return kBadSequenceNumberInvalid;
    }
    m_receivedAny = true;
    m_lastReceivedSequence = sequenceNumber;
    return kGood;
}

StatusCode CUaChannel::OnMessage(char chunkType, std::string_view body, std::vector<Request>* requests)
{
    Decoder d(body);
    SequenceHeader seq;
    if (StatusCode s = CheckSymmetricHeader(d, &seq); s != kGood) return s;
    std::string_view payload = body.substr(d.Position());
    auto it = m_partials.find(seq.requestId);
    if (chunkType == 'A') {
        // The client gave up on this request: forget what came of it.
        if (it != m_partials.end()) {
            m_partialBytes -= it->second.body.size();
            m_partials.erase(it);
        }
        return kGood;
    }
    if (it == m_partials.end()) {
        if (chunkType == 'F') {
            if (payload.size() > m_limits.maxMessageSize) return kBadTcpMessageTooLarge;
            requests->push_back(Request{seq.requestId, std::string(payload)});
            return kGood;
        }
        if (m_partials.size() >= kMaxPartialMessages) return kBadTcpNotEnoughResources;
        it = m_partials.emplace(seq.requestId, Partial{}).first;
    }
    Partial& p = it->second;
    ++p.chunks;
    if (m_limits.maxChunkCount != 0 && p.chunks > m_limits.maxChunkCount) return kBadTcpMessageTooLarge;
    if (p.body.size() + payload.size() > m_limits.maxMessageSize) return kBadTcpMessageTooLarge;
    p.body.append(payload);
    m_partialBytes += payload.size();
    if (chunkType == 'F') {
        m_partialBytes -= p.body.size();
        requests->push_back(Request{seq.requestId, std::move(p.body)});
        m_partials.erase(it);
    }
    return kGood;
}

StatusCode CUaChannel::OnClose(std::string_view body, bool* closeRequested)
{
    Decoder d(body);
    SequenceHeader seq;
    if (StatusCode s = CheckSymmetricHeader(d, &seq); s != kGood) return s;
    NodeId typeId;
    d.Read(typeId);
    if (!d.Ok() || !typeId.Is(enc::kCloseSecureChannelRequest)) return kBadTcpMessageTypeInvalid;
    *closeRequested = true;
    return kGood;
}

uint32_t CUaChannel::NextSendSequence()
{
    // Wrapping only once past the limit, as receivers check it.
    m_sendSequence = m_sendSequence > kSequenceWrapAbove ? 1 : m_sendSequence + 1;
    return m_sendSequence;
}

void AppendSecuredChunk(std::string* out, const char* type, char chunkType, std::string_view securityHeader,
                        uint32_t sequenceNumber, uint32_t requestId, std::string_view body)
{
    size_t start = out->size();
    out->append(type, 3);
    out->push_back(chunkType);
    out->append(4, '\0');
    out->append(securityHeader);
    Encoder e(*out);
    e(sequenceNumber, requestId);
    out->append(body);
    PutUInt32(out, start + 4, static_cast<uint32_t>(out->size() - start));
}

StatusCode CUaChannel::EncodeMessage(uint32_t requestId, std::string_view body, std::string* out)
{
    if (m_state != State::Open) return kBadSecureChannelClosed;
    const size_t perChunk = m_sendBufferSize - kSymmetricOverhead;
    const size_t chunks = body.empty() ? 1 : (body.size() + perChunk - 1) / perChunk;
    if ((m_clientMaxMessageSize != 0 && body.size() > m_clientMaxMessageSize) ||
        (m_clientMaxChunkCount != 0 && chunks > m_clientMaxChunkCount))
        return kBadResponseTooLarge;
    // Until the client has used a renewed token, answers go out under the old one.
    uint32_t tokenId = m_previousTokenId != 0 ? m_previousTokenId : m_tokenId;
    char securityHeader[8];
    std::memcpy(securityHeader, &m_channelId, 4);
    std::memcpy(securityHeader + 4, &tokenId, 4);
    out->reserve(out->size() + body.size() + chunks * kSymmetricOverhead);
    for (size_t i = 0; i < chunks; ++i) {
        std::string_view part = body.substr(i * perChunk, perChunk);
        AppendSecuredChunk(out, "MSG", i + 1 == chunks ? 'F' : 'C', std::string_view(securityHeader, 8),
                           NextSendSequence(), requestId, part);
    }
    return kGood;
}

void CUaChannel::EncodeError(StatusCode status, std::string_view reason, std::string* out)
{
    AppendTransportMessage(out, "ERR", ErrorMessage{status, std::string(reason)});
}

}  // namespace ua
