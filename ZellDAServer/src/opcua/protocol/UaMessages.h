#pragma once
// The service messages the endpoint understands, with their fields in wire order.

#include "opcua/protocol/UaBinary.h"
#include "opcua/protocol/UaIds.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ua {

#define UA_FIELDS(...)                             \
    template <typename C, typename S>              \
    static void Fields(C& c, S& s)                 \
    {                                              \
        [&](auto&... f) { c(f...); }(__VA_ARGS__); \
    }

// ---- transport ----

struct HelloMessage {
    uint32_t protocolVersion = 0;
    uint32_t receiveBufferSize = 0;
    uint32_t sendBufferSize = 0;
    uint32_t maxMessageSize = 0;
    uint32_t maxChunkCount = 0;
    std::string endpointUrl;
    UA_FIELDS(s.protocolVersion, s.receiveBufferSize, s.sendBufferSize, s.maxMessageSize, s.maxChunkCount,
              s.endpointUrl)
};

struct AcknowledgeMessage {
    uint32_t protocolVersion = 0;
    uint32_t receiveBufferSize = 0;
    uint32_t sendBufferSize = 0;
    uint32_t maxMessageSize = 0;
    uint32_t maxChunkCount = 0;
    UA_FIELDS(s.protocolVersion, s.receiveBufferSize, s.sendBufferSize, s.maxMessageSize, s.maxChunkCount)
};

struct ErrorMessage {
    StatusCode error = kGood;
    std::string reason;
    UA_FIELDS(s.error, s.reason)
};

struct AsymmetricSecurityHeader {
    std::string securityPolicyUri;
    ByteString senderCertificate;
    ByteString receiverCertificateThumbprint;
    UA_FIELDS(s.securityPolicyUri, s.senderCertificate, s.receiverCertificateThumbprint)
};

struct SequenceHeader {
    uint32_t sequenceNumber = 0;
    uint32_t requestId = 0;
    UA_FIELDS(s.sequenceNumber, s.requestId)
};

// ---- headers ----

struct RequestHeader {
    NodeId authenticationToken;
    DateTime timestamp;
    uint32_t requestHandle = 0;
    uint32_t returnDiagnostics = 0;
    std::string auditEntryId;
    uint32_t timeoutHint = 0;
    ExtensionObject additionalHeader;
    UA_FIELDS(s.authenticationToken, s.timestamp, s.requestHandle, s.returnDiagnostics, s.auditEntryId,
              s.timeoutHint, s.additionalHeader)
};

struct ResponseHeader {
    DateTime timestamp;
    uint32_t requestHandle = 0;
    StatusCode serviceResult = kGood;
    DiagnosticInfo serviceDiagnostics;
    std::vector<std::string> stringTable;
    ExtensionObject additionalHeader;
    UA_FIELDS(s.timestamp, s.requestHandle, s.serviceResult, s.serviceDiagnostics, s.stringTable,
              s.additionalHeader)
};

struct ServiceFault {
    ResponseHeader responseHeader;
    UA_FIELDS(s.responseHeader)
};

// ---- secure channel ----

enum class SecurityTokenRequestType : int32_t { Issue = 0, Renew = 1 };
enum class MessageSecurityMode : int32_t { Invalid = 0, None = 1, Sign = 2, SignAndEncrypt = 3 };

struct OpenSecureChannelRequest {
    RequestHeader requestHeader;
    uint32_t clientProtocolVersion = 0;
    SecurityTokenRequestType requestType = SecurityTokenRequestType::Issue;
    MessageSecurityMode securityMode = MessageSecurityMode::None;
    ByteString clientNonce;
    uint32_t requestedLifetime = 0;
    UA_FIELDS(s.requestHeader, s.clientProtocolVersion, s.requestType, s.securityMode, s.clientNonce,
              s.requestedLifetime)
};

struct ChannelSecurityToken {
    uint32_t channelId = 0;
    uint32_t tokenId = 0;
    DateTime createdAt;
    uint32_t revisedLifetime = 0;
    UA_FIELDS(s.channelId, s.tokenId, s.createdAt, s.revisedLifetime)
};

struct OpenSecureChannelResponse {
    ResponseHeader responseHeader;
    uint32_t serverProtocolVersion = 0;
    ChannelSecurityToken securityToken;
    ByteString serverNonce;
    UA_FIELDS(s.responseHeader, s.serverProtocolVersion, s.securityToken, s.serverNonce)
};

