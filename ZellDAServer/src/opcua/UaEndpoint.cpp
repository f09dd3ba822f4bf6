#include "opcua/UaEndpoint.h"

#include "ServerCore.h"
#include "opcua/UaLimits.h"
#include "opcua/UaPublisher.h"
#include "opcua/UaServices.h"
#include "opcua/UaSettings.h"
#include "opcua/protocol/UaRequest.h"
#include "platform/CrashSignals.h"

namespace ua {

namespace {

constexpr uint64_t kListenerKey = 0;
constexpr uint32_t kTickMs = 500;
constexpr uint32_t kIdleSweepMs = 10000;
constexpr size_t kReceiveBuffer = 65536;
constexpr int kReceiveRoundsPerWake = 16;  // then other connections get their turn

ServerState FromDaState(OPCSERVERSTATE s)
{
    switch (s) {
        case OPC_STATUS_RUNNING:
            return ServerState::Running;
        case OPC_STATUS_FAILED:
            return ServerState::Failed;
        case OPC_STATUS_SUSPENDED:
            return ServerState::Suspended;
        case OPC_STATUS_TEST:
            return ServerState::Test;
        default:
            return ServerState::NoConfiguration;
    }
}

std::string OrDefault(const char* text, std::string fallback)
{
    return text && *text ? std::string(text) : std::move(fallback);
}

}  // namespace

// ---- workers ----

void CUaWorkers::Start(unsigned count)
{
    std::lock_guard lock(m_mutex);
    m_stop = false;
    for (unsigned i = 0; i < count; ++i) m_threads.emplace_back(&CUaWorkers::Run, this);
}

void CUaWorkers::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        m_jobs.clear();
    }
    m_cv.notify_all();
    for (std::thread& t : m_threads) t.join();
    m_threads.clear();
}

void CUaWorkers::Post(std::function<void()> job)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stop) return;
        m_jobs.push_back(std::move(job));
    }
    m_cv.notify_one();
}

void CUaWorkers::Run()
{
    // A stack overflow on the endpoint's threads is reported too.
    PrepareCrashStackForThread();
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [&] { return m_stop || !m_jobs.empty(); });
            if (m_stop) return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}

// ---- life ----

CUaEndpoint& CUaEndpoint::Instance()
{
    // Never destroyed, as the core: threads may still call in during exit.
    static CUaEndpoint* endpoint = new CUaEndpoint();
    return *endpoint;
}

CToolTrace& CUaEndpoint::Trace()
{
    return CServerCore::Instance().Trace();
}

ServerState CUaEndpoint::CurrentState()
{
    CServerCore& core = CServerCore::Instance();
    if (!core.IsRunning()) return ServerState::NoConfiguration;
    // The I/O thread never waits for the program: while a withdrawal holds
    // the toolkit, the last state known stands.
    OPCSERVERSTATE state;
    if (core.TryGetServerState(&state)) m_lastState.store(static_cast<int32_t>(FromDaState(state)));
    return static_cast<ServerState>(m_lastState.load());
}

