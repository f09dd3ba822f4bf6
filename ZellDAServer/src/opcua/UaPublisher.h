#pragma once
// The endpoint's subscriptions, the Publish requests that sessions queue for
// them, and the one thread that samples the subscriptions' items and answers
// Publish requests on their publishing clocks.
//
// A Publish request waits in its session's queue until a subscription of the
// session has something to say (notifications, a keep-alive, a change of its
// state); it is answered BadTimeout once its timeoutHint has passed, never
// earlier, and the oldest is answered BadTooManyPublishRequests when a session
// queues more than kMaxPublishRequestsPerSession.
//
// Locks: the publisher's mutex guards the tables and the queues; it is never
// held while a subscription's own mutexes are taken.

#include "opcua/UaEndpoint.h"
#include "opcua/UaSubscription.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ua {

class CUaPublisher {
   public:
    using Clock = std::chrono::steady_clock;

    explicit CUaPublisher(CUaEndpoint& endpoint) : m_ep(endpoint) {}
    ~CUaPublisher() { Stop(); }
    CUaPublisher(const CUaPublisher&) = delete;
    CUaPublisher& operator=(const CUaPublisher&) = delete;

    void Start();
    // Deletes every subscription (their items are let go) and ends the thread.
    void Stop();

    StatusCode Create(const CUaSession* session, const CreateSubscriptionRequest& request,
                      CreateSubscriptionResponse* response);
    // A subscription the session owns, or null.
    std::shared_ptr<CUaSubscription> Find(const CUaSession* session, uint32_t id) const;
    StatusCode Delete(const CUaSession* session, uint32_t id);
    // Moves a subscription to the session (the same anonymous user may take
    // any); the session that had it is told GoodSubscriptionTransferred.
    TransferResult Transfer(const CUaSession* session, uint32_t id, bool sendInitialValues);
    // Takes the acknowledgements and queues the request until a subscription answers it.
    void Publish(const CUaSession* session, const RequestContext& ctx, const PublishRequest& request);
    // The session is gone: its queued requests are answered BadSessionClosed and
    // its subscriptions deleted, or kept to be taken over until their lifetime ends.
    void SessionEnded(const CUaSession* session, bool deleteSubscriptions);

    size_t Count() const;
    // Items were taken or a subscription changed hands: sample them now.
    void Wake();

   private:
    struct QueuedPublish {
        RequestContext ctx;
        std::vector<StatusCode> results;  // of the request's acknowledgements
        Clock::time_point deadline;
    };
    struct Notice {
        uint32_t subscriptionId;
        OutgoingMessage message;
    };
    struct SessionRec {
        std::deque<QueuedPublish> requests;
        std::deque<Notice> notices;  // state changes waiting for a request
        std::vector<uint32_t> subscriptions;
    };
    struct SubscriptionRec {
        std::shared_ptr<CUaSubscription> subscription;
        const CUaSession* owner = nullptr;  // null: waiting to be taken over
    };

    void Run();
    void Turn(Clock::time_point now);
    void Expire(const std::shared_ptr<CUaSubscription>& subscription);
    // Sends the message on the owner's oldest request, or keeps it as a
    // notice for the next one.
    void Deliver(const CUaSession* owner, uint32_t subscriptionId, OutgoingMessage message);
    // Under the mutex: a session no longer owns the subscription (nothing for no session).
    void Disown(const CUaSession* session, uint32_t id);
    // Under the mutex: the oldest live request of a session.
    bool TakeRequest(const CUaSession* session, QueuedPublish* request);
    // body: a buffer the caller keeps, or null for the thread's own.
    void Send(const QueuedPublish& request, uint32_t subscriptionId, const OutgoingMessage& message,
              std::string* body = nullptr);
    void AnswerExpired(Clock::time_point now);

    CUaEndpoint& m_ep;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_wake = false;
    bool m_stop = false;
    std::thread m_thread;
    std::unordered_map<uint32_t, SubscriptionRec> m_subscriptions;
    std::unordered_map<const CUaSession*, SessionRec> m_sessions;
    uint32_t m_nextId = 0;
    Clock::time_point m_nextSweep;
    std::string m_body;  // the publishing thread's responses
};

}  // namespace ua
