#include "opcua/protocol/UaRequest.h"

namespace ua {

namespace {

template <typename T>
void DecodeAs(Decoder& d, DecodedRequest& out)
{
    T request;
    d.Read(request);
    out.header = request.requestHeader;
    out.headerOk = d.Ok();
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
    for (const Entry& e : kEntries) {
        if (e.requestTypeId == out.typeId) {
            e.decode(d, out);
            out.status = d.Status();
            return out;
        }
    }
    d.Read(out.header);
    out.headerOk = d.Ok();
    out.status = d.Ok() ? kBadServiceUnsupported : d.Status();
    return out;
}

uint32_t ResponseTypeOf(uint32_t requestTypeId)
{
    for (const Entry& e : kEntries)
        if (e.requestTypeId == requestTypeId) return e.responseTypeId;
    return 0;
}

}  // namespace ua
