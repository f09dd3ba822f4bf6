#pragma once
// The client's side of an opc.tcp connection without its socket: builds Hello,
// OpenSecureChannel, chunked requests and CloseSecureChannel, and takes the
// server's bytes apart into acknowledgements, responses and errors. The
// endpoint's own tests and benchmarks talk to it through this, and through it
// can also send what a client should not (a skipped sequence number, an
// unknown token, tiny chunks).

#include "opcua/protocol/UaMessages.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace ua {

class CUaClientChannel {
   public:
    struct Options {
        uint32_t receiveBufferSize = 65535;
        uint32_t sendBufferSize = 65535;
        uint32_t maxMessageSize = 0;
        uint32_t maxChunkCount = 0;
        uint32_t requestedLifetime = 600000;
    };
    struct Event {
        enum Kind { Acknowledged, Opened, Response, Aborted, Error } kind = Error;
        uint32_t requestId = 0;
        std::string body;  // a response: its encoding NodeId and the message
        StatusCode status = kGood;
    };

    CUaClientChannel() : CUaClientChannel(Options()) {}
    explicit CUaClientChannel(const Options& options) : m_options(options) {}

    std::string Hello(const std::string& endpointUrl) const;
    std::string Open(SecurityTokenRequestType type, uint32_t* requestId);
    // A request of the given encoding, cut into chunks of at most chunkBody
    // bytes of message each (0: as large as the server allows).
    template <typename T>
    std::string Request(uint32_t encodingId, const T& request, uint32_t* requestId, size_t chunkBody = 0)
    {
        std::string body;
        Encoder e(body);
        e(NodeId::Numeric(encodingId), request);
        return Message(body, requestId, chunkBody);
    }
    std::string Message(std::string_view body, uint32_t* requestId, size_t chunkBody = 0);
    std::string Close();

    // Takes received bytes apart; kGood, or a malformed stream from the server.
    StatusCode Feed(const char* data, size_t size, std::vector<Event>* events);

    uint32_t ChannelId() const { return m_channelId; }
    uint32_t TokenId() const { return m_tokenId; }
    const AcknowledgeMessage& Acknowledge() const { return m_ack; }
    const ChannelSecurityToken& Token() const { return m_token; }
    // For tests that send what a well-behaved client would not.
    void SetTokenId(uint32_t tokenId) { m_tokenId = tokenId; }
    void SkipSequenceNumbers(uint32_t count) { m_sequence += count; }
    // The next chunk goes out with last + 1 (wrapping as unsigned numbers do).
    void SetLastSequenceNumber(uint32_t last) { m_sequence = last; }
    void SetChannelId(uint32_t channelId) { m_channelId = channelId; }
    uint32_t LastReceivedSequence() const { return m_lastReceivedSequence; }

   private:
    std::string Chunk(const char* type, char chunkType, std::string_view header, uint32_t requestId,
                      std::string_view body);

    Options m_options;
    uint32_t m_channelId = 0;
    uint32_t m_tokenId = 0;
    uint32_t m_sequence = 0;
    uint32_t m_nextRequestId = 0;
    AcknowledgeMessage m_ack;
    ChannelSecurityToken m_token;
    std::string m_in;
    std::map<uint32_t, std::string> m_partials;
    uint32_t m_lastReceivedSequence = 0;
};

}  // namespace ua
