#pragma once
// The one server core behind the exports and every client front.
//
// Locks, outermost first: the call gate (not a lock: a count of calls in progress),
// the program's item lock, m_mutex (clients, groups, items), m_spaceMutex (the
// defined IDs). The callback and client sinks are called with none of the
// toolkit's mutexes held.

#include "GroupItems.h"
#include "ItemSpace.h"
#include "ToolTrace.h"
#include "ZellDAClient.h"
#include "ZellDAServer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

// Counts calls that may reach the callback or touch item objects. Stopping the
// server and withdrawing IDs take it exclusively: they wait until every other call
// has left and hold new ones back. A thread already inside may enter again.
//
// The exclusive wait does not give up: once it returns the program destroys the
// items those calls may still be using. Calls in progress are the program's
// device reads and writes, which end within the devices' time-outs (a stopped
// channel ends its exchange at the next attempt); a wait that goes on is
// reported every notice interval.
class CCallGate {
   public:
    // False when the gate is closed (server not running) or the wait ran out.
    bool Enter();
    // Enter without waiting: false also while an exclusive holder is in or waiting.
    bool TryEnter();
    void Leave();
    // close: also refuse every call from now on (until Open). stillWaiting gets
    // the number of calls in progress each time a notice interval passed.
    void BeginExclusive(bool close, const std::function<void(int calls)>& stillWaiting);
    void EndExclusive();
    void Open();
    bool IsOpen() const;
    void SetNoticeInterval(std::chrono::milliseconds interval) { m_noticeMs.store(interval.count()); }

   private:
    std::atomic<long long> m_noticeMs{std::chrono::milliseconds(std::chrono::minutes(5)).count()};
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_inFlight = 0;
    int m_pending = 0;
    bool m_exclusive = false;
    bool m_open = false;
};

class CServerCore {
   public:
    static CServerCore& Instance();

    // The program's side.
    HRESULT SetCallback(COPCCallback* callback);
    bool Start(const CLSID* clsid);
    HRESULT Stop();
    bool InUse() const { return m_connected.load(std::memory_order_acquire) != 0; }
    HRESULT Define(const char* itemId);
    HRESULT Delete(const char* path);
    CToolTrace& Trace() { return m_trace; }
    void SetWaitNotice(std::chrono::milliseconds interval) { m_gate.SetNoticeInterval(interval); }

    // The client side; clientId comes from Connect.
    HRESULT Connect(const char* name, IDAClientSink* sink, uint32_t* clientId);
    HRESULT Disconnect(uint32_t clientId);
    bool IsConnected(uint32_t clientId) const;
    HRESULT GetStatus(uint32_t clientId, DAServerStatus* status);
    HRESULT Browse(uint32_t clientId, const char* path, std::vector<DABrowseEntry>* children);
    HRESULT AddGroup(uint32_t clientId, const char* name, bool active, uint32_t requestedRate,
                     uint32_t clientHandle, uint32_t* groupHandle, uint32_t* revisedRate);
    HRESULT RemoveGroup(uint32_t clientId, uint32_t groupHandle);
    HRESULT SetGroupName(uint32_t clientId, uint32_t groupHandle, const char* name);
    HRESULT SetGroupActive(uint32_t clientId, uint32_t groupHandle, bool active);
    HRESULT SetGroupUpdateRate(uint32_t clientId, uint32_t groupHandle, uint32_t requestedRate,
                               uint32_t* revisedRate);
    // tags (when given) receives the item of each entry added, null for the others.
    HRESULT AddItems(uint32_t clientId, uint32_t groupHandle, const std::vector<DAItemDef>& items,
                     std::vector<DAItemResult>* results, bool validateOnly,
                     std::vector<COPCTag*>* tags = nullptr);
    HRESULT RemoveItems(uint32_t clientId, uint32_t groupHandle, const std::vector<uint32_t>& handles,
                        std::vector<HRESULT>* errors);
    HRESULT SetActiveState(uint32_t clientId, uint32_t groupHandle, const std::vector<uint32_t>& handles,
                           bool active, std::vector<HRESULT>* errors);
    HRESULT GetItemAttributes(uint32_t clientId, uint32_t groupHandle, std::vector<DAItemAttributes>* items);
    HRESULT Read(uint32_t clientId, uint32_t groupHandle, DADataSource source,
                 const std::vector<uint32_t>& handles, std::vector<DAItemState>* states);
    HRESULT Write(uint32_t clientId, uint32_t groupHandle, const std::vector<uint32_t>& handles,
                  const std::vector<CDAVariant>& values, std::vector<HRESULT>* errors);
    HRESULT QueryAvailableProperties(uint32_t clientId, const char* itemId,
                                     std::vector<DAProperty>* properties);
    HRESULT GetItemProperties(uint32_t clientId, const char* itemId, const std::vector<uint32_t>& ids,
                              std::vector<CDAVariant>* values, std::vector<HRESULT>* errors);
    HRESULT LookupItemIDs(uint32_t clientId, const char* itemId, const std::vector<uint32_t>& ids,
                          std::vector<std::string>* itemIds, std::vector<HRESULT>* errors);

