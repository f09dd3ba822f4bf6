#include "opcua/UaAddressSpace.h"

#include "ItemSpace.h"
#include "ServerCore.h"
#include "opcua/UaLimits.h"

namespace ua {

const char kStandardNamespaceUri[] = "http://opcfoundation.org/UA/";

namespace {

const char kServerProfile[] = "http://opcfoundation.org/UA-Profile/Server/NanoEmbeddedDevice2017";

// Positions in a node's references: a segment in the top bits, an index below.
constexpr uint32_t kSegmentShift = 28;
constexpr uint32_t kIndexMask = (1u << kSegmentShift) - 1;
constexpr uint32_t Position(uint32_t segment, uint32_t index)
{
    return (segment << kSegmentShift) | index;
}

// A reference about to be offered to the client.
struct Candidate {
    uint32_t refType;
    bool forward;
    const StandardNode* standard;  // a standard target, else an item space one
    std::string_view parentPath;   // the item space target's parent ("" at the top)
    std::string_view name;
    bool isItem;
    uint32_t position;
};

struct Row {
    uint32_t id;
    NodeClass nodeClass;
    const char* name;
    uint32_t parent;   // the parent, or the supertype of a type
    uint32_t refType;  // from the parent
    uint32_t typeDefinition;
    uint32_t dataType;
    int32_t valueRank;
    bool isAbstract;
};

constexpr NodeClass kObject = NodeClass::Object, kVariable = NodeClass::Variable,
                    kObjectType = NodeClass::ObjectType, kVariableType = NodeClass::VariableType,
                    kReferenceType = NodeClass::ReferenceType, kDataType = NodeClass::DataType;

// The standard nodes, parents before children.
const Row kRows[] = {
    {id::kRootFolder, kObject, "Root", 0, 0, id::kFolderType, 0, -1, false},
    {id::kObjectsFolder, kObject, "Objects", id::kRootFolder, id::kOrganizes, id::kFolderType, 0, -1, false},
    {id::kTypesFolder, kObject, "Types", id::kRootFolder, id::kOrganizes, id::kFolderType, 0, -1, false},
    {id::kViewsFolder, kObject, "Views", id::kRootFolder, id::kOrganizes, id::kFolderType, 0, -1, false},
    {id::kObjectTypesFolder, kObject, "ObjectTypes", id::kTypesFolder, id::kOrganizes, id::kFolderType, 0, -1,
     false},
    {id::kVariableTypesFolder, kObject, "VariableTypes", id::kTypesFolder, id::kOrganizes, id::kFolderType, 0,
     -1, false},
    {id::kDataTypesFolder, kObject, "DataTypes", id::kTypesFolder, id::kOrganizes, id::kFolderType, 0, -1,
     false},
    {id::kReferenceTypesFolder, kObject, "ReferenceTypes", id::kTypesFolder, id::kOrganizes, id::kFolderType,
     0, -1, false},

    // Reference types.
    {id::kReferences, kReferenceType, "References", id::kReferenceTypesFolder, id::kOrganizes, 0, 0, -1,
     true},
    {id::kNonHierarchicalReferences, kReferenceType, "NonHierarchicalReferences", id::kReferences,
     id::kHasSubtype, 0, 0, -1, true},
    {id::kHierarchicalReferences, kReferenceType, "HierarchicalReferences", id::kReferences, id::kHasSubtype,
     0, 0, -1, true},
    {id::kHasChild, kReferenceType, "HasChild", id::kHierarchicalReferences, id::kHasSubtype, 0, 0, -1, true},
    {id::kOrganizes, kReferenceType, "Organizes", id::kHierarchicalReferences, id::kHasSubtype, 0, 0, -1,
     false},
    {id::kHasEventSource, kReferenceType, "HasEventSource", id::kHierarchicalReferences, id::kHasSubtype, 0,
     0, -1, false},
    {id::kHasNotifier, kReferenceType, "HasNotifier", id::kHasEventSource, id::kHasSubtype, 0, 0, -1, false},
    {id::kAggregates, kReferenceType, "Aggregates", id::kHasChild, id::kHasSubtype, 0, 0, -1, true},
    {id::kHasSubtype, kReferenceType, "HasSubtype", id::kHasChild, id::kHasSubtype, 0, 0, -1, false},
    {id::kHasProperty, kReferenceType, "HasProperty", id::kAggregates, id::kHasSubtype, 0, 0, -1, false},
    {id::kHasComponent, kReferenceType, "HasComponent", id::kAggregates, id::kHasSubtype, 0, 0, -1, false},
    {id::kHasModellingRule, kReferenceType, "HasModellingRule", id::kNonHierarchicalReferences,
     id::kHasSubtype, 0, 0, -1, false},
    {id::kHasEncoding, kReferenceType, "HasEncoding", id::kNonHierarchicalReferences, id::kHasSubtype, 0, 0,
     -1, false},
    {id::kHasDescription, kReferenceType, "HasDescription", id::kNonHierarchicalReferences, id::kHasSubtype,
     0, 0, -1, false},
    {id::kHasTypeDefinition, kReferenceType, "HasTypeDefinition", id::kNonHierarchicalReferences,
     id::kHasSubtype, 0, 0, -1, false},
    {id::kGeneratesEvent, kReferenceType, "GeneratesEvent", id::kNonHierarchicalReferences, id::kHasSubtype,
     0, 0, -1, false},

    // Object types.
    {id::kBaseObjectType, kObjectType, "BaseObjectType", id::kObjectTypesFolder, id::kOrganizes, 0, 0, -1,
     false},
    {id::kFolderType, kObjectType, "FolderType", id::kBaseObjectType, id::kHasSubtype, 0, 0, -1, false},
    {id::kModellingRuleType, kObjectType, "ModellingRuleType", id::kBaseObjectType, id::kHasSubtype, 0, 0, -1,
     false},
    {id::kServerType, kObjectType, "ServerType", id::kBaseObjectType, id::kHasSubtype, 0, 0, -1, false},
    {id::kServerCapabilitiesType, kObjectType, "ServerCapabilitiesType", id::kBaseObjectType, id::kHasSubtype,
     0, 0, -1, false},
    {id::kOperationLimitsType, kObjectType, "OperationLimitsType", id::kFolderType, id::kHasSubtype, 0, 0, -1,
     false},

    // Variable types.
    {id::kBaseVariableType, kVariableType, "BaseVariableType", id::kVariableTypesFolder, id::kOrganizes, 0,
     id::kBaseDataType, -2, true},
    {id::kBaseDataVariableType, kVariableType, "BaseDataVariableType", id::kBaseVariableType, id::kHasSubtype,
     0, id::kBaseDataType, -2, false},
    {id::kPropertyType, kVariableType, "PropertyType", id::kBaseVariableType, id::kHasSubtype, 0,
     id::kBaseDataType, -2, false},
    {id::kServerStatusType, kVariableType, "ServerStatusType", id::kBaseDataVariableType, id::kHasSubtype, 0,
     id::kServerStatusDataType, -1, false},
    {id::kBuildInfoType, kVariableType, "BuildInfoType", id::kBaseDataVariableType, id::kHasSubtype, 0,
     id::kBuildInfo, -1, false},

    // Data types.
    {id::kBaseDataType, kDataType, "BaseDataType", id::kDataTypesFolder, id::kOrganizes, 0, 0, -1, true},
    {id::kBoolean, kDataType, "Boolean", id::kBaseDataType, id::kHasSubtype, 0, 0, -1, false},
    {id::kNumber, kDataType, "Number", id::kBaseDataType, id::kHasSubtype, 0, 0, -1, true},
    {id::kInteger, kDataType, "Integer", id::kNumber, id::kHasSubtype, 0, 0, -1, true},
    {id::kUInteger, kDataType, "UInteger", id::kNumber, id::kHasSubtype, 0, 0, -1, true},
    {id::kSByte, kDataType, "SByte", id::kInteger, id::kHasSubtype, 0, 0, -1, false},
    {id::kInt16, kDataType, "Int16", id::kInteger, id::kHasSubtype, 0, 0, -1, false},
    {id::kInt32, kDataType, "Int32", id::kInteger, id::kHasSubtype, 0, 0, -1, false},
    {id::kInt64, kDataType, "Int64", id::kInteger, id::kHasSubtype, 0, 0, -1, false},
    {id::kByte, kDataType, "Byte", id::kUInteger, id::kHasSubtype, 0, 0, -1, false},
    {id::kUInt16, kDataType, "UInt16", id::kUInteger, id::kHasSubtype, 0, 0, -1, false},
    {id::kUInt32, kDataType, "UInt32", id::kUInteger, id::kHasSubtype, 0, 0, -1, false},
    {id::kUInt64, kDataType, "UInt64", id::kUInteger, id::kHasSubtype, 0, 0, -1, false},
    {id::kFloat, kDataType, "Float", id::kNumber, id::kHasSubtype, 0, 0, -1, false},
    {id::kDouble, kDataType, "Double", id::kNumber, id::kHasSubtype, 0, 0, -1, false},
    {id::kDuration, kDataType, "Duration", id::kDouble, id::kHasSubtype, 0, 0, -1, false},
    {id::kString, kDataType, "String", id::kBaseDataType, id::kHasSubtype, 0, 0, -1, false},
    {id::kLocaleId, kDataType, "LocaleId", id::kString, id::kHasSubtype, 0, 0, -1, false},
    {id::kDateTime, kDataType, "DateTime", id::kBaseDataType, id::kHasSubtype, 0, 0, -1, false},
    {id::kUtcTime, kDataType, "UtcTime", id::kDateTime, id::kHasSubtype, 0, 0, -1, false},
    {id::kGuid, kDataType, "Guid", id::kBaseDataType, id::kHasSubtype, 0, 0, -1, false},
    {id::kByteString, kDataType, "ByteString", id::kBaseDataType, id::kHasSubtype, 0, 0, -1, false},
    {id::kNodeId, kDataType, "NodeId", id::kBaseDataType, id::kHasSubtype, 0, 0, -1, false},
    {id::kStatusCode, kDataType, "StatusCode", id::kBaseDataType, id::kHasSubtype, 0, 0, -1, false},
    {id::kQualifiedName, kDataType, "QualifiedName", id::kBaseDataType, id::kHasSubtype, 0, 0, -1, false},
    {id::kLocalizedText, kDataType, "LocalizedText", id::kBaseDataType, id::kHasSubtype, 0, 0, -1, false},
    {id::kStructure, kDataType, "Structure", id::kBaseDataType, id::kHasSubtype, 0, 0, -1, true},
    {id::kBuildInfo, kDataType, "BuildInfo", id::kStructure, id::kHasSubtype, 0, 0, -1, false},
    {id::kServerStatusDataType, kDataType, "ServerStatusDataType", id::kStructure, id::kHasSubtype, 0, 0, -1,
     false},
    {id::kSignedSoftwareCertificate, kDataType, "SignedSoftwareCertificate", id::kStructure, id::kHasSubtype,
     0, 0, -1, false},
    {id::kEnumeration, kDataType, "Enumeration", id::kBaseDataType, id::kHasSubtype, 0, 0, -1, true},
    {id::kServerState, kDataType, "ServerState", id::kEnumeration, id::kHasSubtype, 0, 0, -1, false},

    // The Server object.
    {id::kServer, kObject, "Server", id::kObjectsFolder, id::kOrganizes, id::kServerType, 0, -1, false},
    {id::kServerArray, kVariable, "ServerArray", id::kServer, id::kHasProperty, id::kPropertyType,
     id::kString, 1, false},
    {id::kNamespaceArray, kVariable, "NamespaceArray", id::kServer, id::kHasProperty, id::kPropertyType,
     id::kString, 1, false},
    {id::kServerStatus, kVariable, "ServerStatus", id::kServer, id::kHasComponent, id::kServerStatusType,
     id::kServerStatusDataType, -1, false},
    {id::kStartTime, kVariable, "StartTime", id::kServerStatus, id::kHasComponent, id::kBaseDataVariableType,
     id::kUtcTime, -1, false},
    {id::kCurrentTime, kVariable, "CurrentTime", id::kServerStatus, id::kHasComponent,
     id::kBaseDataVariableType, id::kUtcTime, -1, false},
    {id::kState, kVariable, "State", id::kServerStatus, id::kHasComponent, id::kBaseDataVariableType,
     id::kServerState, -1, false},
    {id::kBuildInfoNode, kVariable, "BuildInfo", id::kServerStatus, id::kHasComponent, id::kBuildInfoType,
     id::kBuildInfo, -1, false},
    {id::kProductUri, kVariable, "ProductUri", id::kBuildInfoNode, id::kHasComponent,
     id::kBaseDataVariableType, id::kString, -1, false},
    {id::kManufacturerName, kVariable, "ManufacturerName", id::kBuildInfoNode, id::kHasComponent,
     id::kBaseDataVariableType, id::kString, -1, false},
    {id::kProductName, kVariable, "ProductName", id::kBuildInfoNode, id::kHasComponent,
     id::kBaseDataVariableType, id::kString, -1, false},
    {id::kSoftwareVersion, kVariable, "SoftwareVersion", id::kBuildInfoNode, id::kHasComponent,
     id::kBaseDataVariableType, id::kString, -1, false},
    {id::kBuildNumber, kVariable, "BuildNumber", id::kBuildInfoNode, id::kHasComponent,
     id::kBaseDataVariableType, id::kString, -1, false},
    {id::kBuildDate, kVariable, "BuildDate", id::kBuildInfoNode, id::kHasComponent, id::kBaseDataVariableType,
     id::kUtcTime, -1, false},
    {id::kSecondsTillShutdown, kVariable, "SecondsTillShutdown", id::kServerStatus, id::kHasComponent,
     id::kBaseDataVariableType, id::kUInt32, -1, false},
    {id::kShutdownReason, kVariable, "ShutdownReason", id::kServerStatus, id::kHasComponent,
     id::kBaseDataVariableType, id::kLocalizedText, -1, false},
    {id::kServiceLevel, kVariable, "ServiceLevel", id::kServer, id::kHasProperty, id::kPropertyType,
     id::kByte, -1, false},
    {id::kAuditing, kVariable, "Auditing", id::kServer, id::kHasProperty, id::kPropertyType, id::kBoolean, -1,
     false},
    {id::kServerCapabilities, kObject, "ServerCapabilities", id::kServer, id::kHasComponent,
     id::kServerCapabilitiesType, 0, -1, false},
    {id::kServerProfileArray, kVariable, "ServerProfileArray", id::kServerCapabilities, id::kHasProperty,
     id::kPropertyType, id::kString, 1, false},
    {id::kLocaleIdArray, kVariable, "LocaleIdArray", id::kServerCapabilities, id::kHasProperty,
     id::kPropertyType, id::kLocaleId, 1, false},
    {id::kMinSupportedSampleRate, kVariable, "MinSupportedSampleRate", id::kServerCapabilities,
     id::kHasProperty, id::kPropertyType, id::kDuration, -1, false},
    {id::kMaxBrowseContinuationPoints, kVariable, "MaxBrowseContinuationPoints", id::kServerCapabilities,
     id::kHasProperty, id::kPropertyType, id::kUInt16, -1, false},
    {id::kMaxQueryContinuationPoints, kVariable, "MaxQueryContinuationPoints", id::kServerCapabilities,
     id::kHasProperty, id::kPropertyType, id::kUInt16, -1, false},
    {id::kMaxHistoryContinuationPoints, kVariable, "MaxHistoryContinuationPoints", id::kServerCapabilities,
     id::kHasProperty, id::kPropertyType, id::kUInt16, -1, false},
    {id::kSoftwareCertificates, kVariable, "SoftwareCertificates", id::kServerCapabilities, id::kHasProperty,
     id::kPropertyType, id::kSignedSoftwareCertificate, 1, false},
    {id::kMaxArrayLength, kVariable, "MaxArrayLength", id::kServerCapabilities, id::kHasProperty,
     id::kPropertyType, id::kUInt32, -1, false},
    {id::kMaxStringLength, kVariable, "MaxStringLength", id::kServerCapabilities, id::kHasProperty,
     id::kPropertyType, id::kUInt32, -1, false},
    {id::kMaxByteStringLength, kVariable, "MaxByteStringLength", id::kServerCapabilities, id::kHasProperty,
     id::kPropertyType, id::kUInt32, -1, false},
    {id::kMaxSessions, kVariable, "MaxSessions", id::kServerCapabilities, id::kHasProperty, id::kPropertyType,
     id::kUInt32, -1, false},
    {id::kOperationLimits, kObject, "OperationLimits", id::kServerCapabilities, id::kHasComponent,
     id::kOperationLimitsType, 0, -1, false},
    {id::kModellingRules, kObject, "ModellingRules", id::kServerCapabilities, id::kHasComponent,
     id::kFolderType, 0, -1, false},
    {id::kAggregateFunctions, kObject, "AggregateFunctions", id::kServerCapabilities, id::kHasComponent,
     id::kFolderType, 0, -1, false},
};

struct Limit {
    uint32_t id;
    const char* name;
    uint32_t value;
};

// Operation limits; 0 stands for services the endpoint does not offer.
const Limit kOperationLimits[] = {
    {id::kMaxNodesPerRead, "MaxNodesPerRead", kMaxNodesPerRead},
    {id::kMaxNodesPerHistoryReadData, "MaxNodesPerHistoryReadData", 0},
    {id::kMaxNodesPerHistoryReadEvents, "MaxNodesPerHistoryReadEvents", 0},
    {id::kMaxNodesPerWrite, "MaxNodesPerWrite", kMaxNodesPerWrite},
    {id::kMaxNodesPerHistoryUpdateData, "MaxNodesPerHistoryUpdateData", 0},
    {id::kMaxNodesPerHistoryUpdateEvents, "MaxNodesPerHistoryUpdateEvents", 0},
    {id::kMaxNodesPerMethodCall, "MaxNodesPerMethodCall", 0},
    {id::kMaxNodesPerBrowse, "MaxNodesPerBrowse", kMaxNodesPerBrowse},
    {id::kMaxNodesPerRegisterNodes, "MaxNodesPerRegisterNodes", kMaxNodesPerRegisterNodes},
    {id::kMaxNodesPerTranslateBrowsePaths, "MaxNodesPerTranslateBrowsePathsToNodeIds",
     kMaxNodesPerTranslateBrowsePaths},
    {id::kMaxNodesPerNodeManagement, "MaxNodesPerNodeManagement", 0},
    {id::kMaxMonitoredItemsPerCall, "MaxMonitoredItemsPerCall", kMaxMonitoredItemsPerCall},
};

struct InverseName {
    uint32_t id;
    const char* name;
};
const InverseName kInverseNames[] = {
    {id::kOrganizes, "OrganizedBy"},
    {id::kHasEventSource, "EventSourceOf"},
    {id::kHasNotifier, "NotifierOf"},
    {id::kAggregates, "AggregatedBy"},
    {id::kHasSubtype, "SubtypeOf"},
    {id::kHasProperty, "PropertyOf"},
    {id::kHasComponent, "ComponentOf"},
    {id::kHasModellingRule, "ModellingRuleOf"},
    {id::kHasEncoding, "EncodingOf"},
    {id::kHasDescription, "DescriptionOf"},
    {id::kHasTypeDefinition, "TypeDefinitionOf"},
    {id::kGeneratesEvent, "GeneratedBy"},
};

bool IsTypeClass(NodeClass c)
{
    return c == kObjectType || c == kVariableType || c == kReferenceType || c == kDataType;
}

bool IsItemSpaceNode(const NodeId& id)
{
    return id.ns == kItemNamespace && id.type == IdType::String && CItemSpace::IsValidPath(id.text);
}

std::string JoinPath(std::string_view parent, std::string_view name)
{
    if (parent.empty()) return std::string(name);
    std::string out;
    out.reserve(parent.size() + 1 + name.size());
    out.append(parent).append(1, '.').append(name);
    return out;
}

std::string_view ParentOf(std::string_view path)
{
    size_t dot = path.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : path.substr(0, dot);
}

std::string_view LastSegment(std::string_view path)
{
    size_t dot = path.rfind('.');
    return dot == std::string_view::npos ? path : path.substr(dot + 1);
}

}  // namespace

CUaAddressSpace::CUaAddressSpace(ServerInfo info, std::function<ServerState()> serverState)
    : m_info(std::move(info)), m_serverState(std::move(serverState))
{
    Build();
}

void CUaAddressSpace::Build()
{
    auto add = [&](const Row& r) {
        StandardNode& n = m_nodes[r.id];
        n.id = r.id;
        n.nodeClass = r.nodeClass;
        n.browseName = r.name;
        n.isAbstract = r.isAbstract;
        n.typeDefinition = r.typeDefinition;
        n.dataType = r.dataType;
        n.valueRank = r.valueRank;
        if (r.typeDefinition) n.refs.push_back({id::kHasTypeDefinition, r.typeDefinition, true});
        if (r.parent) {
            m_nodes[r.parent].refs.push_back({r.refType, r.id, true});
            n.refs.push_back({r.refType, r.parent, false});
        }
    };
    for (const Row& r : kRows) add(r);
    for (const Limit& l : kOperationLimits) {
        add(Row{l.id, kVariable, l.name, id::kOperationLimits, id::kHasProperty, id::kPropertyType,
                id::kUInt32, -1, false});
        m_nodes[l.id].value = MakeUnsigned(Type::UInt32, l.value);
    }
    for (const InverseName& i : kInverseNames) m_nodes[i.id].inverseName = i.name;
    m_nodes[id::kReferences].symmetric = true;

    auto set = [&](uint32_t node, Variant v) { m_nodes[node].value = std::move(v); };
    set(id::kServerArray, MakeStringArray({m_info.applicationUri}));
    set(id::kNamespaceArray, MakeStringArray({kStandardNamespaceUri, m_info.applicationUri}));
    set(id::kStartTime, MakeDateTime(m_info.startTime));
    set(id::kProductUri, MakeString(m_info.productUri));
    set(id::kManufacturerName, MakeString(m_info.manufacturer));
    set(id::kProductName, MakeString(m_info.applicationName));
    set(id::kSoftwareVersion, MakeString(m_info.softwareVersion));
    set(id::kBuildNumber, MakeString(m_info.buildNumber));
    set(id::kBuildDate, MakeDateTime(m_info.startTime));
    set(id::kSecondsTillShutdown, MakeUnsigned(Type::UInt32, 0));
    set(id::kShutdownReason, MakeBoxed(Type::LocalizedText, LocalizedText{}));
    set(id::kServiceLevel, MakeUnsigned(Type::Byte, 255));
    set(id::kAuditing, MakeBoolean(false));
    set(id::kServerProfileArray, MakeStringArray({kServerProfile}));
    set(id::kLocaleIdArray, MakeEmptyArray(Type::String));
    set(id::kMinSupportedSampleRate, MakeReal(Type::Double, kMinSamplingIntervalMs));
    set(id::kMaxBrowseContinuationPoints, MakeUnsigned(Type::UInt16, kMaxBrowseContinuationPoints));
    set(id::kMaxQueryContinuationPoints, MakeUnsigned(Type::UInt16, 0));
    set(id::kMaxHistoryContinuationPoints, MakeUnsigned(Type::UInt16, 0));
    set(id::kSoftwareCertificates, MakeEmptyArray(Type::ExtensionObject));
    set(id::kMaxArrayLength, MakeUnsigned(Type::UInt32, ua::kMaxArrayLength));
    set(id::kMaxStringLength, MakeUnsigned(Type::UInt32, ua::kMaxStringLength));
    set(id::kMaxByteStringLength, MakeUnsigned(Type::UInt32, ua::kMaxByteStringLength));
    set(id::kMaxSessions, MakeUnsigned(Type::UInt32, kMaxSessions));
    for (uint32_t dynamic : {id::kServerStatus, id::kCurrentTime, id::kState, id::kBuildInfoNode})
        m_nodes[dynamic].dynamic = true;
}

Variant CUaAddressSpace::ValueOf(const StandardNode& node) const
{
    if (!node.dynamic) return node.value;
    BuildInfo build{m_info.productUri,      m_info.manufacturer, m_info.applicationName,
                    m_info.softwareVersion, m_info.buildNumber,  m_info.startTime};
    switch (node.id) {
        case id::kCurrentTime:
            return MakeDateTime(Now());
        case id::kState:
            return MakeSigned(Type::Int32, static_cast<int32_t>(m_serverState()));
        case id::kBuildInfoNode:
            return MakeBoxed(Type::ExtensionObject, Wrap(enc::kBuildInfo, build));
        case id::kServerStatus: {
            ServerStatusDataType status{m_info.startTime, Now(), m_serverState(), build, 0, {}};
            return MakeBoxed(Type::ExtensionObject, Wrap(enc::kServerStatusDataType, status));
        }
        default:
            return Variant{};
    }
}

const StandardNode* CUaAddressSpace::Standard(uint32_t id) const
{
    auto it = m_nodes.find(id);
    return it == m_nodes.end() ? nullptr : &it->second;
}

NodeRef CUaAddressSpace::Resolve(const NodeId& id) const
{
    NodeRef ref;
    if (id.ns == 0 && id.type == IdType::Numeric) {
        ref.standard = Standard(id.numeric);
        if (ref.standard) ref.kind = NodeRef::Standard;
        return ref;
    }
    if (!IsItemSpaceNode(id)) return ref;
    CServerCore::PathInfo info = CServerCore::Instance().DescribePath(id.text);
    if (!info.found) return ref;
    ref.kind = info.isItem ? NodeRef::Item : NodeRef::Folder;
    ref.path = id.text;
    return ref;
}

NodeId CUaAddressSpace::IdOf(const NodeRef& node)
{
    if (node.kind == NodeRef::Standard) return NodeId::Numeric(node.standard->id);
    return NodeId::String(kItemNamespace, node.path);
}

bool CUaAddressSpace::IsReferenceType(const NodeId& id) const
{
    if (id.ns != 0 || id.type != IdType::Numeric) return false;
    const StandardNode* n = Standard(id.numeric);
    return n && n->nodeClass == kReferenceType;
}

bool CUaAddressSpace::IsSubtype(uint32_t type, uint32_t ofType) const
{
    for (int depth = 0; depth < 16; ++depth) {
        if (type == ofType) return true;
        const StandardNode* n = Standard(type);
        if (!n) return false;
        uint32_t super = 0;
        for (const StandardNode::Ref& r : n->refs)
            if (r.type == id::kHasSubtype && !r.forward) super = r.target;
        if (!super) return false;
        type = super;
    }
    return false;
}

template <typename Emit>
void CUaAddressSpace::EnumerateStandard(const StandardNode& node, BrowseDirection direction,
                                        uint32_t position, Emit&& emit) const
{
    const bool forward = direction != BrowseDirection::Inverse;
    const bool inverse = direction != BrowseDirection::Forward;
    uint32_t segment = position >> kSegmentShift, index = position & kIndexMask;
    if (segment == 0) {
        for (uint32_t i = index; i < node.refs.size(); ++i) {
            const StandardNode::Ref& r = node.refs[i];
            if (r.forward ? !forward : !inverse) continue;
            const StandardNode* target = Standard(r.target);
            if (target && !emit(Candidate{r.type, r.forward, target, {}, {}, false, Position(0, i)})) return;
        }
        index = 0;
    }
    // The Objects folder organises the top of the item space.
    if (node.id == id::kObjectsFolder && forward) {
        uint32_t i = index;
        CServerCore::Instance().VisitChildren("", index, [&](std::string_view name, bool isItem, bool) {
            return emit(Candidate{id::kOrganizes, true, nullptr, {}, name, isItem, Position(1, i++)});
        });
    }
}

template <typename Emit>
void CUaAddressSpace::EnumerateItemSpace(const NodeRef& node, BrowseDirection direction, uint32_t position,
                                         Emit&& emit) const
{
    const bool forward = direction != BrowseDirection::Inverse;
    const bool inverse = direction != BrowseDirection::Forward;
    const bool isItem = node.kind == NodeRef::Item;
    uint32_t segment = position >> kSegmentShift, index = position & kIndexMask;
    if (segment == 0 && forward) {
        const StandardNode* type = Standard(isItem ? id::kBaseDataVariableType : id::kFolderType);
        if (!emit(Candidate{id::kHasTypeDefinition, true, type, {}, {}, false, Position(0, 0)})) return;
    }
    if (segment <= 1 && forward) {
        // A variable that has items below it aggregates them; a folder organises.
        const uint32_t refType = isItem ? id::kHasComponent : id::kOrganizes;
        uint32_t i = segment == 1 ? index : 0;
        bool stopped = false;
        CServerCore::Instance().VisitChildren(
            node.path, i, [&](std::string_view name, bool childIsItem, bool) {
                stopped =
                    !emit(Candidate{refType, true, nullptr, node.path, name, childIsItem, Position(1, i++)});
                return !stopped;
            });
        if (stopped) return;
    }
    if (inverse) {
        std::string_view parent = ParentOf(node.path);
        if (parent.empty()) {
            emit(Candidate{
                id::kOrganizes, false, Standard(id::kObjectsFolder), {}, {}, false, Position(2, 0)});
        } else {
            CServerCore::PathInfo info = CServerCore::Instance().DescribePath(parent);
            uint32_t refType = info.isItem ? id::kHasComponent : id::kOrganizes;
            emit(Candidate{refType, false, nullptr, ParentOf(parent), LastSegment(parent), info.isItem,
                           Position(2, 0)});
        }
    }
}

StatusCode CUaAddressSpace::Browse(const NodeRef& node, const BrowseDescription& d, uint32_t position,
                                   uint32_t max, std::vector<ReferenceDescription>* out, uint32_t* next) const
{
    *next = 0;
    if (d.browseDirection != BrowseDirection::Forward && d.browseDirection != BrowseDirection::Inverse &&
        d.browseDirection != BrowseDirection::Both)
        return kBadBrowseDirectionInvalid;
    if (!d.referenceTypeId.IsNull() && !IsReferenceType(d.referenceTypeId)) return kBadReferenceTypeIdInvalid;
    if (node.kind == NodeRef::Unknown) return kBadNodeIdUnknown;
    const bool anyType = d.referenceTypeId.IsNull();
    const uint32_t filterType = d.referenceTypeId.numeric;

    auto emit = [&](const Candidate& c) {
        if (!anyType && c.refType != filterType && !(d.includeSubtypes && IsSubtype(c.refType, filterType)))
            return true;
        NodeClass targetClass = c.standard ? c.standard->nodeClass : c.isItem ? kVariable : kObject;
        if (d.nodeClassMask != 0 && (d.nodeClassMask & static_cast<uint32_t>(targetClass)) == 0) return true;
        if (out->size() >= max) {
            *next = c.position;
            return false;
        }
        ReferenceDescription r;
        const uint32_t mask = d.resultMask;
        if (mask & kResultReferenceType) r.referenceTypeId = NodeId::Numeric(c.refType);
        r.isForward = (mask & kResultIsForward) ? c.forward : false;
        uint32_t typeDefinition;
        if (c.standard) {
            r.nodeId.nodeId = NodeId::Numeric(c.standard->id);
            if (mask & kResultBrowseName) r.browseName = QualifiedName{0, c.standard->browseName};
            if (mask & kResultDisplayName) r.displayName.text = c.standard->browseName;
            typeDefinition = c.standard->typeDefinition;
        } else {
            r.nodeId.nodeId = NodeId::String(kItemNamespace, JoinPath(c.parentPath, c.name));
            if (mask & kResultBrowseName) r.browseName = QualifiedName{kItemNamespace, std::string(c.name)};
            if (mask & kResultDisplayName) r.displayName.text = std::string(c.name);
            typeDefinition = c.isItem ? id::kBaseDataVariableType : id::kFolderType;
        }
        if (mask & kResultNodeClass) r.nodeClass = targetClass;
        if ((mask & kResultTypeDefinition) && typeDefinition != 0)
            r.typeDefinition.nodeId = NodeId::Numeric(typeDefinition);
        out->push_back(std::move(r));
        return true;
    };
    if (node.kind == NodeRef::Standard)
        EnumerateStandard(*node.standard, d.browseDirection, position, emit);
    else
        EnumerateItemSpace(node, d.browseDirection, position, emit);
    return kGood;
}

void CUaAddressSpace::Follow(const NodeRef& from, const RelativePathElement& element,
                             std::vector<NodeRef>* targets) const
{
    const bool anyType = element.referenceTypeId.IsNull();
    const uint32_t filterType = element.referenceTypeId.numeric;
    auto typeMatches = [&](uint32_t refType) {
        return anyType || refType == filterType ||
               (element.includeSubtypes && IsSubtype(refType, filterType));
    };
    const QualifiedName& name = element.targetName;
    // Item space names are looked up, not searched.
    auto itemChild = [&](std::string_view parentPath, uint32_t refType) {
        if (name.ns != kItemNamespace || !typeMatches(refType) || element.isInverse) return;
        std::string path = JoinPath(parentPath, name.name);
        if (!CItemSpace::IsValidPath(path)) return;
        CServerCore::PathInfo info = CServerCore::Instance().DescribePath(path);
        if (info.found)
            targets->push_back(NodeRef{info.isItem ? NodeRef::Item : NodeRef::Folder, nullptr, path});
    };
    if (from.kind == NodeRef::Standard) {
        for (const StandardNode::Ref& r : from.standard->refs) {
            if (r.forward == element.isInverse || !typeMatches(r.type)) continue;
            const StandardNode* target = Standard(r.target);
            if (target && name.ns == 0 && target->browseName == name.name)
                targets->push_back(NodeRef{NodeRef::Standard, target, {}});
        }
        if (from.standard->id == id::kObjectsFolder) itemChild("", id::kOrganizes);
        return;
    }
    if (from.kind == NodeRef::Unknown) return;
    if (element.isInverse) {
        std::string_view parent = ParentOf(from.path);
        if (parent.empty()) {
            if (typeMatches(id::kOrganizes) && name.ns == 0 && name.name == "Objects")
                targets->push_back(NodeRef{NodeRef::Standard, Standard(id::kObjectsFolder), {}});
        } else if (name.ns == kItemNamespace && LastSegment(parent) == name.name) {
            NodeRef p = Resolve(NodeId::String(kItemNamespace, std::string(parent)));
            uint32_t refType = p.kind == NodeRef::Item ? id::kHasComponent : id::kOrganizes;
            if (p.kind != NodeRef::Unknown && typeMatches(refType)) targets->push_back(std::move(p));
        }
        return;
    }
    itemChild(from.path, from.kind == NodeRef::Item ? id::kHasComponent : id::kOrganizes);
}

StatusCode CUaAddressSpace::ReadAttribute(const NodeRef& node, uint32_t attributeId, Variant* out) const
{
    const auto attribute = static_cast<Attribute>(attributeId);
    NodeClass nodeClass;
    std::string_view name;
    uint16_t ns;
    if (node.kind == NodeRef::Standard) {
        nodeClass = node.standard->nodeClass;
        name = node.standard->browseName;
        ns = 0;
    } else if (node.kind != NodeRef::Unknown) {
        nodeClass = node.kind == NodeRef::Item ? kVariable : kObject;
        name = LastSegment(node.path);
        ns = kItemNamespace;
    } else {
        return kBadNodeIdUnknown;
    }
    // Attributes every node has.
    switch (attribute) {
        case Attribute::NodeId:
            *out = MakeBoxed(Type::NodeId, IdOf(node));
            return kGood;
        case Attribute::NodeClass:
            *out = MakeSigned(Type::Int32, static_cast<int32_t>(nodeClass));
            return kGood;
        case Attribute::BrowseName:
            *out = MakeBoxed(Type::QualifiedName, QualifiedName{ns, std::string(name)});
            return kGood;
        case Attribute::DisplayName:
            *out = MakeBoxed(Type::LocalizedText, LocalizedText{"", std::string(name)});
            return kGood;
        case Attribute::Description:
            *out = MakeBoxed(Type::LocalizedText, LocalizedText{});
            return kGood;
        case Attribute::WriteMask:
        case Attribute::UserWriteMask:
            *out = MakeUnsigned(Type::UInt32, 0);
            return kGood;
        default:
            break;
    }
    if (nodeClass == kObject) {
        if (attribute != Attribute::EventNotifier) return kBadAttributeIdInvalid;
        *out = MakeUnsigned(Type::Byte, 0);
        return kGood;
    }
    if (node.kind != NodeRef::Standard) {
        // An item: what its path alone tells; the rest comes from the program.
        switch (attribute) {
            case Attribute::ValueRank:
                *out = MakeSigned(Type::Int32, -1);
                return kGood;
            case Attribute::ArrayDimensions:
                *out = MakeEmptyArray(Type::UInt32);
                return kGood;
            case Attribute::Historizing:
                *out = MakeBoolean(false);
                return kGood;
            case Attribute::Value:
            case Attribute::DataType:
            case Attribute::AccessLevel:
            case Attribute::UserAccessLevel:
            case Attribute::MinimumSamplingInterval:
                return kBadNotSupported;
            default:
                return kBadAttributeIdInvalid;
        }
    }
    const StandardNode& n = *node.standard;
    if (attribute == Attribute::IsAbstract && IsTypeClass(nodeClass)) {
        *out = MakeBoolean(n.isAbstract);
        return kGood;
    }
    if (nodeClass == kReferenceType) {
        if (attribute == Attribute::Symmetric) {
            *out = MakeBoolean(n.symmetric);
            return kGood;
        }
        if (attribute == Attribute::InverseName) {
            *out = MakeBoxed(Type::LocalizedText, LocalizedText{"", n.inverseName});
            return kGood;
        }
        return kBadAttributeIdInvalid;
    }
    if (nodeClass != kVariable && nodeClass != kVariableType) return kBadAttributeIdInvalid;
    switch (attribute) {
        case Attribute::Value:
            *out = nodeClass == kVariable ? ValueOf(n) : Variant{};
            return kGood;
        case Attribute::DataType:
            *out = MakeBoxed(Type::NodeId, NodeId::Numeric(n.dataType));
            return kGood;
        case Attribute::ValueRank:
            *out = MakeSigned(Type::Int32, n.valueRank);
            return kGood;
        case Attribute::ArrayDimensions:
            *out = n.valueRank == 1 ? MakeUInt32Array({0}) : MakeEmptyArray(Type::UInt32);
            return kGood;
        default:
            break;
    }
    if (nodeClass != kVariable) return kBadAttributeIdInvalid;
    switch (attribute) {
        case Attribute::AccessLevel:
        case Attribute::UserAccessLevel:
            *out = MakeUnsigned(Type::Byte, 1);
            return kGood;
        case Attribute::MinimumSamplingInterval:
            *out = MakeReal(Type::Double, 0);
            return kGood;
        case Attribute::Historizing:
            *out = MakeBoolean(false);
            return kGood;
        default:
            return kBadAttributeIdInvalid;
    }
}

}  // namespace ua
