// Monitored items: CreateMonitoredItems, ModifyMonitoredItems,
// SetMonitoringMode, SetTriggering and DeleteMonitoredItems.
#include "opcua/UaLimits.h"
#include "opcua/UaPublisher.h"
#include "opcua/UaServices.h"
#include "opcua/protocol/UaRequest.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace ua {

namespace {

const char kDefaultBinary[] = "Default Binary";
constexpr uint32_t kLastAttribute = static_cast<uint32_t>(Attribute::UserExecutable);

// How fast the program delivers an item's value: its MinimumSamplingInterval
// (the poll period of the item's channel). Siblings share their channel, so
// the program is asked once per branch in one request.
class CSamplingLimits {
   public:
    explicit CSamplingLimits(CUaSession& session) : m_session(session) {}

    // The interval an item gets: what the client asks (negative: the
    // publishing interval; 0: as fast as it goes), never faster than the
    // program delivers nor than the endpoint samples.
    uint32_t Revise(const std::string& itemId, double requestedMs, double publishingMs)
    {
        double ms = requestedMs < 0 || std::isnan(requestedMs) ? publishingMs : requestedMs;
        ms = std::max({ms, static_cast<double>(kMinSamplingIntervalMs), Minimum(itemId)});
        return static_cast<uint32_t>(std::ceil(std::min(ms, static_cast<double>(kMaxSamplingIntervalMs))));
    }

   private:
    double Minimum(const std::string& itemId)
    {
        if (itemId.empty()) return 0;
        const std::string branch = itemId.substr(0, std::min(itemId.rfind('.'), itemId.size()));
        auto it = m_byBranch.find(branch);
        if (it != m_byBranch.end()) return it->second;
        Variant v;
        double ms = 0;
        if (ReadItemProperty(m_session, itemId, Attribute::MinimumSamplingInterval, &v) != kGood ||
            !NumberOf(v, &ms) || ms < 0)
            ms = 0;
        m_byBranch.emplace(branch, ms);
        return ms;
    }

