#pragma once
// The server's side of one opc.tcp connection without its socket: Hello and
// Acknowledge, the secure channel (policy None) with its tokens and sequence
// numbers, requests assembled from their chunks, and responses cut into chunks.
// Bytes go in through Feed; what the server must send comes out as bytes.
//
// Not synchronised: the owner serialises calls, since the one sequence number
// counter orders every chunk sent.

#include "opcua/protocol/UaMessages.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace ua {

extern const char kSecurityPolicyNone[];
extern const char kTransportProfileBinary[];

// A secured chunk: message type, chunk type ('F', 'C' or 'A'), size, the
// security header, the sequence header and the body.
void AppendSecuredChunk(std::string* out, const char* type, char chunkType, std::string_view securityHeader,
                        uint32_t sequenceNumber, uint32_t requestId, std::string_view body);
// A message outside the secure channel (Hello, Acknowledge, Error): type, 'F', size and the body.
template <typename T>
void AppendTransportMessage(std::string* out, const char* type, const T& body)
{
    const size_t start = out->size();
    out->append(type, 3);
    out->append("F\0\0\0\0", 5);
    Encoder e(*out);
    e.Write(body);
    const uint32_t size = static_cast<uint32_t>(out->size() - start);
    std::memcpy(out->data() + start + 4, &size, sizeof size);
}

// What this server accepts and offers on a connection.
struct ChannelLimits {
    uint32_t receiveBufferSize = 65535;
    uint32_t sendBufferSize = 65535;
    uint32_t maxMessageSize = 16 * 1024 * 1024;  // a request, assembled
    uint32_t maxChunkCount = 1024;               // chunks of one request
    uint32_t maxTokenLifetimeMs = 3600000;
    uint32_t minTokenLifetimeMs = 10000;
};

class CUaChannel {
   public:
    // A service request, assembled: the body starts with its encoding's NodeId.
    struct Request {
        uint32_t requestId = 0;
        std::string body;
    };
    struct FeedResult {
        // kGood, or the reason to close the connection (an Error message to
        // send is then in the output).
        StatusCode status = kGood;
        bool closeRequested = false;  // CloseSecureChannel arrived
    };

    // newChannelId hands out channel IDs (null: unique ones in the process);
    // fuzzing gives a fixed one so that inputs can name it.
    explicit CUaChannel(const ChannelLimits& limits = ChannelLimits(), uint32_t (*newChannelId)() = nullptr);

    // Consumes received bytes: complete requests are appended to `requests`,
    // bytes to send (Acknowledge, OpenSecureChannel responses, an Error) to `out`.
    FeedResult Feed(const uint8_t* data, size_t size, std::string* out, std::vector<Request>* requests);

    // A response to requestId, cut into chunks for the client's buffer and
    // appended to `out`. BadResponseTooLarge (nothing appended) when it exceeds
    // what the client accepts.
    StatusCode EncodeMessage(uint32_t requestId, std::string_view body, std::string* out);
    // An Error message, after which the connection is closed.
    static void EncodeError(StatusCode status, std::string_view reason, std::string* out);

    bool HelloDone() const { return m_state != State::ExpectHello; }
    bool ChannelOpen() const { return m_state == State::Open; }
    uint32_t ChannelId() const { return m_channelId; }
    const std::string& EndpointUrl() const { return m_endpointUrl; }
    // When the current token ends (its lifetime and a grace of a quarter more).
    DateTime TokenDeadline() const { return m_tokenDeadline; }
    uint32_t SendBufferSize() const { return m_sendBufferSize; }
    uint32_t ClientMaxMessageSize() const { return m_clientMaxMessageSize; }
    // Bytes held for requests still being assembled.
    size_t PendingBytes() const { return m_in.size() + m_partialBytes; }

   private:
    enum class State { ExpectHello, ExpectOpen, Open, Closed };
    struct Partial {
        std::string body;
        uint32_t chunks = 0;
    };

    StatusCode OnChunk(std::string_view type, char chunkType, std::string_view body, std::string* out,
                       std::vector<Request>* requests, bool* closeRequested);
    StatusCode OnHello(std::string_view body, std::string* out);
    StatusCode OnOpen(std::string_view body, std::string* out);
    StatusCode OnMessage(char chunkType, std::string_view body, std::vector<Request>* requests);
    StatusCode OnClose(std::string_view body, bool* closeRequested);
    // Channel and token of a MSG or CLO chunk, then its sequence header.
    StatusCode CheckSymmetricHeader(Decoder& d, SequenceHeader* seq);
    StatusCode CheckSequence(uint32_t sequenceNumber);
    uint32_t NextSendSequence();
    uint32_t ReviseLifetime(uint32_t requested) const;

    ChannelLimits m_limits;
    uint32_t (*m_newChannelId)();
    State m_state = State::ExpectHello;
    std::string m_in;

    // Negotiated by Hello.
    uint32_t m_receiveBufferSize = 0;
    uint32_t m_sendBufferSize = 0;
    uint32_t m_clientMaxMessageSize = 0;
    uint32_t m_clientMaxChunkCount = 0;
    std::string m_endpointUrl;

    // Secure channel.
    uint32_t m_channelId = 0;
    uint32_t m_tokenId = 0;
    uint32_t m_previousTokenId = 0;  // 0: none; valid until the client uses the new token
    DateTime m_tokenDeadline;
    bool m_receivedAny = false;
    uint32_t m_lastReceivedSequence = 0;
    uint32_t m_sendSequence = 0;

    std::map<uint32_t, Partial> m_partials;  // by request ID
    size_t m_partialBytes = 0;
};

}  // namespace ua
