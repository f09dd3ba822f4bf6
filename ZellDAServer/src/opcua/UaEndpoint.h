#pragma once
// The OPC UA endpoint: one I/O thread accepts connections, reads and writes
// them and runs the requests that never reach the program (discovery,
// browsing, reads of namespace 0); requests that do (reads and writes of
// items, sessions opening and closing) go to a few worker threads, so a device
// that is slow to answer holds up neither the other clients nor keep-alives.
//
// Locks: a connection's mutex guards its channel state and unsent bytes and
// is held only while bytes are produced or sent; nothing else is taken under
// it. Sessions have their own (UaSession.h). The I/O thread alone closes
// sockets and owns the table of connections.

#include "ToolTrace.h"
#include "ZellDAServer.h"
#include "opcua/UaAddressSpace.h"
#include "opcua/UaBuffers.h"
#include "opcua/UaSession.h"
#include "opcua/protocol/UaChannel.h"
#include "platform/StreamServer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ua {

class CUaPublisher;

class CUaConnection {
   public:
    using Clock = std::chrono::steady_clock;
    CUaConnection(uint64_t key, SocketHandle socket, std::string peer)
        : m_key(key), m_socket(socket), m_peer(std::move(peer)), m_accepted(Clock::now())
    {
    }
    uint64_t Key() const { return m_key; }
    const std::string& Peer() const { return m_peer; }

   private:
    friend class CUaEndpoint;
    const uint64_t m_key;
    const SocketHandle m_socket;
    const std::string m_peer;
    const Clock::time_point m_accepted;

    std::mutex m_mutex;
    CUaChannel m_channel;
    std::string m_out;
    size_t m_outPos = 0;
    bool m_wantWrite = false;
    bool m_closing = false;     // close once everything is sent
    bool m_halfClosed = false;  // sent all and shut down our side; reading until the peer goes
    bool m_closed = false;
    Clock::time_point m_lingerUntil;
    std::atomic<uint32_t> m_inFlight{0};
};

// What a service needs to know about the request it answers.
struct RequestContext {
    std::shared_ptr<CUaConnection> connection;
    uint32_t requestId = 0;
    uint32_t channelId = 0;
    std::string endpointUrl;  // as the client named it in Hello
    uint32_t typeId = 0;
    RequestHeader header;
};

class CUaWorkers {
   public:
    void Start(unsigned count);
    // Runs the jobs in progress to their end and drops those not started.
    void Stop();
    void Post(std::function<void()> job);

   private:
    void Run();
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_jobs;
    std::vector<std::thread> m_threads;
    bool m_stop = false;
};

class CUaEndpoint {
   public:
    static CUaEndpoint& Instance();

    HRESULT Start(const UaEndpointOptions& options, std::string* error);
    HRESULT Stop();
    uint16_t Port() const { return m_port.load(); }

    // For the services.
    CUaSessionManager& Sessions() { return m_sessions; }
    CUaPublisher& Publisher() { return *m_publisher; }
    const CUaAddressSpace& AddressSpace() const { return *m_space; }
    CToolTrace& Trace();
    // The URL a client dialled when it named one, else the advertised one.
    std::string EndpointUrl(const std::string& dialled) const;
    ApplicationDescription Application(const std::string& url) const;
    std::vector<EndpointDescription> Endpoints(const std::string& url) const;
    // The session a request's token names, checked against its channel.
    StatusCode SessionOf(const RequestContext& ctx, std::shared_ptr<CUaSession>* session,
                         bool activating = false);
    // Closes a session on a worker: releasing items calls the program.
    void CloseSessionLater(std::shared_ptr<CUaSession> session, const char* why);

    // The client's Hello limits bind; a session's maxResponseMessageSize does
    // not: a common client asks for 800 kB there yet takes far larger answers.
    template <typename T>
    void Respond(const RequestContext& ctx, uint32_t typeId, T& response)
    {
        // Each thread keeps a buffer for its usual answers; a rare large one
        // gives its room back.
        thread_local std::string body;
        RespondIn(body, ctx, typeId, response);
        FitRoom(body, 0);
    }
    // In a buffer that keeps its room while the answers need it.
    template <typename T>
    void RespondIn(std::string& body, const RequestContext& ctx, uint32_t typeId, T& response)
    {
        response.responseHeader.timestamp = Now();
        response.responseHeader.requestHandle = ctx.header.requestHandle;
        body.clear();
        Encoder e(body);
        e(NodeId::Numeric(typeId), response);
        SendBody(ctx, body);
        FitRoom(body, body.size());
    }
    void Fault(const RequestContext& ctx, StatusCode status);
    // The largest response the client of a request takes.
    uint32_t ResponseLimit(const RequestContext& ctx);

    // Routes a decoded request to the thread it runs on.
    void Dispatch(const std::shared_ptr<CUaConnection>& connection, CUaChannel::Request&& request);

   private:
    CUaEndpoint() = default;
    void IoLoop();
    void AcceptAll();
    void Receive(const std::shared_ptr<CUaConnection>& c);
    // Sends what it can; the connection's mutex is held.
    void FlushLocked(CUaConnection& c);
    void CloseConnection(const std::shared_ptr<CUaConnection>& c, const char* why);
    void Tick();
    void SendBody(const RequestContext& ctx, const std::string& body);
    ServerState CurrentState();
    template <typename T>
    void Route(RequestContext&& ctx, T&& request);

    std::mutex m_lifeMutex;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopping{false};
    std::atomic<uint16_t> m_port{0};
    SocketHandle m_listener = kInvalidSocket;
    std::string m_advertisedUrl;
    std::unique_ptr<CSocketPoller> m_poller;
    std::thread m_ioThread;
    CUaWorkers m_workers;
    std::unique_ptr<CUaAddressSpace> m_space;
    CUaSessionManager m_sessions;
    std::unique_ptr<CUaPublisher> m_publisher;
    std::unordered_map<uint64_t, std::shared_ptr<CUaConnection>> m_connections;  // I/O thread only
    uint64_t m_nextKey = 1;
    std::atomic<int32_t> m_lastState{static_cast<int32_t>(ServerState::Running)};
    std::chrono::steady_clock::time_point m_nextIdleSweep;
};

}  // namespace ua
