#pragma once
// A request body taken apart: its type, its header and, for the services the
// endpoint offers, the whole message.

#include "opcua/protocol/UaMessages.h"
#include "opcua/protocol/UaSubscriptionMessages.h"

#include <string_view>
#include <variant>

namespace ua {

using AnyRequest =
    std::variant<std::monostate, GetEndpointsRequest, FindServersRequest, CreateSessionRequest,
                 ActivateSessionRequest, CloseSessionRequest, CancelRequest, BrowseRequest, BrowseNextRequest,
                 TranslateBrowsePathsRequest, RegisterNodesRequest, UnregisterNodesRequest, ReadRequest,
                 WriteRequest, CreateSubscriptionRequest, ModifySubscriptionRequest, SetPublishingModeRequest,
                 DeleteSubscriptionsRequest, TransferSubscriptionsRequest, PublishRequest, RepublishRequest,
                 CreateMonitoredItemsRequest, ModifyMonitoredItemsRequest, SetMonitoringModeRequest,
                 SetTriggeringRequest, DeleteMonitoredItemsRequest>;

struct DecodedRequest {
    uint32_t typeId = 0;   // the encoding's numeric ID in namespace 0 (0: another NodeId)
    RequestHeader header;  // decoded for every type, offered or not
    bool headerOk = false;
    AnyRequest request;         // monostate: a service the endpoint does not offer
    StatusCode status = kGood;  // the decoding's outcome
};

// Every request begins with its RequestHeader, so a service the endpoint does
// not offer still gets a fault that echoes the request handle.
DecodedRequest DecodeRequest(std::string_view body);

// The response encoding of a request encoding (0 when unknown).
uint32_t ResponseTypeOf(uint32_t requestTypeId);

}  // namespace ua