    // For network fronts: the defined IDs without a client and without copies.
    struct PathInfo {
        bool found = false;
        bool isItem = false;
        bool hasChildren = false;
    };
    // A dotted path (empty: the unnamed top) as a branch or an item.
    PathInfo DescribePath(std::string_view path) const;
    // Calls visit(name, isItem, hasChildren) for the children of a path in the
    // order they were defined, from child `skip` on, until it answers false.
    // The defined IDs are locked meanwhile: visit must not call the toolkit.
    // False when the path is not there.
    using ChildVisitor = bool (*)(void* context, std::string_view name, bool isItem, bool hasChildren);
    bool VisitChildren(std::string_view path, size_t skip, ChildVisitor visit, void* context) const;
    template <typename F>
    bool VisitChildren(std::string_view path, size_t skip, F&& f) const
    {
        return VisitChildren(
            path, skip,
            [](void* c, std::string_view n, bool item, bool children) {
                return (*static_cast<std::remove_reference_t<F>*>(c))(n, item, children);
            },
            &f);
    }
    // The program's server state without waiting for the program: false when a
    // withdrawal or stop holds the toolkit (the caller keeps what it knew).
    bool TryGetServerState(OPCSERVERSTATE* state);
    bool IsRunning() const { return m_running.load(); }

    // Counts withdrawals (DeleteDAItem) and stops: item pointers that AddItems
    // handed out stay valid while it answers what it answered before that call.
    uint64_t Withdrawals() const { return m_withdrawals.load(std::memory_order_acquire); }
    // For network fronts that read the items they hold on a clock of their own,
    // without a lookup per item. While a reader is open the item lock is held
    // and no withdrawal can start; it does not open while one holds the toolkit
    // (the caller reads again later) or before the program gave its callback.
    class CItemReader {
       public:
        explicit CItemReader(CServerCore& core);
        ~CItemReader();
        CItemReader(const CItemReader&) = delete;
        CItemReader& operator=(const CItemReader&) = delete;
        bool IsOpen() const { return m_callback != nullptr; }
        uint64_t Withdrawals() const { return m_core.Withdrawals(); }
        // visit(clientHandle, serverHandle, tag) for every item of a group, the
        // toolkit's own lock held: visit must not call the toolkit. False when
        // the group is gone.
        template <typename F>
        bool VisitGroup(uint32_t clientId, uint32_t groupHandle, F&& visit)
        {
            return m_core.VisitGroupItems(
                clientId, groupHandle,
                [](void* c, uint32_t clientHandle, uint32_t serverHandle, COPCTag* tag) {
                    (*static_cast<std::remove_reference_t<F>*>(c))(clientHandle, serverHandle, tag);
                },
                &visit);
        }

       private:
        CServerCore& m_core;
        COPCCallback* m_callback = nullptr;
    };

   private:
    using Clock = std::chrono::steady_clock;

    using ItemRec = GroupItem;
    struct GroupRec {
        uint32_t clientHandle = 0;
        std::string name;
        bool active = true;
        uint32_t updateRate = 0;
        Clock::time_point due;
        CGroupItems items;
    };
    struct ClientRec {
        std::string name;
        IDAClientSink* sink = nullptr;
        std::unordered_map<uint32_t, GroupRec> groups;
        int delivering = 0;    // data changes being handed to the sink
        bool closing = false;  // Disconnect under way
        FILETIME lastUpdate{};
    };
    struct Release {
        uint32_t groupHandle;
        std::vector<COPCTag*> tags;
        bool removeGroup;
    };

    class CProgramCall;

    CServerCore() = default;

    // The gate exclusively, with the operation named in the notices of a long wait.
    void BeginExclusive(bool close, const char* operation);

    // Caller holds m_mutex. Null with *hr set when the client or group is not there.
    ClientRec* FindClient(uint32_t clientId, HRESULT* hr);
    GroupRec* FindGroup(uint32_t clientId, uint32_t groupHandle, HRESULT* hr);
    // Take m_mutex: use(group) answers, or FindGroup's error when the group is not there.
    template <typename Use>
    HRESULT WithGroup(uint32_t clientId, uint32_t groupHandle, Use use);
    HRESULT CheckGroup(uint32_t clientId, uint32_t groupHandle);
    // found(i, group, item) for each handle the group holds, missing(i) for the others.
    template <typename Found, typename Missing>
    HRESULT ResolveGroupItems(uint32_t clientId, uint32_t groupHandle, const std::vector<uint32_t>& handles,
                              Found found, Missing missing);
    uint32_t NewHandle();
    // Hands the client references of removed items back through the callback.
    static void ReleaseItems(COPCCallback* cb, std::vector<Release>& releases);
    // A removed group's items and the group itself; every group of a client.
    static Release GroupRelease(uint32_t groupHandle, const GroupRec& group);
    static std::vector<Release> ClientReleases(const ClientRec& client);
    // Answers E_INVALIDARG, OPC_E_UNKNOWNITEMID or S_OK for an item ID.
    HRESULT CheckItemId(const char* itemId, CItemSpace::NodeId* node = nullptr) const;

    void UpdateLoop();
    void SendDataChanges();
    using ItemVisitor = void (*)(void* context, uint32_t clientHandle, uint32_t serverHandle, COPCTag* tag);
    bool VisitGroupItems(uint32_t clientId, uint32_t groupHandle, ItemVisitor visit, void* context);

    CCallGate m_gate;
    std::mutex m_lifeMutex;  // Start and Stop
    std::atomic<COPCCallback*> m_callback{nullptr};
    std::atomic<bool> m_running{false};
    CLSID m_clsid{};
    FILETIME m_startTime{};
    CToolTrace m_trace;

    mutable std::shared_mutex m_spaceMutex;
    CItemSpace m_space;

    mutable std::mutex m_mutex;
    std::condition_variable m_updateCv;    // wakes the update thread
    std::condition_variable m_deliveryCv;  // a delivery to a sink ended
    std::unordered_map<uint32_t, ClientRec> m_clients;
    uint32_t m_nextClientId = 0;
    uint32_t m_nextHandle = 0;
    std::atomic<uint32_t> m_connected{0};
    std::atomic<uint64_t> m_withdrawals{0};

    std::thread m_updateThread;
    std::thread::id m_updateThreadId;  // under m_mutex
    bool m_updateStop = false;         // under m_mutex
};
