// OPC UA messages as a client may send them. The first byte picks the way in:
// even, the rest is a byte stream into a server connection (Hello, secure
// channel, chunks); odd, the rest is one request body for the decoder of
// every request type. Decoded requests must encode back to bytes that decode
// to the same request; so must the filters of monitored items, which the
// endpoint decodes only when it creates or changes the item.
#include "opcua/protocol/UaChannel.h"
#include "opcua/protocol/UaRequest.h"
#include "opcua/protocol/UaSubscriptionMessages.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>

namespace {

// A fixed channel ID, so that inputs can address the channel they open.
uint32_t FixedChannelId()
{
    return 1;
}

std::string Reencode(uint32_t typeId, const ua::AnyRequest& request)
{
    std::string out;
    ua::Encoder e(out);
    std::visit(
        [&](const auto& r) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(r)>, std::monostate>)
                e(ua::NodeId::Numeric(typeId), r);
        },
        request);
    return out;
}

void CheckFilter(const ua::ExtensionObject& filter)
{
    ua::DataChangeFilter f;
    if (!ua::Unwrap(filter, ua::enc::kDataChangeFilter, &f)) return;
    std::string once, twice;
    ua::Encoder first(once);
    first(f);
    ua::DataChangeFilter g;
    ua::Decoder d(once);
    d(g);
    ua::Encoder second(twice);
    second(g);
    if (!d.Ok() || once != twice) std::abort();
}

void CheckFilters(const ua::AnyRequest& request)
{
    if (const auto* create = std::get_if<ua::CreateMonitoredItemsRequest>(&request))
        for (const auto& item : create->itemsToCreate) CheckFilter(item.requestedParameters.filter);
    if (const auto* modify = std::get_if<ua::ModifyMonitoredItemsRequest>(&request))
        for (const auto& item : modify->itemsToModify) CheckFilter(item.requestedParameters.filter);
}

void CheckBody(std::string_view body)
{
    ua::DecodedRequest first = ua::DecodeRequest(body);
    if (first.status != ua::kGood || std::holds_alternative<std::monostate>(first.request)) return;
    CheckFilters(first.request);
    std::string again = Reencode(first.typeId, first.request);
    ua::DecodedRequest second = ua::DecodeRequest(again);
    if (second.status != ua::kGood || Reencode(second.typeId, second.request) != again) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const bool stream = (data[0] & 1) == 0;
    ++data;
    --size;
    if (!stream) {
        CheckBody(std::string_view(reinterpret_cast<const char*>(data), size));
        return 0;
    }
    // The same bytes in one piece and in two must give the same answer.
    std::string whole, split;
    std::vector<ua::CUaChannel::Request> requests, splitRequests;
    ua::CUaChannel a(ua::ChannelLimits(), FixedChannelId), b(ua::ChannelLimits(), FixedChannelId);
    ua::CUaChannel::FeedResult ra = a.Feed(data, size, &whole, &requests);
    size_t half = size / 2;
    ua::CUaChannel::FeedResult rb = b.Feed(data, half, &split, &splitRequests);
    if (rb.status == ua::kGood && !rb.closeRequested)
        rb = b.Feed(data + half, size - half, &split, &splitRequests);
    if (ra.status != rb.status || requests.size() != splitRequests.size()) std::abort();
    // Output differs only in time stamps and channel IDs, so only its size is compared.
    if (whole.size() != split.size()) std::abort();
    for (const auto& r : requests) CheckBody(r.body);
    return 0;
}
