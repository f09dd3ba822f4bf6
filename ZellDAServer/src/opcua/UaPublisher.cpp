#include "opcua/UaPublisher.h"

#include "ServerCore.h"
#include "opcua/UaLimits.h"
#include "opcua/protocol/UaValues.h"
#include "platform/CrashSignals.h"

#include <algorithm>

namespace ua {

namespace {

constexpr auto kSweepEvery = std::chrono::milliseconds(500);
constexpr auto kIdleWait = std::chrono::seconds(1);
constexpr uint32_t kResponseMargin = 64 * 1024;  // headers, and the one item that may cross the budget

// Notifications in one message stop short of what the client takes in one response.
uint32_t MessageBudget(uint32_t clientLimit)
{
    const uint32_t limit = std::min(kMaxNotificationMessageBytes, clientLimit);
    return limit > 2 * kResponseMargin ? limit - kResponseMargin : limit / 2;
}

// A PublishResponse around a notification message already encoded: the same
// bytes go out on a Publish and stay for Republish. Encoded only.
struct EncodedPublishResponse {
    ResponseHeader responseHeader;
    uint32_t subscriptionId = 0;
    const std::vector<uint32_t>* available = nullptr;
    bool moreNotifications = false;
    const std::string* message = nullptr;
    const std::vector<StatusCode>* results = nullptr;

    template <typename C, typename S>
    static void Fields(C& c, S& s)
    {
        c(s.responseHeader, s.subscriptionId, *s.available, s.moreNotifications);
        c.WriteRaw(s.message->data(), s.message->size());
        c(*s.results, std::vector<DiagnosticInfo>{});
    }
};

}  // namespace

void CUaPublisher::Start()
{
    std::lock_guard lock(m_mutex);
    if (m_thread.joinable()) return;
    m_stop = false;
    m_nextSweep = Clock::now() + kSweepEvery;
    m_thread = std::thread(&CUaPublisher::Run, this);
}

void CUaPublisher::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable()) m_thread.join();
    std::vector<std::shared_ptr<CUaSubscription>> all;
    {
        std::lock_guard lock(m_mutex);
        for (auto& [id, rec] : m_subscriptions) all.push_back(rec.subscription);
        m_subscriptions.clear();
        m_sessions.clear();
    }
    for (auto& s : all) s->Close();
}

void CUaPublisher::Wake()
{
    {
        std::lock_guard lock(m_mutex);
        m_wake = true;
    }
    m_cv.notify_all();
}

size_t CUaPublisher::Count() const
{
    std::lock_guard lock(m_mutex);
    return m_subscriptions.size();
}

// ---- services ----

StatusCode CUaPublisher::Create(const CUaSession* session, const CreateSubscriptionRequest& request,
                                CreateSubscriptionResponse* response)
{
    uint32_t id;
    {
        std::lock_guard lock(m_mutex);
        auto rec = m_sessions.find(session);
        if (m_subscriptions.size() >= kMaxSubscriptions ||
            (rec != m_sessions.end() && rec->second.subscriptions.size() >= kMaxSubscriptionsPerSession))
            return kBadTooManySubscriptions;
        do {
            ++m_nextId;
        } while (m_nextId == 0 || m_subscriptions.count(m_nextId));
        id = m_nextId;
    }
    CServerCore& core = CServerCore::Instance();
    const std::string name = "OPC UA subscription " + std::to_string(id);
    uint32_t client = 0, group = 0, rate = 0;
    if (FAILED(core.Connect(name.c_str(), nullptr, &client))) return kBadServerHalted;
    if (FAILED(core.AddGroup(client, name.c_str(), true, 0, 0, &group, &rate))) {
        (void)core.Disconnect(client);
        return kBadServerHalted;
    }
    const SubscriptionSettings settings = ReviseSettings(request);
    auto subscription = std::make_shared<CUaSubscription>(id, client, group, settings,
                                                          request.publishingEnabled, Clock::now());
    {
        std::lock_guard lock(m_mutex);
        m_subscriptions[id] = SubscriptionRec{subscription, session};
        m_sessions[session].subscriptions.push_back(id);
    }
    Wake();
    response->subscriptionId = id;
    ReportRevised(settings, response);
    return kGood;
}

std::shared_ptr<CUaSubscription> CUaPublisher::Find(const CUaSession* session, uint32_t id) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_subscriptions.find(id);
    if (it == m_subscriptions.end() || it->second.owner != session) return nullptr;
    return it->second.subscription;
}

StatusCode CUaPublisher::Delete(const CUaSession* session, uint32_t id)
{
    std::shared_ptr<CUaSubscription> subscription;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_subscriptions.find(id);
        if (it == m_subscriptions.end() || it->second.owner != session) return kBadSubscriptionIdInvalid;
        subscription = std::move(it->second.subscription);
        m_subscriptions.erase(it);
        Disown(session, id);
    }
    subscription->Close();
    return kGood;
}

