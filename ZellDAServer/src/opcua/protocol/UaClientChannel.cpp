#include "opcua/protocol/UaClientChannel.h"

#include "opcua/protocol/UaChannel.h"

#include <cstring>

namespace ua {

std::string CUaClientChannel::Hello(const std::string& endpointUrl) const
{
    std::string out;
    AppendTransportMessage(&out, "HEL",
                           HelloMessage{0, m_options.receiveBufferSize, m_options.sendBufferSize,
                                        m_options.maxMessageSize, m_options.maxChunkCount, endpointUrl});
    return out;
}

std::string CUaClientChannel::Chunk(const char* type, char chunkType, std::string_view header,
                                    uint32_t requestId, std::string_view body)
{
    std::string out;
    AppendSecuredChunk(&out, type, chunkType, header, ++m_sequence, requestId, body);
    return out;
}

std::string CUaClientChannel::Open(SecurityTokenRequestType type, uint32_t* requestId)
{
    OpenSecureChannelRequest request;
    request.requestHeader.timestamp = Now();
    request.requestType = type;
    request.securityMode = MessageSecurityMode::None;
    request.requestedLifetime = m_options.requestedLifetime;
    std::string header;
    Encoder h(header);
    h(type == SecurityTokenRequestType::Issue ? 0u : m_channelId,
      AsymmetricSecurityHeader{kSecurityPolicyNone, {}, {}});
    std::string body;
    Encoder e(body);
    e(NodeId::Numeric(enc::kOpenSecureChannelRequest), request);
    *requestId = ++m_nextRequestId;
    return Chunk("OPN", 'F', header, *requestId, body);
}

std::string CUaClientChannel::Message(std::string_view body, uint32_t* requestId, size_t chunkBody)
{
    const size_t limit = (m_ack.receiveBufferSize ? m_ack.receiveBufferSize : m_options.sendBufferSize) - 24;
    const size_t per = chunkBody == 0 || chunkBody > limit ? limit : chunkBody;
    char header[8];
    std::memcpy(header, &m_channelId, 4);
    std::memcpy(header + 4, &m_tokenId, 4);
    *requestId = ++m_nextRequestId;
    std::string out;
    size_t offset = 0;
    do {
        std::string_view part = body.substr(offset, per);
        offset += part.size();
        out += Chunk("MSG", offset >= body.size() ? 'F' : 'C', std::string_view(header, 8), *requestId, part);
    } while (offset < body.size());
    return out;
}

std::string CUaClientChannel::Close()
{
    char header[8];
    std::memcpy(header, &m_channelId, 4);
    std::memcpy(header + 4, &m_tokenId, 4);
    std::string body;
    Encoder e(body);
    e(NodeId::Numeric(enc::kCloseSecureChannelRequest), CloseSecureChannelRequest{});
    return Chunk("CLO", 'F', std::string_view(header, 8), ++m_nextRequestId, body);
}

StatusCode CUaClientChannel::Feed(const char* data, size_t size, std::vector<Event>* events)
{
    m_in.append(data, size);
    size_t pos = 0;
    StatusCode status = kGood;
    while (m_in.size() - pos >= 8) {
        uint32_t chunkSize;
        std::memcpy(&chunkSize, m_in.data() + pos + 4, 4);
        if (chunkSize < 8) {
            status = kBadDecodingError;
            break;
        }
        if (m_in.size() - pos < chunkSize) break;
        std::string_view type(m_in.data() + pos, 3);
        char chunkType = m_in[pos + 3];
        Decoder d(reinterpret_cast<const uint8_t*>(m_in.data() + pos + 8), chunkSize - 8);
        pos += chunkSize;
        Event ev;
        if (type == "ACK") {
            d.Read(m_ack);
            ev.kind = Event::Acknowledged;
        } else if (type == "ERR") {
            ErrorMessage err;
            d.Read(err);
            ev.kind = Event::Error;
            ev.status = err.error;
            ev.body = err.reason;
        } else if (type == "OPN") {
            uint32_t channelId = 0;
            AsymmetricSecurityHeader security;
            SequenceHeader seq;
            NodeId typeId;
            OpenSecureChannelResponse response;
            d(channelId, security, seq, typeId, response);
            m_lastReceivedSequence = seq.sequenceNumber;
            m_channelId = response.securityToken.channelId;
            m_tokenId = response.securityToken.tokenId;
            m_token = response.securityToken;
            ev.kind = Event::Opened;
            ev.requestId = seq.requestId;
            ev.status = response.responseHeader.serviceResult;
        } else if (type == "MSG") {
            uint32_t channelId = 0, tokenId = 0;
            SequenceHeader seq;
            d(channelId, tokenId, seq);
            m_lastReceivedSequence = seq.sequenceNumber;
            std::string_view payload(
                reinterpret_cast<const char*>(m_in.data() + pos - chunkSize + 8) + d.Position(),
                d.Remaining());
            std::string& partial = m_partials[seq.requestId];
            ev.requestId = seq.requestId;
            if (chunkType == 'C') {
                partial.append(payload);
                continue;
            }
            if (chunkType == 'A') {
                Decoder a(payload);
                ErrorMessage err;
                a.Read(err);
                ev.kind = Event::Aborted;
                ev.status = err.error;
            } else {
                partial.append(payload);
                ev.kind = Event::Response;
                ev.body = std::move(partial);
            }
            m_partials.erase(seq.requestId);
        } else {
            status = kBadTcpMessageTypeInvalid;
            break;
        }
        if (!d.Ok()) {
            status = d.Status();
            break;
        }
        events->push_back(std::move(ev));
    }
    m_in.erase(0, pos);
    return status;
}

}  // namespace ua
