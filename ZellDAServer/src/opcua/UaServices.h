#pragma once
// The service sets, one file each: discovery, session, view, attribute,
// subscription, monitored items. Each Serve answers its request through the
// endpoint (Respond or Fault).

#include "opcua/UaEndpoint.h"
#include "opcua/protocol/UaSubscriptionMessages.h"

namespace ua {

// ServiceDiscovery.cpp
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const GetEndpointsRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const FindServersRequest& request);
// ServiceSession.cpp
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const CreateSessionRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const ActivateSessionRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const CloseSessionRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const CancelRequest& request);
// ServiceView.cpp
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const BrowseRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const BrowseNextRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const TranslateBrowsePathsRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const RegisterNodesRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const UnregisterNodesRequest& request);
// ServiceAttribute.cpp
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const ReadRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const WriteRequest& request);
// DataType (property 1), AccessLevel (5) and MinimumSamplingInterval (6, the
// channel's poll period) as the program answers them for an item.
StatusCode ReadItemProperty(CUaSession& session, const std::string& itemId, Attribute attribute,
                            Variant* out);
// ServiceSubscription.cpp
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const CreateSubscriptionRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const ModifySubscriptionRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const SetPublishingModeRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const DeleteSubscriptionsRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const TransferSubscriptionsRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const PublishRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const RepublishRequest& request);
// ServiceMonitoredItems.cpp
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const CreateMonitoredItemsRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const ModifyMonitoredItemsRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const SetMonitoringModeRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const SetTriggeringRequest& request);
void Serve(CUaEndpoint& ep, const RequestContext& ctx, const DeleteMonitoredItemsRequest& request);

// Requests that may reach the program run on a worker; the rest on the I/O thread.
template <typename T>
bool RunsOnWorker(const T&)
{
    return false;
}
inline bool RunsOnWorker(const CreateSessionRequest&)
{
    return true;
}
inline bool RunsOnWorker(const CloseSessionRequest&)
{
    return true;
}
inline bool RunsOnWorker(const WriteRequest&)
{
    return true;
}
inline bool RunsOnWorker(const RegisterNodesRequest&)
{
    return true;
}
inline bool RunsOnWorker(const UnregisterNodesRequest&)
{
    return true;
}
// Subscriptions and monitored items that take or let go of items.
inline bool RunsOnWorker(const CreateSubscriptionRequest&)
{
    return true;
}
inline bool RunsOnWorker(const DeleteSubscriptionsRequest&)
{
    return true;
}
inline bool RunsOnWorker(const CreateMonitoredItemsRequest&)
{
    return true;
}
inline bool RunsOnWorker(const ModifyMonitoredItemsRequest&)
{
    return true;
}
inline bool RunsOnWorker(const SetMonitoringModeRequest&)
{
    return true;
}
inline bool RunsOnWorker(const DeleteMonitoredItemsRequest&)
{
    return true;
}
inline bool RunsOnWorker(const ReadRequest& r)
{
    for (const ReadValueId& v : r.nodesToRead)
        if (v.nodeId.ns != 0) return true;
    return false;
}

// The session of a request that lists operations, after the checks every such
// request gets; null when the request was refused (its fault is sent).
inline std::shared_ptr<CUaSession> OperationsSession(CUaEndpoint& ep, const RequestContext& ctx, size_t count,
                                                     uint32_t limit)
{
    std::shared_ptr<CUaSession> session;
    StatusCode status = ep.SessionOf(ctx, &session);
    if (status == kGood && count == 0) status = kBadNothingToDo;
    if (status == kGood && count > limit) status = kBadTooManyOperations;
    if (status == kGood) return session;
    ep.Fault(ctx, status);
    return nullptr;
}

}  // namespace ua