HRESULT CUaEndpoint::Start(const UaEndpointOptions& options, std::string* error)
{
    std::lock_guard life(m_lifeMutex);
    if (m_running.load()) return S_FALSE;
    const std::string listen = OrDefault(options.listen, UA_DEFAULT_LISTEN);
    std::string host;
    uint16_t port = 0;
    if (!ParseListenAddress(listen, &host, &port)) {
        *error = "OPC UA: bad listen address \"" + listen + "\" (expected ADDRESS:PORT)";
        return E_INVALIDARG;
    }
    if (options.listenSocket >= 0) {
        if (!IsListeningStreamSocket(options.listenSocket)) {
            *error = "OPC UA: the socket handed over is not a listening stream socket";
            return E_INVALIDARG;
        }
        m_listener = options.listenSocket;
        (void)SetSocketNonBlocking(m_listener, true);
    } else {
        int err = 0;
        m_listener = CreateListeningSocket(host, port, &err);
        if (m_listener == kInvalidSocket) {
            *error = "OPC UA: cannot listen on " + listen + ": " + ListenErrorText(err);
            Trace().Trace(1, "%s", error->c_str());
            return E_FAIL;
        }
    }
    m_port.store(ListeningPort(m_listener));

    ServerInfo info;
    info.applicationName = OrDefault(options.applicationName, "OpcVireo2");
    const std::string hostName = LocalHostName();
    info.applicationUri = OrDefault(options.applicationUri, "urn:" + hostName + ":" + info.applicationName);
    info.productUri = OrDefault(options.productUri, "urn:" + info.applicationName);
    info.manufacturer = OrDefault(options.manufacturer, "");
    info.softwareVersion = OrDefault(options.softwareVersion, "");
    info.buildNumber = OrDefault(options.buildNumber, "");
    info.startTime = Now();
    m_advertisedUrl = "opc.tcp://" + hostName + ":" + std::to_string(m_port.load());
    m_space = std::make_unique<CUaAddressSpace>(std::move(info), [this] { return CurrentState(); });

    m_poller = std::make_unique<CSocketPoller>();
    if (!m_poller->IsOpen() || !m_poller->Add(m_listener, kListenerKey, false)) {
        *error = "OPC UA: cannot watch the listening socket";
        CloseSocketHandle(m_listener);
        m_listener = kInvalidSocket;
        m_port.store(0);
        return E_FAIL;
    }
    m_stopping.store(false);
    m_nextIdleSweep = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIdleSweepMs);
    m_workers.Start(kWorkerThreads);
    if (!m_publisher) m_publisher = std::make_unique<CUaPublisher>(*this);
    m_publisher->Start();
    m_ioThread = std::thread(&CUaEndpoint::IoLoop, this);
    m_running.store(true);
    Trace().Trace(1, "OPC UA endpoint listening on %s (advertised %s)", listen.c_str(),
                  m_advertisedUrl.c_str());
    return S_OK;
}

HRESULT CUaEndpoint::Stop()
{
    std::lock_guard life(m_lifeMutex);
    if (!m_running.load()) return S_FALSE;
    m_stopping.store(true);
    m_poller->Wake();
    m_ioThread.join();
    for (auto& [key, c] : m_connections) {
        std::lock_guard lock(c->m_mutex);
        c->m_closed = true;
        m_poller->Remove(c->m_socket);
        CloseSocketHandle(c->m_socket);
    }
    m_connections.clear();
    m_workers.Stop();
    m_publisher->Stop();
    for (std::shared_ptr<CUaSession>& s : m_sessions.RemoveAll()) {
        s->Close();
        Trace().Trace(1, "OPC UA session \"%s\" closed: endpoint stopped", s->Name().c_str());
    }
    m_poller->Remove(m_listener);
    CloseSocketHandle(m_listener);
    m_listener = kInvalidSocket;
    m_poller.reset();
    m_port.store(0);
    m_running.store(false);
    Trace().Trace(1, "OPC UA endpoint stopped");
    return S_OK;
}

// ---- I/O thread ----

void CUaEndpoint::IoLoop()
{
    PrepareCrashStackForThread();
    std::vector<CSocketPoller::Event> events;
    auto nextTick = std::chrono::steady_clock::now();
    while (!m_stopping.load()) {
        m_poller->Wait(kTickMs, &events);
        for (const CSocketPoller::Event& ev : events) {
            if (ev.key == kListenerKey) {
                AcceptAll();
                continue;
            }
            auto it = m_connections.find(ev.key);
            if (it == m_connections.end()) continue;
            std::shared_ptr<CUaConnection> c = it->second;
            if (ev.readable || ev.hangUp) Receive(c);
            if (ev.writable) {
                std::lock_guard lock(c->m_mutex);
                FlushLocked(*c);
            }
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= nextTick) {
            Tick();
            nextTick = now + std::chrono::milliseconds(kTickMs);
        }
    }
}

