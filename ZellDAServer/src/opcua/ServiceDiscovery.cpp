// Discovery: GetEndpoints and FindServers, answered with the URL the client
// dialled, so a client that checks for its own URL finds it.
#include "opcua/UaServices.h"

namespace ua {

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const GetEndpointsRequest& request)
{
    const std::string url =
        ep.EndpointUrl(request.endpointUrl.empty() ? ctx.endpointUrl : request.endpointUrl);
    GetEndpointsResponse response;
    bool offered = request.profileUris.empty();
    for (const std::string& profile : request.profileUris)
        offered = offered || profile == kTransportProfileBinary;
    if (offered) response.endpoints = ep.Endpoints(url);
    ep.Respond(ctx, enc::kGetEndpointsResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const FindServersRequest& request)
{
    const std::string url =
        ep.EndpointUrl(request.endpointUrl.empty() ? ctx.endpointUrl : request.endpointUrl);
    ApplicationDescription self = ep.Application(url);
    FindServersResponse response;
    bool named = request.serverUris.empty();
    for (const std::string& uri : request.serverUris) named = named || uri == self.applicationUri;
    if (named) response.servers.push_back(std::move(self));
    ep.Respond(ctx, enc::kFindServersResponse, response);
}

}  // namespace ua