TransferResult CUaPublisher::Transfer(const CUaSession* session, uint32_t id, bool sendInitialValues)
{
    TransferResult result;
    std::shared_ptr<CUaSubscription> subscription;
    const CUaSession* previous;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_subscriptions.find(id);
        if (it == m_subscriptions.end()) {
            result.statusCode = kBadSubscriptionIdInvalid;
            return result;
        }
        subscription = it->second.subscription;
        previous = it->second.owner;
        if (previous != session) {
            Disown(previous, id);
            it->second.owner = session;
            m_sessions[session].subscriptions.push_back(id);
        }
    }
    subscription->ResetLifetime();
    if (sendInitialValues) subscription->ResendValues();
    result.availableSequenceNumbers = subscription->Available();
    if (previous && previous != session)
        Deliver(previous, id, subscription->StatusMessage(kGoodSubscriptionTransferred));
    Wake();
    return result;
}

void CUaPublisher::Publish(const CUaSession* session, const RequestContext& ctx,
                           const PublishRequest& request)
{
    QueuedPublish queued{ctx, std::vector<StatusCode>(request.subscriptionAcknowledgements.size(), kGood),
                         Clock::time_point::max()};
    if (ctx.header.timeoutHint != 0)
        queued.deadline = Clock::now() + std::chrono::milliseconds(ctx.header.timeoutHint);
    std::vector<std::shared_ptr<CUaSubscription>> acknowledged(request.subscriptionAcknowledgements.size());
    std::vector<std::shared_ptr<CUaSubscription>> own;
    bool none;
    {
        std::lock_guard lock(m_mutex);
        SessionRec& rec = m_sessions[session];
        none = rec.subscriptions.empty() && rec.notices.empty();
        for (size_t i = 0; i < acknowledged.size() && !none; ++i) {
            auto it = m_subscriptions.find(request.subscriptionAcknowledgements[i].subscriptionId);
            if (it != m_subscriptions.end() && it->second.owner == session)
                acknowledged[i] = it->second.subscription;
        }
        for (uint32_t id : rec.subscriptions) {
            auto it = m_subscriptions.find(id);
            if (it != m_subscriptions.end()) own.push_back(it->second.subscription);
        }
    }
    if (none) {
        m_ep.Fault(ctx, kBadNoSubscription);
        return;
    }
    for (size_t i = 0; i < acknowledged.size(); ++i)
        queued.results[i] =
            acknowledged[i]
                ? acknowledged[i]->Acknowledge(request.subscriptionAcknowledgements[i].sequenceNumber)
                : kBadSubscriptionIdInvalid;
    // Every Publish starts the lifetimes of the session's subscriptions anew.
    for (auto& s : own) s->ResetLifetime();
    std::vector<QueuedPublish> refused;
    bool ended = false;
    {
        std::lock_guard lock(m_mutex);
        auto rec = m_sessions.find(session);
        if (rec == m_sessions.end()) {
            ended = true;
        } else {
            auto& requests = rec->second.requests;
            while (requests.size() >= kMaxPublishRequestsPerSession) {
                refused.push_back(std::move(requests.front()));
                requests.pop_front();
            }
            requests.push_back(std::move(queued));
        }
    }
    if (ended) m_ep.Fault(ctx, kBadSessionClosed);
    for (const QueuedPublish& r : refused) m_ep.Fault(r.ctx, kBadTooManyPublishRequests);
    Wake();
}

void CUaPublisher::SessionEnded(const CUaSession* session, bool deleteSubscriptions)
{
    SessionRec rec;
    std::vector<std::shared_ptr<CUaSubscription>> closing;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_sessions.find(session);
        if (it == m_sessions.end()) return;
        rec = std::move(it->second);
        m_sessions.erase(it);
        for (uint32_t id : rec.subscriptions) {
            auto sub = m_subscriptions.find(id);
            if (sub == m_subscriptions.end()) continue;
            if (deleteSubscriptions) {
                closing.push_back(std::move(sub->second.subscription));
                m_subscriptions.erase(sub);
            } else {
                sub->second.owner = nullptr;
            }
        }
    }
    for (const QueuedPublish& r : rec.requests) m_ep.Fault(r.ctx, kBadSessionClosed);
    for (auto& s : closing) s->Close();
    if (!closing.empty())
        m_ep.Trace().Trace(1, "OPC UA: %zu subscriptions deleted with their session", closing.size());
}

// ---- the thread ----

void CUaPublisher::Run()
{
    PrepareCrashStackForThread();
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        m_wake = false;
        lock.unlock();
        const Clock::time_point now = Clock::now();
        Turn(now);
        Clock::time_point next = now + kIdleWait;
        std::vector<std::shared_ptr<CUaSubscription>> all;
        lock.lock();
        for (auto& [id, rec] : m_subscriptions) all.push_back(rec.subscription);
        next = std::min(next, m_nextSweep);
        lock.unlock();
        for (auto& s : all) next = std::min(next, s->NextDue());
        lock.lock();
        m_cv.wait_until(lock, next, [&] { return m_stop || m_wake; });
    }
}

