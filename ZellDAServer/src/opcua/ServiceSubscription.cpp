// Subscription: CreateSubscription, ModifySubscription, SetPublishingMode,
// DeleteSubscriptions, TransferSubscriptions, Publish and Republish.
#include "opcua/UaLimits.h"
#include "opcua/UaPublisher.h"
#include "opcua/UaServices.h"
#include "opcua/protocol/UaRequest.h"

namespace ua {

namespace {

// A notification message kept for Republish, sent again as it was.
struct EncodedRepublishResponse {
    ResponseHeader responseHeader;
    const std::string* message = nullptr;

    template <typename C, typename S>
    static void Fields(C& c, S& s)
    {
        c(s.responseHeader);
        c.WriteRaw(s.message->data(), s.message->size());
    }
};

// The session of a request, or a fault answered.
std::shared_ptr<CUaSession> SessionFor(CUaEndpoint& ep, const RequestContext& ctx)
{
    std::shared_ptr<CUaSession> session;
    if (StatusCode status = ep.SessionOf(ctx, &session); status != kGood) {
        ep.Fault(ctx, status);
        return nullptr;
    }
    return session;
}

// One status per subscription the request names.
template <typename Apply>
void ForEachSubscription(CUaEndpoint& ep, const RequestContext& ctx, const std::vector<uint32_t>& ids,
                         Apply apply)
{
    std::shared_ptr<CUaSession> session = OperationsSession(ep, ctx, ids.size(), kMaxSubscriptions);
    if (!session) return;
    StatusListResponse response;
    response.results.reserve(ids.size());
    for (uint32_t id : ids) response.results.push_back(apply(*session, id));
    ep.Respond(ctx, ResponseTypeOf(ctx.typeId), response);
}

}  // namespace

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const CreateSubscriptionRequest& request)
{
    std::shared_ptr<CUaSession> session = SessionFor(ep, ctx);
    if (!session) return;
    CreateSubscriptionResponse response;
    if (StatusCode s = ep.Publisher().Create(session.get(), request, &response); s != kGood) {
        ep.Fault(ctx, s);
        return;
    }
    ep.Trace().Trace(1, "OPC UA subscription %u of \"%s\": publishing %.0f ms, keep-alive %u, lifetime %u",
                     response.subscriptionId, session->Name().c_str(), response.revisedPublishingInterval,
                     response.revisedMaxKeepAliveCount, response.revisedLifetimeCount);
    ep.Respond(ctx, enc::kCreateSubscriptionResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const ModifySubscriptionRequest& request)
{
    std::shared_ptr<CUaSession> session = SessionFor(ep, ctx);
    if (!session) return;
    std::shared_ptr<CUaSubscription> subscription =
        ep.Publisher().Find(session.get(), request.subscriptionId);
    if (!subscription) {
        ep.Fault(ctx, kBadSubscriptionIdInvalid);
        return;
    }
    const SubscriptionSettings settings = ReviseSettings(request);
    subscription->Modify(settings, CUaSubscription::Clock::now());
    ModifySubscriptionResponse response;
    ReportRevised(settings, &response);
    ep.Respond(ctx, enc::kModifySubscriptionResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const SetPublishingModeRequest& request)
{
    ForEachSubscription(ep, ctx, request.subscriptionIds, [&](CUaSession& session, uint32_t id) {
        std::shared_ptr<CUaSubscription> subscription = ep.Publisher().Find(&session, id);
        if (!subscription) return kBadSubscriptionIdInvalid;
        subscription->SetPublishing(request.publishingEnabled);
        return kGood;
    });
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const DeleteSubscriptionsRequest& request)
{
    ForEachSubscription(ep, ctx, request.subscriptionIds, [&](CUaSession& session, uint32_t id) {
        const StatusCode s = ep.Publisher().Delete(&session, id);
        if (s == kGood)
            ep.Trace().Trace(1, "OPC UA subscription %u deleted by \"%s\"", id, session.Name().c_str());
        return s;
    });
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const TransferSubscriptionsRequest& request)
{
    std::shared_ptr<CUaSession> session =
        OperationsSession(ep, ctx, request.subscriptionIds.size(), kMaxSubscriptions);
    if (!session) return;
    TransferSubscriptionsResponse response;
    for (uint32_t id : request.subscriptionIds) {
        response.results.push_back(ep.Publisher().Transfer(session.get(), id, request.sendInitialValues));
        if (response.results.back().statusCode == kGood)
            ep.Trace().Trace(1, "OPC UA subscription %u taken over by \"%s\"", id, session->Name().c_str());
    }
    ep.Respond(ctx, enc::kTransferSubscriptionsResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const PublishRequest& request)
{
    std::shared_ptr<CUaSession> session = SessionFor(ep, ctx);
    if (session) ep.Publisher().Publish(session.get(), ctx, request);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const RepublishRequest& request)
{
    std::shared_ptr<CUaSession> session = SessionFor(ep, ctx);
    if (!session) return;
    std::shared_ptr<CUaSubscription> subscription =
        ep.Publisher().Find(session.get(), request.subscriptionId);
    std::string message;
    const StatusCode s = subscription ? subscription->Republish(request.retransmitSequenceNumber, &message)
                                      : kBadSubscriptionIdInvalid;
    if (s != kGood) {
        ep.Fault(ctx, s);
        return;
    }
    EncodedRepublishResponse response;
    response.message = &message;
    ep.Respond(ctx, enc::kRepublishResponse, response);
}

}  // namespace ua
