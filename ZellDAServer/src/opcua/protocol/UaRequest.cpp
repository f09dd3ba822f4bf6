#include "opcua/protocol/UaRequest.h"

namespace ua {

namespace {

template <typename T>
void DecodeAs(Decoder& d, DecodedRequest& out)
{
    T request;
    d.Read(request);
    if (d.Ok()) out.request = std::move(request);
}

struct Entry {
    uint32_t requestTypeId;
    uint32_t responseTypeId;
    void (*decode)(Decoder&, DecodedRequest&);
};

constexpr Entry kEntries[] = {
    {enc::kGetEndpointsRequest, enc::kGetEndpointsResponse, DecodeAs<GetEndpointsRequest>},
    {enc::kFindServersRequest, enc::kFindServersResponse, DecodeAs<FindServersRequest>},
    {enc::kCreateSessionRequest, enc::kCreateSessionResponse, DecodeAs<CreateSessionRequest>},
    {enc::kActivateSessionRequest, enc::kActivateSessionResponse, DecodeAs<ActivateSessionRequest>},
    {enc::kCloseSessionRequest, enc::kCloseSessionResponse, DecodeAs<CloseSessionRequest>},
    {enc::kCancelRequest, enc::kCancelResponse, DecodeAs<CancelRequest>},
    {enc::kBrowseRequest, enc::kBrowseResponse, DecodeAs<BrowseRequest>},
    {enc::kBrowseNextRequest, enc::kBrowseNextResponse, DecodeAs<BrowseNextRequest>},
    {enc::kTranslateBrowsePathsRequest, enc::kTranslateBrowsePathsResponse,
     DecodeAs<TranslateBrowsePathsRequest>},
    {enc::kRegisterNodesRequest, enc::kRegisterNodesResponse, DecodeAs<RegisterNodesRequest>},
    {enc::kUnregisterNodesRequest, enc::kUnregisterNodesResponse, DecodeAs<UnregisterNodesRequest>},
    {enc::kReadRequest, enc::kReadResponse, DecodeAs<ReadRequest>},
    {enc::kWriteRequest, enc::kWriteResponse, DecodeAs<WriteRequest>},
    {enc::kCreateSubscriptionRequest, enc::kCreateSubscriptionResponse, DecodeAs<CreateSubscriptionRequest>},
    {enc::kModifySubscriptionRequest, enc::kModifySubscriptionResponse, DecodeAs<ModifySubscriptionRequest>},
    {enc::kSetPublishingModeRequest, enc::kSetPublishingModeResponse, DecodeAs<SetPublishingModeRequest>},
    {enc::kDeleteSubscriptionsRequest, enc::kDeleteSubscriptionsResponse,
     DecodeAs<DeleteSubscriptionsRequest>},
    {enc::kTransferSubscriptionsRequest, enc::kTransferSubscriptionsResponse,
     DecodeAs<TransferSubscriptionsRequest>},
    {enc::kPublishRequest, enc::kPublishResponse, DecodeAs<PublishRequest>},
    {enc::kRepublishRequest, enc::kRepublishResponse, DecodeAs<RepublishRequest>},
    {enc::kCreateMonitoredItemsRequest, enc::kCreateMonitoredItemsResponse,
     DecodeAs<CreateMonitoredItemsRequest>},
    {enc::kModifyMonitoredItemsRequest, enc::kModifyMonitoredItemsResponse,
     DecodeAs<ModifyMonitoredItemsRequest>},
    {enc::kSetMonitoringModeRequest, enc::kSetMonitoringModeResponse, DecodeAs<SetMonitoringModeRequest>},
    {enc::kSetTriggeringRequest, enc::kSetTriggeringResponse, DecodeAs<SetTriggeringRequest>},
    {enc::kDeleteMonitoredItemsRequest, enc::kDeleteMonitoredItemsResponse,
     DecodeAs<DeleteMonitoredItemsRequest>},
};

}  // namespace

DecodedRequest DecodeRequest(std::string_view body)
{
    DecodedRequest out;
    Decoder d(body);
    NodeId typeId;
    d.Read(typeId);
    if (!d.Ok()) {
        out.status = d.Status();
        return out;
    }
    if (typeId.ns == 0 && typeId.type == IdType::Numeric) out.typeId = typeId.numeric;
    // The header on its own first, so that a body that fails further on still
    // gets a fault echoing its request handle.
    const std::string_view message = body.substr(d.Position());
    Decoder header(message);
    header.Read(out.header);
    out.headerOk = header.Ok();
    if (!out.headerOk) {
        out.status = header.Status();
        return out;
    }
    for (const Entry& e : kEntries) {
        if (e.requestTypeId == out.typeId) {
            Decoder whole(message);
            e.decode(whole, out);
            out.status = whole.Status();
            return out;
        }
    }
    out.status = kBadServiceUnsupported;
    return out;
}

uint32_t ResponseTypeOf(uint32_t requestTypeId)
{
    for (const Entry& e : kEntries)
        if (e.requestTypeId == requestTypeId) return e.responseTypeId;
    return 0;
}

}  // namespace ua
