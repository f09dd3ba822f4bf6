#pragma once
// Numeric identifiers of namespace 0 that the endpoint uses: binary encodings of
// the messages, standard nodes, data types, reference types and attributes.

#include <cstdint>

namespace ua {

// Binary encoding IDs of the messages (the type ID in front of every body).
namespace enc {
constexpr uint32_t kServiceFault = 397;
constexpr uint32_t kFindServersRequest = 422;
constexpr uint32_t kFindServersResponse = 425;
constexpr uint32_t kGetEndpointsRequest = 428;
constexpr uint32_t kGetEndpointsResponse = 431;
constexpr uint32_t kOpenSecureChannelRequest = 446;
constexpr uint32_t kOpenSecureChannelResponse = 449;
constexpr uint32_t kCloseSecureChannelRequest = 452;
constexpr uint32_t kCloseSecureChannelResponse = 455;
constexpr uint32_t kCreateSessionRequest = 461;
constexpr uint32_t kCreateSessionResponse = 464;
constexpr uint32_t kActivateSessionRequest = 467;
constexpr uint32_t kActivateSessionResponse = 470;
constexpr uint32_t kCloseSessionRequest = 473;
constexpr uint32_t kCloseSessionResponse = 476;
constexpr uint32_t kCancelRequest = 479;
constexpr uint32_t kCancelResponse = 482;
constexpr uint32_t kBrowseRequest = 527;
constexpr uint32_t kBrowseResponse = 530;
constexpr uint32_t kBrowseNextRequest = 533;
constexpr uint32_t kBrowseNextResponse = 536;
constexpr uint32_t kTranslateBrowsePathsRequest = 554;
constexpr uint32_t kTranslateBrowsePathsResponse = 557;
constexpr uint32_t kRegisterNodesRequest = 560;
constexpr uint32_t kRegisterNodesResponse = 563;
constexpr uint32_t kUnregisterNodesRequest = 566;
constexpr uint32_t kUnregisterNodesResponse = 569;
constexpr uint32_t kReadRequest = 631;
constexpr uint32_t kReadResponse = 634;
constexpr uint32_t kWriteRequest = 673;
constexpr uint32_t kWriteResponse = 676;

constexpr uint32_t kAnonymousIdentityToken = 321;
constexpr uint32_t kUserNameIdentityToken = 324;
constexpr uint32_t kX509IdentityToken = 327;
constexpr uint32_t kIssuedIdentityToken = 940;
constexpr uint32_t kBuildInfo = 340;
constexpr uint32_t kServerStatusDataType = 864;
}  // namespace enc

// Standard nodes.
namespace id {
// Data types.
constexpr uint32_t kBoolean = 1;
constexpr uint32_t kSByte = 2;
constexpr uint32_t kByte = 3;
constexpr uint32_t kInt16 = 4;
constexpr uint32_t kUInt16 = 5;
constexpr uint32_t kInt32 = 6;
constexpr uint32_t kUInt32 = 7;
constexpr uint32_t kInt64 = 8;
constexpr uint32_t kUInt64 = 9;
constexpr uint32_t kFloat = 10;
constexpr uint32_t kDouble = 11;
constexpr uint32_t kString = 12;
constexpr uint32_t kDateTime = 13;
constexpr uint32_t kGuid = 14;
constexpr uint32_t kByteString = 15;
constexpr uint32_t kNodeId = 17;
constexpr uint32_t kStatusCode = 19;
constexpr uint32_t kQualifiedName = 20;
constexpr uint32_t kLocalizedText = 21;
constexpr uint32_t kStructure = 22;
constexpr uint32_t kBaseDataType = 24;
constexpr uint32_t kNumber = 26;
constexpr uint32_t kInteger = 27;
constexpr uint32_t kUInteger = 28;
constexpr uint32_t kEnumeration = 29;
constexpr uint32_t kDuration = 290;
constexpr uint32_t kUtcTime = 294;
constexpr uint32_t kLocaleId = 295;
constexpr uint32_t kBuildInfo = 338;
constexpr uint32_t kSignedSoftwareCertificate = 344;
constexpr uint32_t kServerState = 852;
constexpr uint32_t kServerStatusDataType = 862;

// Reference types.
constexpr uint32_t kReferences = 31;
constexpr uint32_t kNonHierarchicalReferences = 32;
constexpr uint32_t kHierarchicalReferences = 33;
constexpr uint32_t kHasChild = 34;
constexpr uint32_t kOrganizes = 35;
constexpr uint32_t kHasEventSource = 36;
constexpr uint32_t kHasModellingRule = 37;
constexpr uint32_t kHasEncoding = 38;
constexpr uint32_t kHasDescription = 39;
constexpr uint32_t kHasTypeDefinition = 40;
constexpr uint32_t kGeneratesEvent = 41;
constexpr uint32_t kAggregates = 44;
constexpr uint32_t kHasSubtype = 45;
constexpr uint32_t kHasProperty = 46;
constexpr uint32_t kHasComponent = 47;
constexpr uint32_t kHasNotifier = 48;

// Object and variable types.
constexpr uint32_t kBaseObjectType = 58;
constexpr uint32_t kFolderType = 61;
constexpr uint32_t kBaseVariableType = 62;
constexpr uint32_t kBaseDataVariableType = 63;
constexpr uint32_t kPropertyType = 68;
constexpr uint32_t kModellingRuleType = 77;
constexpr uint32_t kModellingRuleMandatory = 78;
constexpr uint32_t kServerType = 2004;
constexpr uint32_t kServerCapabilitiesType = 2013;
constexpr uint32_t kServerStatusType = 2138;
constexpr uint32_t kBuildInfoType = 3051;
constexpr uint32_t kOperationLimitsType = 11564;

// Folders and the Server object.
constexpr uint32_t kRootFolder = 84;
constexpr uint32_t kObjectsFolder = 85;
constexpr uint32_t kTypesFolder = 86;
constexpr uint32_t kViewsFolder = 87;
constexpr uint32_t kObjectTypesFolder = 88;
constexpr uint32_t kVariableTypesFolder = 89;
constexpr uint32_t kDataTypesFolder = 90;
constexpr uint32_t kReferenceTypesFolder = 91;
constexpr uint32_t kServer = 2253;
constexpr uint32_t kServerArray = 2254;
constexpr uint32_t kNamespaceArray = 2255;
constexpr uint32_t kServerStatus = 2256;
constexpr uint32_t kStartTime = 2257;
constexpr uint32_t kCurrentTime = 2258;
constexpr uint32_t kState = 2259;
constexpr uint32_t kBuildInfoNode = 2260;
constexpr uint32_t kProductName = 2261;
constexpr uint32_t kProductUri = 2262;
constexpr uint32_t kManufacturerName = 2263;
constexpr uint32_t kSoftwareVersion = 2264;
constexpr uint32_t kBuildNumber = 2265;
constexpr uint32_t kBuildDate = 2266;
constexpr uint32_t kServiceLevel = 2267;
constexpr uint32_t kServerCapabilities = 2268;
constexpr uint32_t kServerProfileArray = 2269;
constexpr uint32_t kLocaleIdArray = 2271;
constexpr uint32_t kMinSupportedSampleRate = 2272;
constexpr uint32_t kMaxBrowseContinuationPoints = 2735;
constexpr uint32_t kMaxQueryContinuationPoints = 2736;
constexpr uint32_t kMaxHistoryContinuationPoints = 2737;
constexpr uint32_t kSecondsTillShutdown = 2992;
constexpr uint32_t kShutdownReason = 2993;
constexpr uint32_t kAuditing = 2994;
constexpr uint32_t kModellingRules = 2996;
constexpr uint32_t kAggregateFunctions = 2997;
constexpr uint32_t kSoftwareCertificates = 3704;
constexpr uint32_t kMaxArrayLength = 11702;
constexpr uint32_t kMaxStringLength = 11703;
constexpr uint32_t kOperationLimits = 11704;
constexpr uint32_t kMaxNodesPerRead = 11705;
constexpr uint32_t kMaxNodesPerWrite = 11707;
constexpr uint32_t kMaxNodesPerMethodCall = 11709;
constexpr uint32_t kMaxNodesPerBrowse = 11710;
constexpr uint32_t kMaxNodesPerRegisterNodes = 11711;
constexpr uint32_t kMaxNodesPerTranslateBrowsePaths = 11712;
constexpr uint32_t kMaxNodesPerNodeManagement = 11713;
constexpr uint32_t kMaxMonitoredItemsPerCall = 11714;
constexpr uint32_t kMaxNodesPerHistoryReadData = 12165;
constexpr uint32_t kMaxNodesPerHistoryReadEvents = 12166;
constexpr uint32_t kMaxNodesPerHistoryUpdateData = 12167;
constexpr uint32_t kMaxNodesPerHistoryUpdateEvents = 12168;
constexpr uint32_t kMaxByteStringLength = 12911;
constexpr uint32_t kMaxSessions = 24095;
}  // namespace id

// Attribute IDs.
enum class Attribute : uint32_t {
    NodeId = 1,
    NodeClass = 2,
    BrowseName = 3,
    DisplayName = 4,
    Description = 5,
    WriteMask = 6,
    UserWriteMask = 7,
    IsAbstract = 8,
    Symmetric = 9,
    InverseName = 10,
    ContainsNoLoops = 11,
    EventNotifier = 12,
    Value = 13,
    DataType = 14,
    ValueRank = 15,
    ArrayDimensions = 16,
    AccessLevel = 17,
    UserAccessLevel = 18,
    MinimumSamplingInterval = 19,
    Historizing = 20,
    Executable = 21,
    UserExecutable = 22,
};

enum class NodeClass : uint32_t {
    Unspecified = 0,
    Object = 1,
    Variable = 2,
    Method = 4,
    ObjectType = 8,
    VariableType = 16,
    ReferenceType = 32,
    DataType = 64,
    View = 128,
};

}  // namespace ua