void CUaPublisher::Turn(Clock::time_point now)
{
    struct Entry {
        std::shared_ptr<CUaSubscription> subscription;
        const CUaSession* owner;
        bool requestWaiting;
    };
    std::vector<Entry> entries;
    std::vector<std::pair<QueuedPublish, Notice>> notices;
    {
        std::lock_guard lock(m_mutex);
        for (auto& [id, rec] : m_subscriptions) {
            auto session = rec.owner ? m_sessions.find(rec.owner) : m_sessions.end();
            const bool waiting = session != m_sessions.end() && !session->second.requests.empty();
            entries.push_back(Entry{rec.subscription, rec.owner, waiting});
        }
        // State changes that waited for a request.
        for (auto& [session, rec] : m_sessions) {
            while (!rec.notices.empty()) {
                QueuedPublish request;
                if (!TakeRequest(session, &request)) break;
                notices.emplace_back(std::move(request), std::move(rec.notices.front()));
                rec.notices.pop_front();
            }
        }
    }
    for (auto& [request, notice] : notices) Send(request, notice.subscriptionId, notice.message);

    const CUaAddressSpace& space = m_ep.AddressSpace();
    for (Entry& e : entries) {
        CUaSubscription& sub = *e.subscription;
        sub.Sample(now, space);
        sub.RetakeWithdrawn(now);
        const PublishWant want = sub.Cycle(now, e.requestWaiting);
        if (want.expired) {
            Expire(e.subscription);
            continue;
        }
        for (bool send = want.send; send; send = sub.Late()) {
            QueuedPublish request;
            {
                std::lock_guard lock(m_mutex);
                auto rec = m_subscriptions.find(sub.Id());
                // Deleted or taken over meanwhile: the next turn sees it as it is now.
                if (rec == m_subscriptions.end() || rec->second.owner != e.owner || !e.owner) break;
                if (!TakeRequest(e.owner, &request)) break;
            }
            OutgoingMessage message = sub.TakeMessage(MessageBudget(m_ep.ResponseLimit(request.ctx)));
            Send(request, sub.Id(), message, &m_body);
            sub.GiveBack(std::move(message.bytes));
        }
    }
    if (now >= m_nextSweep) {
        m_nextSweep = now + kSweepEvery;
        AnswerExpired(now);
    }
}

void CUaPublisher::Expire(const std::shared_ptr<CUaSubscription>& subscription)
{
    const CUaSession* owner;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_subscriptions.find(subscription->Id());
        if (it == m_subscriptions.end()) return;
        owner = it->second.owner;
        m_subscriptions.erase(it);
        Disown(owner, subscription->Id());
    }
    m_ep.Trace().Trace(1, "OPC UA subscription %u: lifetime ended without a Publish request, deleted",
                       subscription->Id());
    if (owner) Deliver(owner, subscription->Id(), subscription->StatusMessage(kBadTimeout));
    subscription->Close();
}

void CUaPublisher::Deliver(const CUaSession* owner, uint32_t subscriptionId, OutgoingMessage message)
{
    QueuedPublish request;
    {
        std::lock_guard lock(m_mutex);
        auto rec = m_sessions.find(owner);
        if (rec == m_sessions.end()) return;
        if (!TakeRequest(owner, &request)) {
            rec->second.notices.push_back(Notice{subscriptionId, std::move(message)});
            return;
        }
    }
    Send(request, subscriptionId, message);
}

void CUaPublisher::Disown(const CUaSession* session, uint32_t id)
{
    auto rec = m_sessions.find(session);
    if (rec == m_sessions.end()) return;
    auto& ids = rec->second.subscriptions;
    ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
}

bool CUaPublisher::TakeRequest(const CUaSession* session, QueuedPublish* request)
{
    auto rec = m_sessions.find(session);
    if (rec == m_sessions.end() || rec->second.requests.empty()) return false;
    *request = std::move(rec->second.requests.front());
    rec->second.requests.pop_front();
    return true;
}

void CUaPublisher::Send(const QueuedPublish& request, uint32_t subscriptionId, const OutgoingMessage& message,
                        std::string* body)
{
    EncodedPublishResponse response;
    response.subscriptionId = subscriptionId;
    response.available = &message.available;
    response.moreNotifications = message.more;
    response.message = &message.bytes;
    response.results = &request.results;
    if (body)
        m_ep.RespondIn(*body, request.ctx, enc::kPublishResponse, response);
    else
        m_ep.Respond(request.ctx, enc::kPublishResponse, response);
}

void CUaPublisher::AnswerExpired(Clock::time_point now)
{
    std::vector<QueuedPublish> expired;
    {
        std::lock_guard lock(m_mutex);
        for (auto& [session, rec] : m_sessions) {
            auto& q = rec.requests;
            for (auto it = q.begin(); it != q.end();) {
                if (it->deadline <= now) {
                    expired.push_back(std::move(*it));
                    it = q.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    for (const QueuedPublish& r : expired) m_ep.Fault(r.ctx, kBadTimeout);
}

}  // namespace ua
