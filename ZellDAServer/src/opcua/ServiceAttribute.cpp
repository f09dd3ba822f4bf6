// Attribute: Read of every attribute a node has (item values through the
// session, honouring maxAge) and Write of item values.
#include "opcua/UaLimits.h"
#include "opcua/UaServices.h"
#include "opcua/protocol/UaValues.h"

#include <charconv>

namespace ua {

namespace {

const char kDefaultBinary[] = "Default Binary";
constexpr uint32_t kLastAttribute = static_cast<uint32_t>(Attribute::UserExecutable);

// "n" or "n:m" with n < m; ranges over more dimensions are not offered.
bool ParseRange(std::string_view text, uint32_t* first, uint32_t* last)
{
    auto number = [](std::string_view s, uint32_t* v) {
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *v);
        return ec == std::errc() && end == s.data() + s.size() && !s.empty();
    };
    size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        if (!number(text, first)) return false;
        *last = *first;
        return true;
    }
    return number(text.substr(0, colon), first) && number(text.substr(colon + 1), last) && *first < *last;
}

StatusCode ApplyRange(const std::string& range, Variant* v)
{
    if (range.empty()) return kGood;
    uint32_t first, last;
    if (!ParseRange(range, &first, &last)) return kBadIndexRangeInvalid;
    if (!v->isArray || first >= v->array.size()) return kBadIndexRangeNoData;
    size_t end = std::min<size_t>(last + 1, v->array.size());
    v->array = std::vector<Scalar>(v->array.begin() + first, v->array.begin() + static_cast<ptrdiff_t>(end));
    v->dimensions.clear();
    return kGood;
}

bool AsDouble(const VARIANT& v, double* out)
{
    VARIANT d;
    VariantInit(&d);
    if (v.vt == VT_EMPTY || FAILED(VariantChangeType(&d, &v, 0, VT_R8))) return false;
    *out = d.dblVal;
    return true;
}

}  // namespace