struct CloseSecureChannelRequest {
    RequestHeader requestHeader;
    UA_FIELDS(s.requestHeader)
};

// ---- discovery ----

enum class ApplicationType : int32_t { Server = 0, Client = 1, ClientAndServer = 2, DiscoveryServer = 3 };
enum class UserTokenType : int32_t { Anonymous = 0, UserName = 1, Certificate = 2, IssuedToken = 3 };

struct ApplicationDescription {
    std::string applicationUri;
    std::string productUri;
    LocalizedText applicationName;
    ApplicationType applicationType = ApplicationType::Server;
    std::string gatewayServerUri;
    std::string discoveryProfileUri;
    std::vector<std::string> discoveryUrls;
    UA_FIELDS(s.applicationUri, s.productUri, s.applicationName, s.applicationType, s.gatewayServerUri,
              s.discoveryProfileUri, s.discoveryUrls)
};

struct UserTokenPolicy {
    std::string policyId;
    UserTokenType tokenType = UserTokenType::Anonymous;
    std::string issuedTokenType;
    std::string issuerEndpointUrl;
    std::string securityPolicyUri;
    UA_FIELDS(s.policyId, s.tokenType, s.issuedTokenType, s.issuerEndpointUrl, s.securityPolicyUri)
};

struct EndpointDescription {
    std::string endpointUrl;
    ApplicationDescription server;
    ByteString serverCertificate;
    MessageSecurityMode securityMode = MessageSecurityMode::None;
    std::string securityPolicyUri;
    std::vector<UserTokenPolicy> userIdentityTokens;
    std::string transportProfileUri;
    uint8_t securityLevel = 0;
    UA_FIELDS(s.endpointUrl, s.server, s.serverCertificate, s.securityMode, s.securityPolicyUri,
              s.userIdentityTokens, s.transportProfileUri, s.securityLevel)
};

struct GetEndpointsRequest {
    RequestHeader requestHeader;
    std::string endpointUrl;
    std::vector<std::string> localeIds;
    std::vector<std::string> profileUris;
    UA_FIELDS(s.requestHeader, s.endpointUrl, s.localeIds, s.profileUris)
};

struct GetEndpointsResponse {
    ResponseHeader responseHeader;
    std::vector<EndpointDescription> endpoints;
    UA_FIELDS(s.responseHeader, s.endpoints)
};

struct FindServersRequest {
    RequestHeader requestHeader;
    std::string endpointUrl;
    std::vector<std::string> localeIds;
    std::vector<std::string> serverUris;
    UA_FIELDS(s.requestHeader, s.endpointUrl, s.localeIds, s.serverUris)
};

struct FindServersResponse {
    ResponseHeader responseHeader;
    std::vector<ApplicationDescription> servers;
    UA_FIELDS(s.responseHeader, s.servers)
};

// ---- session ----

struct SignatureData {
    std::string algorithm;
    ByteString signature;
    UA_FIELDS(s.algorithm, s.signature)
};

struct SignedSoftwareCertificate {
    ByteString certificateData;
    ByteString signature;
    UA_FIELDS(s.certificateData, s.signature)
};

struct CreateSessionRequest {
    RequestHeader requestHeader;
    ApplicationDescription clientDescription;
    std::string serverUri;
    std::string endpointUrl;
    std::string sessionName;
    ByteString clientNonce;
    ByteString clientCertificate;
    double requestedSessionTimeout = 0;
    uint32_t maxResponseMessageSize = 0;
    UA_FIELDS(s.requestHeader, s.clientDescription, s.serverUri, s.endpointUrl, s.sessionName, s.clientNonce,
              s.clientCertificate, s.requestedSessionTimeout, s.maxResponseMessageSize)
};

struct CreateSessionResponse {
    ResponseHeader responseHeader;
    NodeId sessionId;
    NodeId authenticationToken;
    double revisedSessionTimeout = 0;
    ByteString serverNonce;
    ByteString serverCertificate;
    std::vector<EndpointDescription> serverEndpoints;
    std::vector<SignedSoftwareCertificate> serverSoftwareCertificates;
    SignatureData serverSignature;
    uint32_t maxRequestMessageSize = 0;
    UA_FIELDS(s.responseHeader, s.sessionId, s.authenticationToken, s.revisedSessionTimeout, s.serverNonce,
              s.serverCertificate, s.serverEndpoints, s.serverSoftwareCertificates, s.serverSignature,
              s.maxRequestMessageSize)
};

