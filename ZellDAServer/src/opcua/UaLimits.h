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
constexpr uint32_t kMaxRequestsInFlight = 64;    // per connection, waiting for a worker
constexpr uint32_t kWorkerThreads = 4;
// Items a session read without registering them are released when unused this long.
constexpr uint32_t kReadHoldMs = 60000;

}  // namespace ua