void CUaEndpoint::AcceptAll()
{
    for (;;) {
        std::string peer;
        SocketHandle s = AcceptConnection(m_listener, &peer);
        if (s == kInvalidSocket) return;
        if (m_connections.size() >= kMaxConnections) {
            // One Error message, then the door closes.
            std::string bytes;
            CUaChannel::EncodeError(kBadTcpServerTooBusy, "too many connections", &bytes);
            (void)SendToSocket(s, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            CloseSocketHandle(s);
            Trace().Trace(1, "OPC UA connection from %s refused: %u connections open", peer.c_str(),
                          kMaxConnections);
            continue;
        }
        uint64_t key = m_nextKey++;
        auto c = std::make_shared<CUaConnection>(key, s, peer);
        if (!m_poller->Add(s, key, false)) {
            CloseSocketHandle(s);
            continue;
        }
        m_connections.emplace(key, std::move(c));
        Trace().Trace(1, "OPC UA connection %llu from %s", static_cast<unsigned long long>(key),
                      peer.c_str());
    }
}

void CUaEndpoint::Receive(const std::shared_ptr<CUaConnection>& c)
{
    uint8_t buffer[kReceiveBuffer];
    for (int round = 0; round < kReceiveRoundsPerWake; ++round) {
        SocketTransfer t = ReceiveFromSocket(c->m_socket, buffer, sizeof buffer);
        if (t.kind == SocketTransfer::WouldBlock) return;
        if (t.kind != SocketTransfer::Done) {
            CloseConnection(c, t.kind == SocketTransfer::Closed ? "closed by the client" : "receive failed");
            return;
        }
        std::vector<CUaChannel::Request> requests;
        {
            std::lock_guard lock(c->m_mutex);
            if (c->m_halfClosed || c->m_closing) continue;  // what comes after the end is dropped
            CUaChannel::FeedResult r = c->m_channel.Feed(buffer, t.count, &c->m_out, &requests);
            if (r.status != kGood) {
                c->m_closing = true;
                Trace().Trace(1, "OPC UA connection %llu: error 0x%08X, closing",
                              static_cast<unsigned long long>(c->m_key), r.status);
            } else if (r.closeRequested) {
                c->m_closing = true;
                Trace().Trace(1, "OPC UA connection %llu: secure channel closed by the client",
                              static_cast<unsigned long long>(c->m_key));
            }
            FlushLocked(*c);
        }
        for (CUaChannel::Request& r : requests) Dispatch(c, std::move(r));
    }
}

void CUaEndpoint::FlushLocked(CUaConnection& c)
{
    if (c.m_closed) return;
    while (c.m_outPos < c.m_out.size()) {
        SocketTransfer t =
            SendToSocket(c.m_socket, reinterpret_cast<const uint8_t*>(c.m_out.data()) + c.m_outPos,
                         c.m_out.size() - c.m_outPos);
        if (t.kind == SocketTransfer::Done) {
            c.m_outPos += t.count;
            continue;
        }
        if (t.kind != SocketTransfer::WouldBlock) {
            // The I/O thread sees the broken socket and closes it.
            c.m_closing = true;
            c.m_out.clear();
            c.m_outPos = 0;
            ShutdownSocket(c.m_socket);
        }
        break;
    }
    const bool pending = c.m_outPos < c.m_out.size();
    if (!pending) {
        const size_t sent = c.m_out.size();
        c.m_out.clear();
        FitRoom(c.m_out, sent);
        c.m_outPos = 0;
        if (c.m_closing && !c.m_halfClosed) {
            c.m_halfClosed = true;
            c.m_lingerUntil = CUaConnection::Clock::now() + std::chrono::milliseconds(kLingerMs);
            ShutdownSocketSending(c.m_socket);
        }
    } else if (c.m_out.size() - c.m_outPos > kMaxUnsentBytes) {
        // A client that does not read its answers loses its connection.
        c.m_closing = true;
        c.m_out.clear();
        c.m_outPos = 0;
        ShutdownSocket(c.m_socket);
    }
    if (pending != c.m_wantWrite && m_poller) {
        c.m_wantWrite = pending;
        (void)m_poller->SetWantWrite(c.m_socket, c.m_key, pending);
    }
}

void CUaEndpoint::CloseConnection(const std::shared_ptr<CUaConnection>& c, const char* why)
{
    {
        std::lock_guard lock(c->m_mutex);
        if (c->m_closed) return;
        c->m_closed = true;
        m_poller->Remove(c->m_socket);
        CloseSocketHandle(c->m_socket);
    }
    m_connections.erase(c->m_key);
    Trace().Trace(1, "OPC UA connection %llu (%s) ended: %s", static_cast<unsigned long long>(c->m_key),
                  c->m_peer.c_str(), why);
}

void CUaEndpoint::Tick()
{
    const auto now = CUaConnection::Clock::now();
    const DateTime wallNow = Now();
    std::vector<std::pair<std::shared_ptr<CUaConnection>, const char*>> ending;
    for (auto& [key, c] : m_connections) {
        std::lock_guard lock(c->m_mutex);
        if (c->m_halfClosed) {
            if (now >= c->m_lingerUntil) ending.emplace_back(c, "closed after an error");
        } else if (!c->m_closing && !c->m_channel.ChannelOpen()) {
            if (now - c->m_accepted > std::chrono::milliseconds(kHelloTimeoutMs)) {
                CUaChannel::EncodeError(kBadTimeout, "no secure channel in time", &c->m_out);
                c->m_closing = true;
                FlushLocked(*c);
                Trace().Trace(1, "OPC UA connection %llu: no secure channel in time",
                              static_cast<unsigned long long>(key));
            }
        } else if (!c->m_closing && wallNow.ticks > c->m_channel.TokenDeadline().ticks) {
            CUaChannel::EncodeError(kBadSecureChannelTokenUnknown, "security token expired", &c->m_out);
            c->m_closing = true;
            FlushLocked(*c);
            Trace().Trace(1, "OPC UA connection %llu: security token expired",
                          static_cast<unsigned long long>(key));
        }
    }
    for (auto& [c, why] : ending) CloseConnection(c, why);
    for (std::shared_ptr<CUaSession>& s : m_sessions.RemoveExpired(now))
        CloseSessionLater(std::move(s), "timed out");
    if (now >= m_nextIdleSweep) {
        m_nextIdleSweep = now + std::chrono::milliseconds(kIdleSweepMs);
        for (std::shared_ptr<CUaSession>& s : m_sessions.All())
            m_workers.Post([s, now] { s->ReleaseIdleItems(now, kReadHoldMs); });
    }
}

// ---- requests ----

void CUaEndpoint::CloseSessionLater(std::shared_ptr<CUaSession> session, const char* why)
{
    Trace().Trace(1, "OPC UA session \"%s\" closed: %s", session->Name().c_str(), why);
    m_workers.Post([this, session] {
        m_publisher->SessionEnded(session.get(), true);
        session->Close();
    });
}

StatusCode CUaEndpoint::SessionOf(const RequestContext& ctx, std::shared_ptr<CUaSession>* session,
                                  bool activating)
{
    *session = m_sessions.Find(ctx.header.authenticationToken);
    if (!*session) return kBadSessionIdInvalid;
    return (*session)->Use(ctx.channelId, activating);
}

std::string CUaEndpoint::EndpointUrl(const std::string& dialled) const
{
    if (dialled.rfind("opc.tcp://", 0) == 0) return dialled;
    return m_advertisedUrl;
}

ApplicationDescription CUaEndpoint::Application(const std::string& url) const
{
    const ServerInfo& info = m_space->Info();
    ApplicationDescription d;
    d.applicationUri = info.applicationUri;
    d.productUri = info.productUri;
    d.applicationName.text = info.applicationName;
    d.applicationType = ApplicationType::Server;
    d.discoveryUrls = {url};
    return d;
}

std::vector<EndpointDescription> CUaEndpoint::Endpoints(const std::string& url) const
{
    EndpointDescription e;
    e.endpointUrl = url;
    e.server = Application(url);
    e.securityMode = MessageSecurityMode::None;
    e.securityPolicyUri = kSecurityPolicyNone;
    e.userIdentityTokens = {
        UserTokenPolicy{"anonymous", UserTokenType::Anonymous, "", "", kSecurityPolicyNone}};
    e.transportProfileUri = kTransportProfileBinary;
    e.securityLevel = 0;
    return {e};
}

void CUaEndpoint::SendBody(const RequestContext& ctx, const std::string& body)
{
    CUaConnection& c = *ctx.connection;
    std::lock_guard lock(c.m_mutex);
    if (c.m_closed || c.m_closing) return;
    StatusCode s = c.m_channel.EncodeMessage(ctx.requestId, body, &c.m_out);
    if (s == kBadResponseTooLarge) {
        ServiceFault fault;
        fault.responseHeader.timestamp = Now();
        fault.responseHeader.requestHandle = ctx.header.requestHandle;
        fault.responseHeader.serviceResult = kBadResponseTooLarge;
        std::string small;
        Encoder e(small);
        e(NodeId::Numeric(enc::kServiceFault), fault);
        s = c.m_channel.EncodeMessage(ctx.requestId, small, &c.m_out);
        Trace().Trace(1, "OPC UA connection %llu: response of %zu bytes too large for the client",
                      static_cast<unsigned long long>(c.m_key), body.size());
    }
    FlushLocked(c);
}

uint32_t CUaEndpoint::ResponseLimit(const RequestContext& ctx)
{
    std::lock_guard lock(ctx.connection->m_mutex);
    const uint32_t limit = ctx.connection->m_channel.ClientMaxMessageSize();
    return limit == 0 ? UINT32_MAX : limit;
}

void CUaEndpoint::Fault(const RequestContext& ctx, StatusCode status)
{
    ServiceFault fault;
    fault.responseHeader.serviceResult = status;
    Respond(ctx, enc::kServiceFault, fault);
    Trace().Trace(2, "OPC UA request %u (type %u): 0x%08X", ctx.requestId, ctx.typeId, status);
}

template <typename T>
void CUaEndpoint::Route(RequestContext&& ctx, T&& request)
{
    if (!RunsOnWorker(request)) {
        Serve(*this, ctx, request);
        return;
    }
    CUaConnection& c = *ctx.connection;
    if (c.m_inFlight.load() >= kMaxRequestsInFlight) {
        Fault(ctx, kBadTooManyOperations);
        return;
    }
    ++c.m_inFlight;
    auto shared = std::make_shared<std::decay_t<T>>(std::move(request));
    m_workers.Post([this, ctx = std::move(ctx), shared]() {
        Serve(*this, ctx, *shared);
        --ctx.connection->m_inFlight;
    });
}

void CUaEndpoint::Dispatch(const std::shared_ptr<CUaConnection>& connection, CUaChannel::Request&& request)
{
    DecodedRequest decoded = DecodeRequest(request.body);
    RequestContext ctx;
    ctx.connection = connection;
    ctx.requestId = request.requestId;
    ctx.typeId = decoded.typeId;
    ctx.header = std::move(decoded.header);
    {
        std::lock_guard lock(connection->m_mutex);
        ctx.channelId = connection->m_channel.ChannelId();
        ctx.endpointUrl = connection->m_channel.EndpointUrl();
    }
    if (!decoded.headerOk) {
        // Not even the header: nothing to answer to but the connection.
        std::lock_guard lock(connection->m_mutex);
        CUaChannel::EncodeError(kBadDecodingError, "undecodable request", &connection->m_out);
        connection->m_closing = true;
        FlushLocked(*connection);
        Trace().Trace(1, "OPC UA connection %llu: undecodable request, closing",
                      static_cast<unsigned long long>(connection->m_key));
        return;
    }
    if (decoded.status != kGood) {
        Fault(ctx, decoded.status);
        return;
    }
    std::visit(
        [&](auto& r) {
            if constexpr (std::is_same_v<std::decay_t<decltype(r)>, std::monostate>)
                Fault(ctx, kBadServiceUnsupported);
            else
                Route(std::move(ctx), std::move(r));
        },
        decoded.request);
}

}  // namespace ua