struct AnonymousIdentityToken {
    std::string policyId;
    UA_FIELDS(s.policyId)
};

struct ActivateSessionRequest {
    RequestHeader requestHeader;
    SignatureData clientSignature;
    std::vector<SignedSoftwareCertificate> clientSoftwareCertificates;
    std::vector<std::string> localeIds;
    ExtensionObject userIdentityToken;
    SignatureData userTokenSignature;
    UA_FIELDS(s.requestHeader, s.clientSignature, s.clientSoftwareCertificates, s.localeIds,
              s.userIdentityToken, s.userTokenSignature)
};

struct ActivateSessionResponse {
    ResponseHeader responseHeader;
    ByteString serverNonce;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    UA_FIELDS(s.responseHeader, s.serverNonce, s.results, s.diagnosticInfos)
};

struct CloseSessionRequest {
    RequestHeader requestHeader;
    bool deleteSubscriptions = true;
    UA_FIELDS(s.requestHeader, s.deleteSubscriptions)
};

struct CloseSessionResponse {
    ResponseHeader responseHeader;
    UA_FIELDS(s.responseHeader)
};

struct CancelRequest {
    RequestHeader requestHeader;
    uint32_t requestHandle = 0;
    UA_FIELDS(s.requestHeader, s.requestHandle)
};

struct CancelResponse {
    ResponseHeader responseHeader;
    uint32_t cancelCount = 0;
    UA_FIELDS(s.responseHeader, s.cancelCount)
};

// ---- view ----

enum class BrowseDirection : int32_t { Forward = 0, Inverse = 1, Both = 2, Invalid = 3 };

// BrowseDescription.resultMask bits.
constexpr uint32_t kResultReferenceType = 0x01;
constexpr uint32_t kResultIsForward = 0x02;
constexpr uint32_t kResultNodeClass = 0x04;
constexpr uint32_t kResultBrowseName = 0x08;
constexpr uint32_t kResultDisplayName = 0x10;
constexpr uint32_t kResultTypeDefinition = 0x20;

struct ViewDescription {
    NodeId viewId;
    DateTime timestamp;
    uint32_t viewVersion = 0;
    UA_FIELDS(s.viewId, s.timestamp, s.viewVersion)
};

struct BrowseDescription {
    NodeId nodeId;
    BrowseDirection browseDirection = BrowseDirection::Forward;
    NodeId referenceTypeId;
    bool includeSubtypes = false;
    uint32_t nodeClassMask = 0;
    uint32_t resultMask = 0;
    UA_FIELDS(s.nodeId, s.browseDirection, s.referenceTypeId, s.includeSubtypes, s.nodeClassMask,
              s.resultMask)
};

struct ReferenceDescription {
    NodeId referenceTypeId;
    bool isForward = true;
    ExpandedNodeId nodeId;
    QualifiedName browseName;
    LocalizedText displayName;
    NodeClass nodeClass = NodeClass::Unspecified;
    ExpandedNodeId typeDefinition;
    UA_FIELDS(s.referenceTypeId, s.isForward, s.nodeId, s.browseName, s.displayName, s.nodeClass,
              s.typeDefinition)
};

struct BrowseResult {
    StatusCode statusCode = kGood;
    ByteString continuationPoint;
    std::vector<ReferenceDescription> references;
    UA_FIELDS(s.statusCode, s.continuationPoint, s.references)
};

struct BrowseRequest {
    RequestHeader requestHeader;
    ViewDescription view;
    uint32_t requestedMaxReferencesPerNode = 0;
    std::vector<BrowseDescription> nodesToBrowse;
    UA_FIELDS(s.requestHeader, s.view, s.requestedMaxReferencesPerNode, s.nodesToBrowse)
};

struct BrowseResponse {
    ResponseHeader responseHeader;
    std::vector<BrowseResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    UA_FIELDS(s.responseHeader, s.results, s.diagnosticInfos)
};

struct BrowseNextRequest {
    RequestHeader requestHeader;
    bool releaseContinuationPoints = false;
    std::vector<ByteString> continuationPoints;
    UA_FIELDS(s.requestHeader, s.releaseContinuationPoints, s.continuationPoints)
};

struct RelativePathElement {
    NodeId referenceTypeId;
    bool isInverse = false;
    bool includeSubtypes = false;
    QualifiedName targetName;
    UA_FIELDS(s.referenceTypeId, s.isInverse, s.includeSubtypes, s.targetName)
};

