// Sessions: CreateSession, ActivateSession (anonymous only), CloseSession and Cancel.
#include "opcua/UaPublisher.h"
#include "opcua/UaServices.h"
#include "platform/StreamServer.h"

namespace ua {

namespace {

constexpr size_t kNonceSize = 32;

ByteString NewNonce()
{
    ByteString nonce;
    nonce.bytes.resize(kNonceSize);
    RandomBytes(nonce.bytes.data(), nonce.bytes.size());
    return nonce;
}

// Anonymous only: a missing token counts as anonymous.
StatusCode CheckIdentity(const ExtensionObject& token)
{
    if (token.typeId.IsNull() && token.encoding == ExtensionObject::None) return kGood;
    AnonymousIdentityToken anonymous;
    if (Unwrap(token, enc::kAnonymousIdentityToken, &anonymous))
        return anonymous.policyId.empty() || anonymous.policyId == "anonymous" ? kGood
                                                                               : kBadIdentityTokenInvalid;
    if (token.typeId.Is(enc::kUserNameIdentityToken) || token.typeId.Is(enc::kX509IdentityToken) ||
        token.typeId.Is(enc::kIssuedIdentityToken))
        return kBadIdentityTokenRejected;
    return kBadIdentityTokenInvalid;
}

}  // namespace

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const CreateSessionRequest& request)
{
    StatusCode status;
    std::shared_ptr<CUaSession> session =
        ep.Sessions().Create(request.sessionName, request.requestedSessionTimeout, ctx.channelId, &status);
    if (!session) {
        ep.Trace().Trace(1, "OPC UA session \"%s\" refused: 0x%08X", request.sessionName.c_str(), status);
        ep.Fault(ctx, status);
        return;
    }
    CreateSessionResponse response;
    response.sessionId = session->Id();
    response.authenticationToken = session->Token();
    response.revisedSessionTimeout = session->TimeoutMs();
    response.serverNonce = NewNonce();
    response.serverEndpoints =
        ep.Endpoints(ep.EndpointUrl(request.endpointUrl.empty() ? ctx.endpointUrl : request.endpointUrl));
    response.maxRequestMessageSize = ChannelLimits().maxMessageSize;
    ep.Trace().Trace(1, "OPC UA session \"%s\" created on channel %u, time-out %.0f ms",
                     request.sessionName.c_str(), ctx.channelId, session->TimeoutMs());
    ep.Respond(ctx, enc::kCreateSessionResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const ActivateSessionRequest& request)
{
    std::shared_ptr<CUaSession> session;
    StatusCode status = ep.SessionOf(ctx, &session, true);
    if (status == kGood) status = CheckIdentity(request.userIdentityToken);
    if (status != kGood) {
        ep.Trace().Trace(1, "OPC UA ActivateSession refused: 0x%08X", status);
        ep.Fault(ctx, status);
        return;
    }
    // The same anonymous user may take its session over to a new channel.
    const uint32_t previous = session->ChannelId();
    session->Activate(ctx.channelId);
    if (previous != ctx.channelId)
        ep.Trace().Trace(1, "OPC UA session \"%s\" moved from channel %u to %u", session->Name().c_str(),
                         previous, ctx.channelId);
    ActivateSessionResponse response;
    response.serverNonce = NewNonce();
    response.results.assign(request.clientSoftwareCertificates.size(), kGood);
    ep.Respond(ctx, enc::kActivateSessionResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const CloseSessionRequest& request)
{
    std::shared_ptr<CUaSession> session;
    StatusCode status = ep.SessionOf(ctx, &session);
    if (status == kBadSessionNotActivated) status = kGood;  // a session may close before its activation
    if (status != kGood || !ep.Sessions().Remove(session->Token())) {
        ep.Fault(ctx, status != kGood ? status : kBadSessionIdInvalid);
        return;
    }
    ep.Publisher().SessionEnded(session.get(), request.deleteSubscriptions);
    session->Close();
    ep.Trace().Trace(1, "OPC UA session \"%s\" closed by the client", session->Name().c_str());
    CloseSessionResponse response;
    ep.Respond(ctx, enc::kCloseSessionResponse, response);
}

void Serve(CUaEndpoint& ep, const RequestContext& ctx, const CancelRequest& /*request*/)
{
    std::shared_ptr<CUaSession> session;
    if (StatusCode status = ep.SessionOf(ctx, &session); status != kGood) {
        ep.Fault(ctx, status);
        return;
    }
    // Requests run to their end; none is waiting to be cancelled.
    CancelResponse response;
    ep.Respond(ctx, enc::kCancelResponse, response);
}

}  // namespace ua