StatusCode ReadItemProperty(CUaSession& session, const std::string& itemId, Attribute attribute, Variant* out)
{
    const uint32_t property = attribute == Attribute::DataType                  ? 1
                              : attribute == Attribute::MinimumSamplingInterval ? 6
                                                                                : 5;
    std::vector<CDAVariant> values;
    std::vector<HRESULT> errors;
    HRESULT hr = session.GetProperties(itemId, {property}, &values, &errors);
    if (FAILED(hr)) return StatusOfResult(hr, false);
    double number = 0;
    const bool known =
        !errors.empty() && SUCCEEDED(errors[0]) && !values.empty() && AsDouble(values[0].Get(), &number);
    switch (attribute) {
        case Attribute::DataType:
            *out = MakeBoxed(Type::NodeId, NodeId::Numeric(known ? DataTypeOf(static_cast<VARTYPE>(number))
                                                                 : id::kBaseDataType));
            break;
        case Attribute::MinimumSamplingInterval:
            // -1: indeterminate, for an item that no channel polls.
            *out = MakeReal(Type::Double, known ? number : -1.0);
            break;
        default:
            *out = MakeUnsigned(Type::Byte,
                                known ? static_cast<uint32_t>(number) & (OPC_READABLE | OPC_WRITEABLE) : 0);
            break;
    }
    return kGood;
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const ReadRequest& request)
{
    std::shared_ptr<CUaSession> session =
        OperationsSession(ep, ctx, request.nodesToRead.size(), kMaxNodesPerRead);
    if (!session) return;
    if (!(request.maxAge >= 0)) return ep.Fault(ctx, kBadMaxAgeInvalid);
    const auto ts = request.timestampsToReturn;
    if (static_cast<int32_t>(ts) < 0 || ts >= TimestampsToReturn::Invalid)
        return ep.Fault(ctx, kBadTimestampsToReturnInvalid);
    const bool sourceTime = ts == TimestampsToReturn::Source || ts == TimestampsToReturn::Both;
    const bool serverTime = ts == TimestampsToReturn::Server || ts == TimestampsToReturn::Both;
    const DateTime now = Now();
    const CUaAddressSpace& space = ep.AddressSpace();

    ReadResponse response;
    response.results.resize(request.nodesToRead.size());
    std::vector<size_t> items;
    std::vector<std::string_view> itemIds;
    for (size_t i = 0; i < request.nodesToRead.size(); ++i) {
        const ReadValueId& r = request.nodesToRead[i];
        DataValue& dv = response.results[i];
        if (serverTime) {
            dv.hasServerTimestamp = true;
            dv.serverTimestamp = now;
        }
        const bool isValue = r.attributeId == static_cast<uint32_t>(Attribute::Value);
        // An item's value goes straight to the session, which knows the items it
        // holds; only what it does not find is looked up in the address space.
        if (isValue && r.nodeId.ns == kItemNamespace && r.nodeId.type == IdType::String &&
            r.indexRange.empty() && r.dataEncoding.name.empty()) {
            items.push_back(i);
            itemIds.push_back(r.nodeId.text);
            continue;
        }
        NodeRef node = space.Resolve(r.nodeId);
        Variant value;
        StatusCode s = kGood;
        if (node.kind == NodeRef::Unknown)
            s = kBadNodeIdUnknown;
        else if (r.attributeId == 0 || r.attributeId > kLastAttribute)
            s = kBadAttributeIdInvalid;
        else if (!r.dataEncoding.name.empty())
            s = !isValue ? kBadDataEncodingInvalid
                         : (r.dataEncoding.ns != 0 || r.dataEncoding.name != kDefaultBinary
                                ? kBadDataEncodingUnsupported
                                : kGood);
        if (s == kGood) s = space.ReadAttribute(node, r.attributeId, &value);
        if (s == kBadNotSupported && isValue) {
            uint32_t first, last;
            if (r.indexRange.empty()) {
                items.push_back(i);
                itemIds.push_back(r.nodeId.text);
                continue;
            }
            s = ParseRange(r.indexRange, &first, &last) ? kBadIndexRangeNoData : kBadIndexRangeInvalid;
        } else if (s == kBadNotSupported) {
            s = ReadItemProperty(*session, node.path, static_cast<Attribute>(r.attributeId), &value);
        }
        if (s == kGood) s = ApplyRange(r.indexRange, &value);
        if (s != kGood) {
            dv.hasStatus = true;
            dv.status = s;
            continue;
        }
        dv.hasValue = true;
        dv.value = std::move(value);
        if (isValue && sourceTime) {
            dv.hasSourceTimestamp = true;
            dv.sourceTimestamp = now;
        }
    }
    if (!items.empty()) {
        std::vector<ItemValue> values;
        session->ReadValues(itemIds, request.maxAge, &values);
        for (size_t j = 0; j < items.size(); ++j) {
            DataValue& dv = response.results[items[j]];
            ItemValue& v = values[j];
            if (v.status == kBadNodeIdUnknown &&
                space.Resolve(request.nodesToRead[items[j]].nodeId).kind == NodeRef::Folder)
                v.status = kBadAttributeIdInvalid;  // a folder has no value
            if (v.status != kGood) {
                dv.hasStatus = true;
                dv.status = v.status;
                continue;
            }
            dv.hasValue = true;
            dv.value = FromVariant(v.value.Get());
            dv.status = StatusOfQuality(v.quality);
            dv.hasStatus = dv.status != kGood;
            if (sourceTime) {
                dv.hasSourceTimestamp = true;
                dv.sourceTimestamp = DateTime{static_cast<int64_t>(FileTimeToUInt64(v.timeStamp))};
            }
        }
        ep.Trace().Trace(2, "OPC UA Read <%zu> items of \"%s\", maxAge %.0f", items.size(),
                         session->Name().c_str(), request.maxAge);
    }
    ep.Respond(ctx, enc::kReadResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const WriteRequest& request)
{
    std::shared_ptr<CUaSession> session =
        OperationsSession(ep, ctx, request.nodesToWrite.size(), kMaxNodesPerWrite);
    if (!session) return;
    const CUaAddressSpace& space = ep.AddressSpace();
    WriteResponse response;
    response.results.assign(request.nodesToWrite.size(), kGood);
    std::vector<size_t> items;
    std::vector<std::string_view> itemIds;
    std::vector<const Variant*> values;
    for (size_t i = 0; i < request.nodesToWrite.size(); ++i) {
        const WriteValue& w = request.nodesToWrite[i];
        StatusCode& s = response.results[i];
        NodeRef node = space.Resolve(w.nodeId);
        uint32_t first, last;
        if (node.kind == NodeRef::Unknown) {
            s = kBadNodeIdUnknown;
        } else if (w.attributeId == 0 || w.attributeId > kLastAttribute) {
            s = kBadAttributeIdInvalid;
        } else if (w.attributeId != static_cast<uint32_t>(Attribute::Value)) {
            s = kBadNotWritable;
        } else if (node.kind != NodeRef::Item) {
            const bool hasValue =
                node.kind == NodeRef::Standard && (node.standard->nodeClass == NodeClass::Variable ||
                                                   node.standard->nodeClass == NodeClass::VariableType);
            s = hasValue ? kBadNotWritable : kBadAttributeIdInvalid;
        } else if (!w.indexRange.empty()) {
            s = ParseRange(w.indexRange, &first, &last) ? kBadIndexRangeNoData : kBadIndexRangeInvalid;
        } else if (!w.value.hasValue) {
            s = kBadTypeMismatch;
        } else if (w.value.hasStatus && w.value.status != kGood) {
            // A device keeps no quality of its own; time stamps are ignored the same way.
            s = kBadWriteNotSupported;
        } else {
            items.push_back(i);
            itemIds.push_back(w.nodeId.text);
            values.push_back(&w.value.value);
        }
    }
    if (!items.empty()) {
        std::vector<StatusCode> written;
        session->WriteValues(itemIds, values, &written);
        for (size_t j = 0; j < items.size(); ++j) response.results[items[j]] = written[j];
        ep.Trace().Trace(1, "OPC UA Write <%zu> items of \"%s\"", items.size(), session->Name().c_str());
    }
    ep.Respond(ctx, enc::kWriteResponse, response);
}

}  // namespace ua
