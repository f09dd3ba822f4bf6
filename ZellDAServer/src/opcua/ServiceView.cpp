// View: Browse and BrowseNext with continuation points, TranslateBrowsePaths,
// RegisterNodes and UnregisterNodes.
#include "opcua/UaLimits.h"
#include "opcua/UaServices.h"

#include <algorithm>

namespace ua {

namespace {

// One node's references from a cursor; a continuation point when more remain.
BrowseResult BrowseFrom(CUaEndpoint& ep, CUaSession& session, BrowseCursor cursor)
{
    BrowseResult result;
    uint32_t next = 0;
    result.statusCode = ep.AddressSpace().Browse(cursor.node, cursor.description, cursor.position,
                                                 cursor.maxReferences, &result.references, &next);
    if (result.statusCode != kGood || next == 0) return result;
    cursor.position = next;
    result.continuationPoint = session.SaveCursor(std::move(cursor));
    if (result.continuationPoint.bytes.empty()) {
        result.statusCode = kBadNoContinuationPoints;
        result.references.clear();
    }
    return result;
}

// Item IDs among the nodes: those of namespace 1 that name an item.
std::vector<std::string_view> ItemIds(const std::vector<NodeId>& nodes)
{
    std::vector<std::string_view> ids;
    for (const NodeId& n : nodes)
        if (n.ns == kItemNamespace && n.type == IdType::String && !n.text.empty()) ids.push_back(n.text);
    return ids;
}

}  // namespace

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const BrowseRequest& request)
{
    std::shared_ptr<CUaSession> session =
        OperationsSession(ep, ctx, request.nodesToBrowse.size(), kMaxNodesPerBrowse);
    if (!session) return;
    if (!request.view.viewId.IsNull()) return ep.Fault(ctx, kBadViewIdUnknown);
    const uint32_t max = request.requestedMaxReferencesPerNode == 0
                             ? kMaxReferencesPerNode
                             : std::min(request.requestedMaxReferencesPerNode, kMaxReferencesPerNode);
    BrowseResponse response;
    response.results.reserve(request.nodesToBrowse.size());
    for (const BrowseDescription& d : request.nodesToBrowse)
        response.results.push_back(
            BrowseFrom(ep, *session, BrowseCursor{ep.AddressSpace().Resolve(d.nodeId), d, 0, max}));
    ep.Respond(ctx, enc::kBrowseResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const BrowseNextRequest& request)
{
    std::shared_ptr<CUaSession> session =
        OperationsSession(ep, ctx, request.continuationPoints.size(), kMaxNodesPerBrowse);
    if (!session) return;
    BrowseResponse response;
    response.results.reserve(request.continuationPoints.size());
    for (const ByteString& point : request.continuationPoints) {
        BrowseCursor cursor;
        if (!session->TakeCursor(point, &cursor)) {
            BrowseResult invalid;
            invalid.statusCode = kBadContinuationPointInvalid;
            response.results.push_back(std::move(invalid));
        } else if (request.releaseContinuationPoints) {
            response.results.emplace_back();
        } else {
            // The node may have gone (a channel withdrawn) since the last call.
            cursor.node = ep.AddressSpace().Resolve(CUaAddressSpace::IdOf(cursor.node));
            response.results.push_back(BrowseFrom(ep, *session, std::move(cursor)));
        }
    }
    ep.Respond(ctx, enc::kBrowseNextResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const TranslateBrowsePathsRequest& request)
{
    std::shared_ptr<CUaSession> session =
        OperationsSession(ep, ctx, request.browsePaths.size(), kMaxNodesPerTranslateBrowsePaths);
    if (!session) return;
    const CUaAddressSpace& space = ep.AddressSpace();
    TranslateBrowsePathsResponse response;
    for (const BrowsePath& path : request.browsePaths) {
        BrowsePathResult result;
        std::vector<NodeRef> current{space.Resolve(path.startingNode)};
        const auto& elements = path.relativePath.elements;
        if (current[0].kind == NodeRef::Unknown) {
            result.statusCode = kBadNodeIdUnknown;
        } else if (elements.empty()) {
            result.statusCode = kBadNothingToDo;
        } else if (std::any_of(elements.begin(), elements.end(),
                               [](const RelativePathElement& e) { return e.targetName.name.empty(); })) {
            result.statusCode = kBadBrowseNameInvalid;
        } else {
            for (const RelativePathElement& e : elements) {
                std::vector<NodeRef> next;
                for (const NodeRef& from : current) space.Follow(from, e, &next);
                current = std::move(next);
                if (current.empty()) break;
            }
            if (current.empty()) result.statusCode = kBadNoMatch;
            for (const NodeRef& target : current)
                result.targets.push_back(
                    BrowsePathTarget{ExpandedNodeId{CUaAddressSpace::IdOf(target), "", 0}, 0xFFFFFFFFu});
        }
        response.results.push_back(std::move(result));
    }
    ep.Respond(ctx, enc::kTranslateBrowsePathsResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const RegisterNodesRequest& request)
{
    std::shared_ptr<CUaSession> session =
        OperationsSession(ep, ctx, request.nodesToRegister.size(), kMaxNodesPerRegisterNodes);
    if (!session) return;
    // The items are taken now, so reads that follow answer from polled values;
    // the NodeIds stay as they are.
    session->RegisterItems(ItemIds(request.nodesToRegister));
    RegisterNodesResponse response;
    response.registeredNodeIds = request.nodesToRegister;
    ep.Respond(ctx, enc::kRegisterNodesResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const UnregisterNodesRequest& request)
{
    std::shared_ptr<CUaSession> session =
        OperationsSession(ep, ctx, request.nodesToUnregister.size(), kMaxNodesPerRegisterNodes);
    if (!session) return;
    session->UnregisterItems(ItemIds(request.nodesToUnregister));
    UnregisterNodesResponse response;
    ep.Respond(ctx, enc::kUnregisterNodesResponse, response);
}

}  // namespace ua
