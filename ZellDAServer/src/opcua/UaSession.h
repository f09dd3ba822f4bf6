#pragma once
// OPC UA sessions. A session is a client of the toolkit's core from
// CreateSession to its close or time-out, so DAServerInUse counts it; the items
// it reads, writes or registers sit in one group of that client, so they are
// AddTag'ed once and polled while the session holds them. Registered items are
// held until unregistered; items only read are let go after a while unused.
// A session outlives its secure channel: a client activates it again on a new
// channel and keeps its items.
//
// Locks: the manager's mutex, then a session's state mutex; a session's items
// mutex is taken alone and held across calls into the core (the program is
// never waiting for it).

#include "ZellDAClient.h"
#include "opcua/UaAddressSpace.h"
#include "opcua/UaHeldItems.h"
#include "opcua/protocol/UaMessages.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ua {

struct BrowseCursor {
    NodeRef node;
    BrowseDescription description;
    uint32_t position = 0;
    uint32_t maxReferences = 0;
};

// An item's value as a read found it.
struct ItemValue {
    StatusCode status = kGood;  // of the operation; the value's own status follows from quality
    uint16_t quality = OPC_QUALITY_BAD;
    FILETIME timeStamp{};
    CDAVariant value;
};

class CUaSession {
   public:
    using Clock = std::chrono::steady_clock;

    CUaSession(NodeId id, NodeId token, std::string name, double timeoutMs, uint32_t coreClient,
               uint32_t channelId);
    ~CUaSession();
    CUaSession(const CUaSession&) = delete;
    CUaSession& operator=(const CUaSession&) = delete;

    const NodeId& Id() const { return m_id; }
    const NodeId& Token() const { return m_token; }
    const std::string& Name() const { return m_name; }
    double TimeoutMs() const { return m_timeoutMs; }
    uint32_t CoreClient() const { return m_coreClient; }

    // A request on channelId: kGood and the session's clock restarted, or why not.
    StatusCode Use(uint32_t channelId, bool activating);
    void Activate(uint32_t channelId);
    bool Expired(Clock::time_point now) const;
    uint32_t ChannelId() const;

    // Browse continuation points: an empty one when they are all in use.
    ByteString SaveCursor(BrowseCursor cursor);
    bool TakeCursor(const ByteString& point, BrowseCursor* cursor);
    void ReleaseCursor(const ByteString& point);

    // Values of items by their IDs. An item the session already holds comes
    // from the item when its time stamp lies within maxAge; one it takes now,
    // or an older value, is read from the device (Scan).
    void ReadValues(const std::vector<std::string_view>& itemIds, double maxAgeMs,
                    std::vector<ItemValue>* out);
    // Writes through the program; each value converted to the item's canonical type.
    void WriteValues(const std::vector<std::string_view>& itemIds, const std::vector<const Variant*>& values,
                     std::vector<StatusCode>* out);
    // Takes the items and holds them until UnregisterItems.
    void RegisterItems(const std::vector<std::string_view>& itemIds);
    void UnregisterItems(const std::vector<std::string_view>& itemIds);
    // Lets go of items only read and unused for holdMs.
    void ReleaseIdleItems(Clock::time_point now, uint32_t holdMs);
    size_t HeldItems();
    // Properties of an item (the program's answer; no item is taken).
    HRESULT GetProperties(const std::string& itemId, const std::vector<uint32_t>& ids,
                          std::vector<CDAVariant>* values, std::vector<HRESULT>* errors);
    // Ends the core client, releasing every item.
    void Close();

   private:
    struct HeldItem {
        uint32_t handle = 0;
        VARTYPE canonicalType = VT_EMPTY;
        uint32_t accessRights = 0;
        bool registered = false;
        Clock::time_point lastUse;
    };
    struct Resolved {
        HeldItem* item = nullptr;
        bool fresh = false;  // taken by this call
        StatusCode status = kGood;
    };
    // Items by ID, taking those not held yet; the items mutex is held.
    void Resolve(const std::vector<std::string_view>& itemIds, std::vector<Resolved>* out);
    bool EnsureGroup(StatusCode* status);
    void Forget(std::string_view itemId);
    void ReadFrom(DADataSource source, const std::vector<size_t>& which, const std::vector<Resolved>& items,
                  std::vector<ItemValue>* out, std::vector<size_t>* stale);

    const NodeId m_id;
    const NodeId m_token;
    const std::string m_name;
    const double m_timeoutMs;
    const uint32_t m_coreClient;

    mutable std::mutex m_stateMutex;
    uint32_t m_channelId;
    bool m_activated = false;
    bool m_closed = false;
    Clock::time_point m_lastUse;
    struct Cursor {
        ByteString point;
        BrowseCursor cursor;
    };
    std::vector<Cursor> m_cursors;
    uint64_t m_nextCursor = 0;

    std::mutex m_itemsMutex;
    uint32_t m_group = 0;
    CHeldItems<HeldItem> m_items;
};

class CUaSessionManager {
   public:
    // A new session (its core client connected), or null with the reason.
    std::shared_ptr<CUaSession> Create(const std::string& name, double requestedTimeoutMs, uint32_t channelId,
                                       StatusCode* status);
    std::shared_ptr<CUaSession> Find(const NodeId& token) const;
    // Takes a session out of the manager; the caller closes it.
    std::shared_ptr<CUaSession> Remove(const NodeId& token);
    std::vector<std::shared_ptr<CUaSession>> RemoveExpired(CUaSession::Clock::time_point now);
    std::vector<std::shared_ptr<CUaSession>> RemoveAll();
    std::vector<std::shared_ptr<CUaSession>> All() const;
    size_t Count() const;

   private:
    mutable std::mutex m_mutex;
    std::unordered_map<std::string, std::shared_ptr<CUaSession>> m_sessions;  // by token bytes
    size_t m_creating = 0;  // sessions counted against the limit while their client connects
};

}  // namespace ua
