#pragma once
// What the endpoint allows; the operation limits are published in the
// Server object's ServerCapabilities.

#include <cstdint>

namespace ua {

constexpr uint32_t kMaxConnections = 100;
constexpr uint32_t kMaxSessions = 100;
constexpr uint32_t kMaxBrowseContinuationPoints = 10;  // per session
constexpr uint32_t kMaxNodesPerRead = 100000;
constexpr uint32_t kMaxNodesPerWrite = 10000;
constexpr uint32_t kMaxNodesPerBrowse = 10000;
constexpr uint32_t kMaxNodesPerRegisterNodes = 10000;
constexpr uint32_t kMaxNodesPerTranslateBrowsePaths = 10000;
// References of one node in one answer when the client sets no maximum.
constexpr uint32_t kMaxReferencesPerNode = 10000;

constexpr double kMinSessionTimeoutMs = 1000;
constexpr double kMaxSessionTimeoutMs = 3600000;
constexpr double kDefaultSessionTimeoutMs = 60000;
constexpr uint32_t kHelloTimeoutMs = 10000;      // from accepting to Hello and OpenSecureChannel
constexpr uint32_t kLingerMs = 2000;             // reading after an Error message until the peer closes
constexpr uint32_t kMaxUnsentBytes = 64u << 20;  // responses a client leaves unread
// Room a reused send buffer keeps after a larger message went out: one large
// answer would otherwise stay resident for the connection's or thread's life.
constexpr uint32_t kKeptBufferBytes = 256u << 10;
constexpr uint32_t kMaxRequestsInFlight = 64;  // per connection, waiting for a worker
constexpr uint32_t kWorkerThreads = 4;
// Items a session read without registering them are released when unused this long.
constexpr uint32_t kReadHoldMs = 60000;

// Subscriptions.
constexpr uint32_t kMaxSubscriptions = 1000;
constexpr uint32_t kMaxSubscriptionsPerSession = 100;
constexpr uint32_t kMaxMonitoredItemsPerCall = 100000;
constexpr uint32_t kMaxMonitoredItemsPerSubscription = 2000000;
constexpr uint32_t kMaxPublishRequestsPerSession = 20;  // the oldest beyond it gets BadTooManyPublishRequests
constexpr double kMinPublishingIntervalMs = 20;
constexpr double kMaxPublishingIntervalMs = 3600000;
constexpr uint32_t kDefaultKeepAliveCount = 10;
constexpr uint32_t kMaxKeepAliveCount = 10000;
constexpr uint32_t kMaxLifetimeCount = 1000000;
// Sampling: no item is sampled faster than this nor faster than the program polls it.
constexpr uint32_t kMinSamplingIntervalMs = 20;
constexpr uint32_t kMaxSamplingIntervalMs = 3600000;
constexpr uint32_t kMaxQueueSize = 1000;
// Notification messages kept for Republish, per subscription.
constexpr uint32_t kMaxRetransmissionMessages = 32;
constexpr uint32_t kMaxRetransmissionBytes = 16u << 20;
// One notification message stays below this, whatever the client allows.
constexpr uint32_t kMaxNotificationMessageBytes = 4u << 20;

}  // namespace ua