    CUaSession& m_session;
    std::unordered_map<std::string, double> m_byBranch;
};

uint32_t ReviseQueueSize(uint32_t requested)
{
    return std::clamp<uint32_t>(requested, 1, kMaxQueueSize);
}

bool ValidTimestamps(TimestampsToReturn ts)
{
    return static_cast<int32_t>(ts) >= 0 && ts < TimestampsToReturn::Invalid;
}

bool ValidMode(MonitoringMode mode)
{
    return mode >= MonitoringMode::Disabled && mode <= MonitoringMode::Reporting;
}

// The session and the subscription a request names, or a fault answered.
std::shared_ptr<CUaSubscription> SubscriptionFor(CUaEndpoint& ep, const RequestContext& ctx, uint32_t id,
                                                 size_t count, std::shared_ptr<CUaSession>* session)
{
    *session = OperationsSession(ep, ctx, count, kMaxMonitoredItemsPerCall);
    if (!*session) return nullptr;
    std::shared_ptr<CUaSubscription> subscription = ep.Publisher().Find(session->get(), id);
    if (!subscription) {
        ep.Fault(ctx, kBadSubscriptionIdInvalid);
        return nullptr;
    }
    // The client is busy with the subscription: it is alive.
    subscription->ResetLifetime();
    return subscription;
}

// An item to create, checked as far as it can be without taking the item.
NewItem Prepare(CUaEndpoint& ep, CUaSession& session, const MonitoredItemCreateRequest& r,
                TimestampsToReturn timestamps, double publishingMs, CSamplingLimits& limits)
{
    NewItem item;
    const ReadValueId& what = r.itemToMonitor;
    const MonitoringParameters& p = r.requestedParameters;
    item.clientHandle = p.clientHandle;
    item.mode = r.monitoringMode;
    item.queueSize = ReviseQueueSize(p.queueSize);
    item.discardOldest = p.discardOldest;
    item.timestamps = timestamps;
    const bool isValue = what.attributeId == static_cast<uint32_t>(Attribute::Value);
    if (!ValidMode(r.monitoringMode))
        item.status = kBadMonitoringModeInvalid;
    else if (what.attributeId == 0 || what.attributeId > kLastAttribute)
        item.status = kBadAttributeIdInvalid;
    else if (!what.dataEncoding.name.empty())
        item.status = !isValue ? kBadDataEncodingInvalid
                               : (what.dataEncoding.ns != 0 || what.dataEncoding.name != kDefaultBinary
                                      ? kBadDataEncodingUnsupported
                                      : kGood);
    // Every value here is a scalar: no range of one has data.
    else if (!what.indexRange.empty())
        item.status = kBadIndexRangeNoData;
    if (item.status != kGood) return item;

    if (isValue && what.nodeId.ns == kItemNamespace && what.nodeId.type == IdType::String) {
        // An item's value: whether the filter suits its type is known once it is taken.
        item.status = ReadDataChangeFilter(p.filter, true, true, &item.filter);
        item.itemId = what.nodeId.text;
        item.samplingMs = limits.Revise(item.itemId, p.samplingInterval, publishingMs);
        return item;
    }
    auto watch = std::make_unique<AttributeWatch>();
    watch->node = ep.AddressSpace().Resolve(what.nodeId);
    watch->attributeId = what.attributeId;
    if (watch->node.kind == NodeRef::Unknown) {
        item.status = kBadNodeIdUnknown;
        return item;
    }
    Variant value;
    StatusCode s = ep.AddressSpace().ReadAttribute(watch->node, what.attributeId, &value);
    if (s == kBadNotSupported && watch->node.kind == NodeRef::Item) {
        // What the program answers about an item does not change while it is defined.
        s = ReadItemProperty(session, watch->node.path, static_cast<Attribute>(what.attributeId), &value);
        watch->constant = true;
    }
    if (s == kBadAttributeIdInvalid || s == kBadNotSupported) {
        item.status = kBadAttributeIdInvalid;
        return item;
    }
    watch->last.hasValue = s == kGood;
    watch->last.value = std::move(value);
    item.status = ReadDataChangeFilter(p.filter, isValue, IsNumber(watch->last.value), &item.filter);
    item.samplingMs = limits.Revise({}, p.samplingInterval, publishingMs);
    item.attribute = std::move(watch);
    return item;
}

}  // namespace

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const CreateMonitoredItemsRequest& request)
{
    std::shared_ptr<CUaSession> session;
    std::shared_ptr<CUaSubscription> subscription =
        SubscriptionFor(ep, ctx, request.subscriptionId, request.itemsToCreate.size(), &session);
    if (!subscription) return;
    if (!ValidTimestamps(request.timestampsToReturn)) {
        ep.Fault(ctx, kBadTimestampsToReturnInvalid);
        return;
    }
    const double publishingMs = subscription->Settings().publishingMs;
    CSamplingLimits limits(*session);
    std::vector<NewItem> items;
    items.reserve(request.itemsToCreate.size());
    for (const MonitoredItemCreateRequest& r : request.itemsToCreate)
        items.push_back(Prepare(ep, *session, r, request.timestampsToReturn, publishingMs, limits));
    subscription->CreateItems(items, CUaSubscription::Clock::now());
    ep.Publisher().Wake();

    CreateMonitoredItemsResponse response;
    response.results.resize(items.size());
    size_t created = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        MonitoredItemCreateResult& r = response.results[i];
        r.statusCode = items[i].status;
        // A folder has no value to watch.
        if (r.statusCode == kBadNodeIdUnknown && !items[i].itemId.empty() &&
            ep.AddressSpace().Resolve(request.itemsToCreate[i].itemToMonitor.nodeId).kind == NodeRef::Folder)
            r.statusCode = kBadAttributeIdInvalid;
        if (r.statusCode != kGood) continue;
        ++created;
        r.monitoredItemId = items[i].monitoredItemId;
        r.revisedSamplingInterval = items[i].samplingMs;
        r.revisedQueueSize = items[i].queueSize;
    }
    ep.Trace().Trace(1, "OPC UA subscription %u: %zu of %zu monitored items created", request.subscriptionId,
                     created, items.size());
    ep.Respond(ctx, enc::kCreateMonitoredItemsResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const ModifyMonitoredItemsRequest& request)
{
    std::shared_ptr<CUaSession> session;
    std::shared_ptr<CUaSubscription> subscription =
        SubscriptionFor(ep, ctx, request.subscriptionId, request.itemsToModify.size(), &session);
    if (!subscription) return;
    if (!ValidTimestamps(request.timestampsToReturn)) {
        ep.Fault(ctx, kBadTimestampsToReturnInvalid);
        return;
    }
    std::vector<ItemChange> changes(request.itemsToModify.size());
    for (size_t i = 0; i < changes.size(); ++i) {
        const MonitoredItemModifyRequest& r = request.itemsToModify[i];
        changes[i].monitoredItemId = r.monitoredItemId;
        changes[i].clientHandle = r.requestedParameters.clientHandle;
        changes[i].requestedSamplingMs = r.requestedParameters.samplingInterval;
        changes[i].filter = r.requestedParameters.filter;
        changes[i].queueSize = ReviseQueueSize(r.requestedParameters.queueSize);
        changes[i].discardOldest = r.requestedParameters.discardOldest;
    }
    const double publishingMs = subscription->Settings().publishingMs;
    CSamplingLimits limits(*session);
    subscription->ModifyItems(changes, request.timestampsToReturn, [&](const std::string& itemId, double ms) {
        return limits.Revise(itemId, ms, publishingMs);
    });
    ModifyMonitoredItemsResponse response;
    for (const ItemChange& c : changes) {
        MonitoredItemModifyResult r;
        r.statusCode = c.status;
        if (c.status == kGood) {
            r.revisedSamplingInterval = c.samplingMs;
            r.revisedQueueSize = c.queueSize;
        }
        response.results.push_back(std::move(r));
    }
    ep.Respond(ctx, enc::kModifyMonitoredItemsResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const SetMonitoringModeRequest& request)
{
    std::shared_ptr<CUaSession> session;
    std::shared_ptr<CUaSubscription> subscription =
        SubscriptionFor(ep, ctx, request.subscriptionId, request.monitoredItemIds.size(), &session);
    if (!subscription) return;
    if (!ValidMode(request.monitoringMode)) {
        ep.Fault(ctx, kBadMonitoringModeInvalid);
        return;
    }
    StatusListResponse response;
    subscription->SetMode(request.monitoredItemIds, request.monitoringMode, &response.results,
                          CUaSubscription::Clock::now());
    ep.Publisher().Wake();
    ep.Respond(ctx, enc::kSetMonitoringModeResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const SetTriggeringRequest& request)
{
    std::shared_ptr<CUaSession> session;
    std::shared_ptr<CUaSubscription> subscription = SubscriptionFor(
        ep, ctx, request.subscriptionId, request.linksToAdd.size() + request.linksToRemove.size(), &session);
    if (!subscription) return;
    SetTriggeringResponse response;
    const StatusCode s =
        subscription->SetTriggering(request.triggeringItemId, request.linksToAdd, request.linksToRemove,
                                    &response.addResults, &response.removeResults);
    if (s != kGood) {
        ep.Fault(ctx, s);
        return;
    }
    ep.Respond(ctx, enc::kSetTriggeringResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const DeleteMonitoredItemsRequest& request)
{
    std::shared_ptr<CUaSession> session;
    std::shared_ptr<CUaSubscription> subscription =
        SubscriptionFor(ep, ctx, request.subscriptionId, request.monitoredItemIds.size(), &session);
    if (!subscription) return;
    StatusListResponse response;
    subscription->DeleteItems(request.monitoredItemIds, &response.results);
    ep.Respond(ctx, enc::kDeleteMonitoredItemsResponse, response);
}

}  // namespace ua