struct RelativePath {
    std::vector<RelativePathElement> elements;
    UA_FIELDS(s.elements)
};

struct BrowsePath {
    NodeId startingNode;
    RelativePath relativePath;
    UA_FIELDS(s.startingNode, s.relativePath)
};

struct BrowsePathTarget {
    ExpandedNodeId targetId;
    uint32_t remainingPathIndex = 0xFFFFFFFFu;
    UA_FIELDS(s.targetId, s.remainingPathIndex)
};

struct BrowsePathResult {
    StatusCode statusCode = kGood;
    std::vector<BrowsePathTarget> targets;
    UA_FIELDS(s.statusCode, s.targets)
};

struct TranslateBrowsePathsRequest {
    RequestHeader requestHeader;
    std::vector<BrowsePath> browsePaths;
    UA_FIELDS(s.requestHeader, s.browsePaths)
};

struct TranslateBrowsePathsResponse {
    ResponseHeader responseHeader;
    std::vector<BrowsePathResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    UA_FIELDS(s.responseHeader, s.results, s.diagnosticInfos)
};

struct RegisterNodesRequest {
    RequestHeader requestHeader;
    std::vector<NodeId> nodesToRegister;
    UA_FIELDS(s.requestHeader, s.nodesToRegister)
};

struct RegisterNodesResponse {
    ResponseHeader responseHeader;
    std::vector<NodeId> registeredNodeIds;
    UA_FIELDS(s.responseHeader, s.registeredNodeIds)
};

struct UnregisterNodesRequest {
    RequestHeader requestHeader;
    std::vector<NodeId> nodesToUnregister;
    UA_FIELDS(s.requestHeader, s.nodesToUnregister)
};

struct UnregisterNodesResponse {
    ResponseHeader responseHeader;
    UA_FIELDS(s.responseHeader)
};

// ---- attributes ----

enum class TimestampsToReturn : int32_t { Source = 0, Server = 1, Both = 2, Neither = 3, Invalid = 4 };

struct ReadValueId {
    NodeId nodeId;
    uint32_t attributeId = 0;
    std::string indexRange;
    QualifiedName dataEncoding;
    UA_FIELDS(s.nodeId, s.attributeId, s.indexRange, s.dataEncoding)
};

struct ReadRequest {
    RequestHeader requestHeader;
    double maxAge = 0;
    TimestampsToReturn timestampsToReturn = TimestampsToReturn::Source;
    std::vector<ReadValueId> nodesToRead;
    UA_FIELDS(s.requestHeader, s.maxAge, s.timestampsToReturn, s.nodesToRead)
};

struct ReadResponse {
    ResponseHeader responseHeader;
    std::vector<DataValue> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    UA_FIELDS(s.responseHeader, s.results, s.diagnosticInfos)
};

struct WriteValue {
    NodeId nodeId;
    uint32_t attributeId = 0;
    std::string indexRange;
    DataValue value;
    UA_FIELDS(s.nodeId, s.attributeId, s.indexRange, s.value)
};

struct WriteRequest {
    RequestHeader requestHeader;
    std::vector<WriteValue> nodesToWrite;
    UA_FIELDS(s.requestHeader, s.nodesToWrite)
};

struct WriteResponse {
    ResponseHeader responseHeader;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    UA_FIELDS(s.responseHeader, s.results, s.diagnosticInfos)
};

// ---- values of standard variables ----

enum class ServerState : int32_t {
    Running = 0,
    Failed = 1,
    NoConfiguration = 2,
    Suspended = 3,
    Shutdown = 4,
    Test = 5,
    CommunicationFault = 6,
    Unknown = 7,
};

struct BuildInfo {
    std::string productUri;
    std::string manufacturerName;
    std::string productName;
    std::string softwareVersion;
    std::string buildNumber;
    DateTime buildDate;
    UA_FIELDS(s.productUri, s.manufacturerName, s.productName, s.softwareVersion, s.buildNumber, s.buildDate)
};

struct ServerStatusDataType {
    DateTime startTime;
    DateTime currentTime;
    ServerState state = ServerState::Running;
    BuildInfo buildInfo;
    uint32_t secondsTillShutdown = 0;
    LocalizedText shutdownReason;
    UA_FIELDS(s.startTime, s.currentTime, s.state, s.buildInfo, s.secondsTillShutdown, s.shutdownReason)
};

#undef UA_FIELDS

}  // namespace ua
