#include "ServerCore.h"

#include "UpdateRate.h"
#include "VariantCompare.h"
#include "platform/CrashSignals.h"
#include "platform/TaskMem.h"

#include <algorithm>
#include <cstring>

namespace {

// No wait inside the toolkit is unbounded. Calls in progress end within the
// devices' time-outs; this is the limit beyond which the toolkit gives up waiting.
constexpr auto kWaitLimit = std::chrono::minutes(5);
constexpr auto kIdleWake = std::chrono::seconds(1);

thread_local int t_enterDepth = 0;
thread_local int t_exclusiveDepth = 0;

class CCallScope {
   public:
    explicit CCallScope(CCallGate& gate) : m_gate(gate), m_entered(gate.Enter()) {}
    ~CCallScope()
    {
        if (m_entered) m_gate.Leave();
    }
    CCallScope(const CCallScope&) = delete;
    CCallScope& operator=(const CCallScope&) = delete;
    explicit operator bool() const { return m_entered; }

   private:
    CCallGate& m_gate;
    bool m_entered;
};

// Texts from the callback are task memory and now ours.
std::string TakeCallbackText(char* text)
{
    std::string out = text ? text : "";
    CoTaskMemFree(text);
    return out;
}

FILETIME Now()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return ft;
}

HRESULT Overall(const std::vector<HRESULT>& errors)
{
    for (HRESULT e : errors)
        if (FAILED(e)) return S_FALSE;
    return S_OK;
}

template <typename T>
HRESULT OverallOf(const std::vector<T>& entries)
{
    for (const T& e : entries)
        if (FAILED(e.error)) return S_FALSE;
    return S_OK;
}

// An entry's answer: the call's own failure where the program left the entry as it was.
HRESULT EntryResult(HRESULT call, HRESULT entry)
{
    return FAILED(call) && SUCCEEDED(entry) ? call : entry;
}

// Per-entry answers start as S_OK; a missing list or an empty request is refused.
HRESULT PrepareErrors(std::vector<HRESULT>* errors, size_t count)
{
    if (!errors) return E_INVALIDARG;
    errors->assign(count, S_OK);
    return count == 0 ? E_INVALIDARG : S_OK;
}

}  // namespace

// ---- call gate ----

bool CCallGate::Enter()
{
    std::unique_lock lock(m_mutex);
    if (t_enterDepth > 0 || t_exclusiveDepth > 0) {
        // Already inside on this thread: waiting for an exclusive holder would wait for ourselves.
        if (!m_open) return false;
    } else {
        bool ready =
            m_cv.wait_for(lock, kWaitLimit, [&] { return !m_open || (!m_exclusive && m_pending == 0); });
        if (!ready || !m_open) return false;
    }
    ++m_inFlight;
    ++t_enterDepth;
    return true;
}

bool CCallGate::TryEnter()
{
    std::lock_guard lock(m_mutex);
    if (!m_open) return false;
    if (t_enterDepth == 0 && t_exclusiveDepth == 0 && (m_exclusive || m_pending != 0)) return false;
    ++m_inFlight;
    ++t_enterDepth;
    return true;
}

void CCallGate::Leave()
{
    std::lock_guard lock(m_mutex);
    --m_inFlight;
    --t_enterDepth;
    m_cv.notify_all();
}

void CCallGate::BeginExclusive(bool close, const std::function<void(int calls)>& stillWaiting)
{
    std::unique_lock lock(m_mutex);
    if (close) m_open = false;
    ++m_pending;
    // Calls of this thread that are still open around us cannot leave before we do.
    const auto ready = [&] { return m_inFlight == t_enterDepth && !m_exclusive; };
    while (!m_cv.wait_for(lock, std::chrono::milliseconds(m_noticeMs.load()), ready)) {
        if (stillWaiting) {
            const int calls = m_inFlight - t_enterDepth;
            lock.unlock();
            stillWaiting(calls);
            lock.lock();
        }
    }
    --m_pending;
    m_exclusive = true;
    ++t_exclusiveDepth;
}

void CCallGate::EndExclusive()
{
    std::lock_guard lock(m_mutex);
    m_exclusive = false;
    --t_exclusiveDepth;
    m_cv.notify_all();
}

void CCallGate::Open()
{
    std::lock_guard lock(m_mutex);
    m_open = true;
    m_cv.notify_all();
}

bool CCallGate::IsOpen() const
{
    std::lock_guard lock(m_mutex);
    return m_open;
}

// ---- program side ----

CServerCore& CServerCore::Instance()
{
    // Never destroyed: clients and the program may still call in during exit.
    static CServerCore* core = new CServerCore();
    return *core;
}

void CServerCore::BeginExclusive(bool close, const char* operation)
{
    m_gate.BeginExclusive(close, [this, operation](int calls) {
        m_trace.Trace(1, "%s: still waiting for %d calls in progress", operation, calls);
    });
}

HRESULT CServerCore::SetCallback(COPCCallback* callback)
{
    BeginExclusive(false, "SetCallbackObject");
    m_callback.store(callback, std::memory_order_release);
    m_gate.EndExclusive();
    m_trace.Trace(1, "SetCallbackObject(%p)", static_cast<void*>(callback));
    return S_OK;
}

bool CServerCore::Start(const CLSID* clsid)
{
    std::lock_guard life(m_lifeMutex);
    if (m_running.load()) return true;
    if (!clsid || !m_callback.load()) {
        m_trace.Trace(1, "StartDAServer refused: %s", clsid ? "no callback object" : "no class ID");
        return false;
    }
    if (m_updateThread.joinable()) m_updateThread.join();  // left by a stop from inside a sink
    m_clsid = *clsid;
    m_startTime = Now();
    {
        std::lock_guard lock(m_mutex);
        m_updateStop = false;
    }
    m_updateThread = std::thread(&CServerCore::UpdateLoop, this);
    m_running.store(true);
    m_gate.Open();
    m_trace.Trace(1, "StartDAServer");
    return true;
}

HRESULT CServerCore::Stop()
{
    std::lock_guard life(m_lifeMutex);
    if (!m_running.load()) return S_FALSE;
    BeginExclusive(true, "StopDAServer");
    {
        std::lock_guard lock(m_mutex);
        m_updateStop = true;
        m_updateCv.notify_all();
    }
    bool onUpdateThread;
    {
        std::lock_guard lock(m_mutex);
        onUpdateThread = m_updateThreadId == std::this_thread::get_id();
    }
    // A stop from inside a sink leaves the thread to end by itself; Start joins it.
    if (m_updateThread.joinable() && !onUpdateThread) m_updateThread.join();

    std::unordered_map<uint32_t, ClientRec> clients;
    {
        std::lock_guard lock(m_mutex);
        clients.swap(m_clients);
        m_connected.store(0, std::memory_order_release);
    }
    COPCCallback* cb = m_callback.load();
    for (auto& [id, client] : clients) {
        if (client.sink) client.sink->OnServerShutdown();
        std::vector<Release> releases = ClientReleases(client);
        ReleaseItems(cb, releases);
        m_trace.Trace(1, "Client %u (%s) disconnected by the server's stop", id, client.name.c_str());
    }
    m_withdrawals.fetch_add(1, std::memory_order_acq_rel);
    m_running.store(false);
    m_gate.EndExclusive();
    m_trace.Trace(1, "StopDAServer");
    return S_OK;
}

HRESULT CServerCore::Define(const char* itemId)
{
    if (!itemId || !CItemSpace::IsValidPath(itemId)) {
        m_trace.Trace(2, "DefineDAItem refused: %s", itemId ? "malformed ID" : "null ID");
        return E_INVALIDARG;
    }
    bool added;
    {
        std::unique_lock lock(m_spaceMutex);
        size_t before = m_space.ItemCount();
        m_space.Define(itemId);
        added = m_space.ItemCount() != before;
    }
    m_trace.Trace(3, "DefineDAItem(%s)", itemId);
    return added ? S_OK : S_FALSE;
}

HRESULT CServerCore::Delete(const char* path)
{
    if (!path || !CItemSpace::IsValidPath(path)) {
        m_trace.Trace(2, "DeleteDAItem refused: %s", path ? "malformed path" : "null path");
        return E_INVALIDARG;
    }
    BeginExclusive(false, "DeleteDAItem");
    CItemSpace::NodeId node;
    {
        std::shared_lock lock(m_spaceMutex);
        node = m_space.Find(path);
    }
    if (node == CItemSpace::kNoNode) {
        m_gate.EndExclusive();
        m_trace.Trace(2, "DeleteDAItem(%s): no such path", path);
        return S_FALSE;
    }
    std::vector<Release> releases;
    size_t dropped = 0;
    {
        std::lock_guard lock(m_mutex);
        std::shared_lock space(m_spaceMutex);
        for (auto& [clientId, client] : m_clients) {
            for (auto& [groupHandle, group] : client.groups) {
                Release r{groupHandle, {}, false};
                group.items.EraseIf([&](const ItemRec& item) {
                    if (!m_space.IsAtOrBelow(item.node, node)) return false;
                    r.tags.push_back(item.tag);
                    return true;
                });
                dropped += r.tags.size();
                if (!r.tags.empty()) releases.push_back(std::move(r));
            }
        }
    }
    size_t withdrawn;
    {
        std::unique_lock lock(m_spaceMutex);
        withdrawn = m_space.Remove(node);
    }
    m_withdrawals.fetch_add(1, std::memory_order_acq_rel);
    ReleaseItems(m_callback.load(), releases);
    m_gate.EndExclusive();
    m_trace.Trace(1, "DeleteDAItem(%s): %zu IDs withdrawn, %zu client items dropped", path, withdrawn,
                  dropped);
    return S_OK;
}

void CServerCore::ReleaseItems(COPCCallback* cb, std::vector<Release>& releases)
{
    if (!cb) return;
    for (Release& r : releases) {
        if (!r.tags.empty())
            cb->RemoveTag(r.groupHandle, static_cast<uint32_t>(r.tags.size()), r.tags.data());
        if (r.removeGroup) cb->RemoveGroup(r.groupHandle);
    }
}

CServerCore::Release CServerCore::GroupRelease(uint32_t groupHandle, const GroupRec& group)
{
    Release r{groupHandle, {}, true};
    for (const ItemRec& item : group.items) r.tags.push_back(item.tag);
    return r;
}

std::vector<CServerCore::Release> CServerCore::ClientReleases(const ClientRec& client)
{
    std::vector<Release> releases;
    for (const auto& [handle, group] : client.groups) releases.push_back(GroupRelease(handle, group));
    return releases;
}

// ---- clients ----

// A client call that may reach the program: inside the call gate, the callback
// loaded once (SetCallback waits for calls in progress, so it stays the same).
class CServerCore::CProgramCall {
   public:
    explicit CProgramCall(CServerCore& core)
        : m_core(core), m_scope(core.m_gate), m_cb(m_scope ? core.m_callback.load() : nullptr)
    {
    }
    bool Entered() const { return static_cast<bool>(m_scope); }
    COPCCallback* Callback() const { return m_cb; }
    // RPC_E_DISCONNECTED outside the gate, E_FAIL without a callback.
    HRESULT Check() const { return !m_scope ? RPC_E_DISCONNECTED : m_cb ? S_OK : E_FAIL; }
    // Calls on an item ID also need the client connected and the ID known.
    HRESULT CheckItem(uint32_t clientId, const char* itemId) const
    {
        if (!m_scope || !m_core.IsConnected(clientId)) return RPC_E_DISCONNECTED;
        if (!m_cb) return E_FAIL;
        return m_core.CheckItemId(itemId);
    }

   private:
    const CServerCore& m_core;
    CCallScope m_scope;
    COPCCallback* m_cb;
};

CServerCore::ClientRec* CServerCore::FindClient(uint32_t clientId, HRESULT* hr)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->second.closing) {
        *hr = RPC_E_DISCONNECTED;
        return nullptr;
    }
    return &it->second;
}

CServerCore::GroupRec* CServerCore::FindGroup(uint32_t clientId, uint32_t groupHandle, HRESULT* hr)
{
    ClientRec* client = FindClient(clientId, hr);
    if (!client) return nullptr;
    auto it = client->groups.find(groupHandle);
    if (it == client->groups.end()) {
        *hr = OPC_E_INVALIDHANDLE;
        return nullptr;
    }
    return &it->second;
}

template <typename Use>
HRESULT CServerCore::WithGroup(uint32_t clientId, uint32_t groupHandle, Use use)
{
    std::lock_guard lock(m_mutex);
    HRESULT hr;
    GroupRec* g = FindGroup(clientId, groupHandle, &hr);
    return g ? use(*g) : hr;
}

HRESULT CServerCore::CheckGroup(uint32_t clientId, uint32_t groupHandle)
{
    return WithGroup(clientId, groupHandle, [](GroupRec&) { return S_OK; });
}

template <typename Found, typename Missing>
HRESULT CServerCore::ResolveGroupItems(uint32_t clientId, uint32_t groupHandle,
                                       const std::vector<uint32_t>& handles, Found found, Missing missing)
{
    return WithGroup(clientId, groupHandle, [&](GroupRec& g) -> HRESULT {
        for (size_t i = 0; i < handles.size(); ++i) {
            if (ItemRec* item = g.items.Find(handles[i]))
                found(i, g, *item);
            else
                missing(i);
        }
        return S_OK;
    });
}

uint32_t CServerCore::NewHandle()
{
    if (++m_nextHandle == 0) ++m_nextHandle;
    return m_nextHandle;
}

HRESULT CServerCore::CheckItemId(const char* itemId, CItemSpace::NodeId* node) const
{
    if (!itemId || !*itemId) return E_INVALIDARG;
    std::shared_lock lock(m_spaceMutex);
    CItemSpace::NodeId n = m_space.FindItem(itemId);
    if (n == CItemSpace::kNoNode) return OPC_E_UNKNOWNITEMID;
    if (node) *node = n;
    return S_OK;
}

HRESULT CServerCore::Connect(const char* name, IDAClientSink* sink, uint32_t* clientId)
{
    if (!clientId) return E_INVALIDARG;
    CCallScope scope(m_gate);
    if (!scope) return E_FAIL;
    {
        std::lock_guard lock(m_mutex);
        do {
            ++m_nextClientId;
        } while (m_nextClientId == 0 || m_clients.count(m_nextClientId));
        *clientId = m_nextClientId;
        ClientRec& c = m_clients[*clientId];
        c.name = name ? name : "";
        c.sink = sink;
        m_connected.fetch_add(1, std::memory_order_acq_rel);
    }
    m_trace.Trace(1, "Client %u connected (%s)", *clientId, name ? name : "");
    return S_OK;
}

HRESULT CServerCore::Disconnect(uint32_t clientId)
{
    // Let a delivery in progress end before anything is torn down, so the sink
    // is never used after Disconnect returns.
    {
        std::unique_lock lock(m_mutex);
        auto it = m_clients.find(clientId);
        if (it == m_clients.end() || it->second.closing) return S_FALSE;
        it->second.closing = true;
        if (std::this_thread::get_id() != m_updateThreadId)
            m_deliveryCv.wait_for(lock, kWaitLimit, [&] { return it->second.delivering == 0; });
    }
    CCallScope scope(m_gate);
    ClientRec client;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_clients.find(clientId);
        if (it == m_clients.end()) return S_FALSE;  // the server's stop took it
        if (!scope) {
            // A stop is under way: it releases this client's items with everyone else's.
            it->second.closing = false;
            return S_FALSE;
        }
        client = std::move(it->second);
        m_clients.erase(it);
        m_connected.fetch_sub(1, std::memory_order_acq_rel);
    }
    std::vector<Release> releases = ClientReleases(client);
    ReleaseItems(m_callback.load(), releases);
    m_trace.Trace(1, "Client %u disconnected", clientId);
    return S_OK;
}

bool CServerCore::IsConnected(uint32_t clientId) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_clients.find(clientId);
    return it != m_clients.end() && !it->second.closing;
}

HRESULT CServerCore::GetStatus(uint32_t clientId, DAServerStatus* status)
{
    if (!status) return E_INVALIDARG;
    CProgramCall call(*this);
    if (!call.Entered()) return RPC_E_DISCONNECTED;
    COPCCallback* cb = call.Callback();
    {
        std::lock_guard lock(m_mutex);
        HRESULT hr;
        ClientRec* client = FindClient(clientId, &hr);
        if (!client) return hr;
        status->groupCount = static_cast<uint32_t>(client->groups.size());
        status->lastUpdateTime = client->lastUpdate;
    }
    status->startTime = m_startTime;
    status->currentTime = Now();
    status->state = cb ? cb->GetServerState() : OPC_STATUS_NOCONFIG;
    status->vendorInfo = cb ? TakeCallbackText(cb->GetVendorInfo()) : std::string();
    return S_OK;
}

HRESULT CServerCore::Browse(uint32_t clientId, const char* path, std::vector<DABrowseEntry>* children)
{
    if (!children) return E_INVALIDARG;
    children->clear();
    if (!IsConnected(clientId)) return RPC_E_DISCONNECTED;
    bool top = !path || !*path;
    if (!top && !CItemSpace::IsValidPath(path)) return E_INVALIDARG;
    std::shared_lock lock(m_spaceMutex);
    CItemSpace::NodeId node = top ? CItemSpace::kRootNode : m_space.Find(path);
    if (node == CItemSpace::kNoNode) return OPC_E_UNKNOWNITEMID;
    std::string prefix = top ? std::string() : std::string(path) + ".";
    for (CItemSpace::Child& c : m_space.Children(node)) {
        DABrowseEntry e;
        e.itemId = prefix + c.name;
        e.name = std::move(c.name);
        e.isItem = c.isItem;
        e.hasChildren = c.hasChildren;
        children->push_back(std::move(e));
    }
    return children->empty() ? S_FALSE : S_OK;
}

// ---- groups ----

HRESULT CServerCore::AddGroup(uint32_t clientId, const char* name, bool active, uint32_t requestedRate,
                              uint32_t clientHandle, uint32_t* groupHandle, uint32_t* revisedRate)
{
    if (!groupHandle || !revisedRate) return E_INVALIDARG;
    CProgramCall call(*this);
    if (HRESULT hr = call.Check(); FAILED(hr)) return hr;
    COPCCallback* cb = call.Callback();
    uint32_t handle;
    std::string groupName = name ? name : "";
    auto nameTaken = [&](const ClientRec& c) {
        for (const auto& [h, g] : c.groups)
            if (g.name == groupName) return true;
        return false;
    };
    {
        std::lock_guard lock(m_mutex);
        HRESULT hr;
        ClientRec* client = FindClient(clientId, &hr);
        if (!client) return hr;
        handle = NewHandle();
        if (groupName.empty()) {
            for (uint32_t n = handle; groupName.empty() || nameTaken(*client); ++n)
                groupName = "Group_" + std::to_string(n);
        } else if (nameTaken(*client)) {
            return OPC_E_DUPLICATENAME;
        }
    }
    uint32_t revised = 0;
    HRESULT hr = cb->AddGroup(handle, groupName.c_str(), active, requestedRate, &revised);
    if (FAILED(hr)) return hr;
    if (revised == 0) revised = ReviseUpdateRate(cb->GetBaseRate(handle, requestedRate), requestedRate);
    HRESULT refusal;
    {
        std::lock_guard lock(m_mutex);
        HRESULT found;
        ClientRec* client = FindClient(clientId, &found);
        refusal = !client ? found : nameTaken(*client) ? OPC_E_DUPLICATENAME : S_OK;
        if (SUCCEEDED(refusal)) {
            GroupRec& g = client->groups[handle];
            g.clientHandle = clientHandle;
            g.name = groupName;
            g.active = active;
            g.updateRate = revised;
            g.due = Clock::now();
            m_updateCv.notify_all();
        }
    }
    if (FAILED(refusal)) {
        // Lost a race with Disconnect or a second group of the same name.
        cb->RemoveGroup(handle);
        return refusal;
    }
    *groupHandle = handle;
    *revisedRate = revised;
    m_trace.Trace(1, "AddGroup %u \"%s\" rate %u active %d", handle, groupName.c_str(), revised,
                  active ? 1 : 0);
    return hr;
}

HRESULT CServerCore::RemoveGroup(uint32_t clientId, uint32_t groupHandle)
{
    CCallScope scope(m_gate);
    if (!scope) return RPC_E_DISCONNECTED;
    std::vector<Release> releases;
    {
        std::lock_guard lock(m_mutex);
        HRESULT hr;
        ClientRec* client = FindClient(clientId, &hr);
        if (!client) return hr;
        auto it = client->groups.find(groupHandle);
        if (it == client->groups.end()) return OPC_E_INVALIDHANDLE;
        releases.push_back(GroupRelease(groupHandle, it->second));
        client->groups.erase(it);
    }
    ReleaseItems(m_callback.load(), releases);
    m_trace.Trace(1, "RemoveGroup %u", groupHandle);
    return S_OK;
}

HRESULT CServerCore::SetGroupName(uint32_t clientId, uint32_t groupHandle, const char* name)
{
    if (!name || !*name) return E_INVALIDARG;
    CProgramCall call(*this);
    if (HRESULT hr = call.Check(); FAILED(hr)) return hr;
    HRESULT hr = WithGroup(clientId, groupHandle, [&](GroupRec&) -> HRESULT {
        HRESULT found;
        for (const auto& [h, g] : FindClient(clientId, &found)->groups)
            if (h != groupHandle && g.name == name) return OPC_E_DUPLICATENAME;
        return S_OK;
    });
    if (FAILED(hr)) return hr;
    hr = call.Callback()->SetNameGroup(groupHandle, name);
    if (FAILED(hr)) return hr;
    return WithGroup(clientId, groupHandle, [&](GroupRec& g) -> HRESULT {
        g.name = name;
        return hr;
    });
}

HRESULT CServerCore::SetGroupActive(uint32_t clientId, uint32_t groupHandle, bool active)
{
    CProgramCall call(*this);
    if (HRESULT hr = call.Check(); FAILED(hr)) return hr;
    if (HRESULT hr = CheckGroup(clientId, groupHandle); FAILED(hr)) return hr;
    HRESULT hr = call.Callback()->SetActiveGroup(groupHandle, active);
    if (FAILED(hr)) return hr;
    return WithGroup(clientId, groupHandle, [&](GroupRec& g) -> HRESULT {
        if (active && !g.active) {
            // A group that wakes up reports every active item again.
            for (ItemRec& item : g.items) item.sent = false;
            g.due = Clock::now();
        }
        g.active = active;
        m_updateCv.notify_all();
        return hr;
    });
}

HRESULT CServerCore::SetGroupUpdateRate(uint32_t clientId, uint32_t groupHandle, uint32_t requestedRate,
                                        uint32_t* revisedRate)
{
    if (!revisedRate) return E_INVALIDARG;
    CProgramCall call(*this);
    if (HRESULT hr = call.Check(); FAILED(hr)) return hr;
    if (HRESULT hr = CheckGroup(clientId, groupHandle); FAILED(hr)) return hr;
    uint32_t revised =
        ReviseUpdateRate(call.Callback()->GetBaseRate(groupHandle, requestedRate), requestedRate);
    return WithGroup(clientId, groupHandle, [&](GroupRec& g) -> HRESULT {
        g.updateRate = revised;
        g.due = Clock::now() + std::chrono::milliseconds(revised);
        m_updateCv.notify_all();
        *revisedRate = revised;
        return revised == requestedRate ? S_OK : OPC_S_UNSUPPORTEDRATE;
    });
}

// ---- items ----

HRESULT CServerCore::AddItems(uint32_t clientId, uint32_t groupHandle, const std::vector<DAItemDef>& items,
                              std::vector<DAItemResult>* results, bool validateOnly,
                              std::vector<COPCTag*>* tagsOut)
{
    if (!results) return E_INVALIDARG;
    results->assign(items.size(), DAItemResult{});
    if (tagsOut) tagsOut->assign(items.size(), nullptr);
    if (items.empty()) return E_INVALIDARG;
    CProgramCall call(*this);
    if (HRESULT hr = call.Check(); FAILED(hr)) return hr;
    if (HRESULT hr = CheckGroup(clientId, groupHandle); FAILED(hr)) return hr;
    COPCCallback* cb = call.Callback();

    // IDs the toolkit does not know never reach the program.
    std::vector<size_t> pass;
    std::vector<CItemSpace::NodeId> nodes;
    std::vector<const char*> ids, paths;
    std::vector<VARTYPE> types;
    for (size_t i = 0; i < items.size(); ++i) {
        CItemSpace::NodeId node;
        HRESULT hr = CheckItemId(items[i].itemId.c_str(), &node);
        (*results)[i].error = hr;
        if (FAILED(hr)) {
            m_trace.Trace(2, "%s %s: 0x%08X", validateOnly ? "ValidateItems" : "AddItems",
                          items[i].itemId.c_str(), static_cast<unsigned>(hr));
            continue;
        }
        pass.push_back(i);
        nodes.push_back(node);
        ids.push_back(items[i].itemId.c_str());
        paths.push_back(items[i].accessPath.c_str());
        types.push_back(items[i].requestedType);
    }
    m_trace.Trace(1, "%s <%zu> group %u", validateOnly ? "ValidateItems" : "AddItems", items.size(),
                  groupHandle);
    if (pass.empty()) return S_FALSE;

    uint32_t n = static_cast<uint32_t>(pass.size());
    std::vector<HRESULT> errors(n, S_OK);
    std::vector<COPCTag*> tags(n, nullptr);
    HRESULT hr =
        validateOnly
            ? cb->ValidateTag(groupHandle, n, ids.data(), paths.data(), types.data(), errors.data())
            : cb->AddTag(groupHandle, n, ids.data(), paths.data(), types.data(), tags.data(), errors.data());
    for (uint32_t j = 0; j < n; ++j) {
        HRESULT e = EntryResult(hr, errors[j]);
        if (!validateOnly && SUCCEEDED(e) && !tags[j]) e = E_FAIL;
        (*results)[pass[j]].error = e;
    }
    if (validateOnly) return OverallOf(*results);

    // References the program took for entries that failed here go straight back.
    std::vector<Release> orphans(1, Release{groupHandle, {}, false});
    for (uint32_t j = 0; j < n; ++j)
        if (tags[j] && FAILED((*results)[pass[j]].error)) orphans[0].tags.push_back(tags[j]);
    {
        CCriticalSectionLock itemLock(cb->ItemLock());
        for (uint32_t j = 0; j < n; ++j) {
            DAItemResult& r = (*results)[pass[j]];
            if (FAILED(r.error)) continue;
            r.canonicalType = tags[j]->m_canonicalType;
            r.accessRights = tags[j]->m_accessRights;
        }
    }
    {
        std::lock_guard lock(m_mutex);
        HRESULT found;
        GroupRec* g = FindGroup(clientId, groupHandle, &found);
        for (uint32_t j = 0; j < n; ++j) {
            DAItemResult& r = (*results)[pass[j]];
            if (FAILED(r.error)) continue;
            if (!g) {  // removed while the program was adding
                r.error = found;
                orphans[0].tags.push_back(tags[j]);
                continue;
            }
            uint32_t handle = NewHandle();
            ItemRec& item = g->items.Add(handle);
            item.clientHandle = items[pass[j]].clientHandle;
            item.tag = tags[j];
            item.node = nodes[j];
            item.active = items[pass[j]].active;
            item.requestedType = items[pass[j]].requestedType;
            r.serverHandle = handle;
            if (tagsOut) (*tagsOut)[pass[j]] = tags[j];
            if (g->active && item.active) g->due = Clock::now();
        }
        if (g) m_updateCv.notify_all();
    }
    ReleaseItems(cb, orphans);
    return OverallOf(*results);
}

HRESULT CServerCore::RemoveItems(uint32_t clientId, uint32_t groupHandle,
                                 const std::vector<uint32_t>& handles, std::vector<HRESULT>* errors)
{
    if (HRESULT hr = PrepareErrors(errors, handles.size()); FAILED(hr)) return hr;
    CCallScope scope(m_gate);
    if (!scope) return RPC_E_DISCONNECTED;
    std::vector<Release> releases(1, Release{groupHandle, {}, false});
    HRESULT hr = ResolveGroupItems(
        clientId, groupHandle, handles,
        [&](size_t i, GroupRec& g, ItemRec& item) {
            releases[0].tags.push_back(item.tag);
            g.items.Erase(handles[i]);
        },
        [&](size_t i) { (*errors)[i] = OPC_E_INVALIDHANDLE; });
    if (FAILED(hr)) return hr;
    ReleaseItems(m_callback.load(), releases);
    m_trace.Trace(1, "RemoveItems <%zu> group %u", handles.size(), groupHandle);
    return Overall(*errors);
}

HRESULT CServerCore::SetActiveState(uint32_t clientId, uint32_t groupHandle,
                                    const std::vector<uint32_t>& handles, bool active,
                                    std::vector<HRESULT>* errors)
{
    if (HRESULT hr = PrepareErrors(errors, handles.size()); FAILED(hr)) return hr;
    CProgramCall call(*this);
    if (HRESULT hr = call.Check(); FAILED(hr)) return hr;
    std::vector<size_t> known;
    std::vector<COPCTag*> tags;
    HRESULT resolved = ResolveGroupItems(
        clientId, groupHandle, handles,
        [&](size_t i, GroupRec&, ItemRec& item) {
            known.push_back(i);
            tags.push_back(item.tag);
        },
        [&](size_t i) { (*errors)[i] = OPC_E_INVALIDHANDLE; });
    if (FAILED(resolved)) return resolved;
    if (!known.empty()) {
        std::vector<HRESULT> hookErrors(known.size(), S_OK);
        HRESULT hr = call.Callback()->SetActiveTag(groupHandle, static_cast<uint32_t>(known.size()),
                                                   tags.data(), active, hookErrors.data());
        std::lock_guard lock(m_mutex);
        HRESULT found;
        GroupRec* g = FindGroup(clientId, groupHandle, &found);
        for (size_t j = 0; j < known.size(); ++j) {
            HRESULT e = EntryResult(hr, hookErrors[j]);
            if (SUCCEEDED(e)) {
                ItemRec* item = g ? g->items.Find(handles[known[j]]) : nullptr;
                if (!item) {
                    e = g ? OPC_E_INVALIDHANDLE : found;
                } else {
                    if (active && !item->active) {
                        // Reactivated items report their current state again.
                        item->sent = false;
                        g->due = Clock::now();
                    }
                    item->active = active;
                }
            }
            (*errors)[known[j]] = e;
        }
        m_updateCv.notify_all();
    }
    return Overall(*errors);
}

HRESULT CServerCore::GetItemAttributes(uint32_t clientId, uint32_t groupHandle,
                                       std::vector<DAItemAttributes>* items)
{
    if (!items) return E_INVALIDARG;
    items->clear();
    CProgramCall call(*this);
    if (HRESULT hr = call.Check(); FAILED(hr)) return hr;
    COPCCallback* cb = call.Callback();
    std::vector<COPCTag*> tags;
    HRESULT hr = WithGroup(clientId, groupHandle, [&](GroupRec& g) -> HRESULT {
        std::vector<uint32_t> handles;
        for (const ItemRec& item : g.items) handles.push_back(item.handle);
        std::sort(handles.begin(), handles.end());
        for (uint32_t handle : handles) {
            const ItemRec& item = *g.items.Find(handle);
            DAItemAttributes a;
            a.clientHandle = item.clientHandle;
            a.serverHandle = handle;
            a.active = item.active;
            a.requestedType = item.requestedType;
            items->push_back(std::move(a));
            tags.push_back(item.tag);
        }
        return S_OK;
    });
    if (FAILED(hr)) return hr;
    // The program names its items; it is asked with no toolkit lock held. The
    // items stay alive meanwhile: withdrawing them waits for this call.
    for (size_t i = 0; i < tags.size(); ++i) {
        (*items)[i].itemId = TakeCallbackText(cb->GetTagItemID(tags[i]));
        (*items)[i].accessPath = TakeCallbackText(cb->GetTagAccessPath(tags[i]));
    }
    {
        CCriticalSectionLock itemLock(cb->ItemLock());
        for (size_t i = 0; i < tags.size(); ++i) {
            (*items)[i].canonicalType = tags[i]->m_canonicalType;
            (*items)[i].accessRights = tags[i]->m_accessRights;
        }
    }
    m_trace.Trace(1, "GetItemAttributes group %u: %zu items", groupHandle, items->size());
    return items->empty() ? S_FALSE : S_OK;
}

HRESULT CServerCore::Read(uint32_t clientId, uint32_t groupHandle, DADataSource source,
                          const std::vector<uint32_t>& handles, std::vector<DAItemState>* states)
{
    if (!states) return E_INVALIDARG;
    states->clear();
    states->resize(handles.size());
    if (handles.empty()) return E_INVALIDARG;
    CProgramCall call(*this);
    if (HRESULT hr = call.Check(); FAILED(hr)) return hr;
    COPCCallback* cb = call.Callback();
    std::vector<size_t> known;
    std::vector<COPCTag*> tags;
    std::vector<bool> active;
    HRESULT resolved = ResolveGroupItems(
        clientId, groupHandle, handles,
        [&](size_t i, GroupRec& g, ItemRec& item) {
            DAItemState& s = (*states)[i];
            s.serverHandle = handles[i];
            s.clientHandle = item.clientHandle;
            known.push_back(i);
            tags.push_back(item.tag);
            active.push_back(g.active && item.active);
        },
        [&](size_t i) {
            DAItemState& s = (*states)[i];
            s.serverHandle = handles[i];
            s.error = OPC_E_INVALIDHANDLE;
        });
    if (FAILED(resolved)) return resolved;
    m_trace.Trace(1, "Read <%zu> %s group %u", handles.size(),
                  source == DADataSource::Device ? "device" : "cache", groupHandle);
    if (known.empty()) return S_FALSE;
    uint32_t n = static_cast<uint32_t>(known.size());
    std::vector<HRESULT> errors(n, S_OK);
    HRESULT hr = source == DADataSource::Device ? cb->Scan(n, tags.data(), errors.data())
                                                : cb->CheckReadRights(n, tags.data(), errors.data());
    {
        CCriticalSectionLock itemLock(cb->ItemLock());
        for (uint32_t j = 0; j < n; ++j) {
            DAItemState& s = (*states)[known[j]];
            s.error = EntryResult(hr, errors[j]);
            if (FAILED(s.error)) continue;
            const COPCTag* tag = tags[j];
            HRESULT copied = VariantCopy(&s.value.Get(), &tag->m_value);
            if (FAILED(copied)) {
                s.error = copied;
                continue;
            }
            s.quality =
                source == DADataSource::Cache && !active[j] ? OPC_QUALITY_OUT_OF_SERVICE : tag->m_quality;
            s.timeStamp = tag->m_timeStamp;
        }
    }
    return OverallOf(*states);
}

HRESULT CServerCore::Write(uint32_t clientId, uint32_t groupHandle, const std::vector<uint32_t>& handles,
                           const std::vector<CDAVariant>& values, std::vector<HRESULT>* errors)
{
    if (HRESULT hr = PrepareErrors(errors, handles.size()); FAILED(hr)) return hr;
    if (values.size() != handles.size()) return E_INVALIDARG;
    CProgramCall call(*this);
    if (HRESULT hr = call.Check(); FAILED(hr)) return hr;
    std::vector<size_t> known;
    std::vector<COPCTag*> tags;
    std::vector<VARIANT> raw;  // views of the caller's values, not owned
    HRESULT resolved = ResolveGroupItems(
        clientId, groupHandle, handles,
        [&](size_t i, GroupRec&, ItemRec& item) {
            known.push_back(i);
            tags.push_back(item.tag);
            raw.push_back(values[i].Get());
        },
        [&](size_t i) { (*errors)[i] = OPC_E_INVALIDHANDLE; });
    if (FAILED(resolved)) return resolved;
    m_trace.Trace(1, "Write <%zu> group %u", handles.size(), groupHandle);
    if (known.empty()) return S_FALSE;
    uint32_t n = static_cast<uint32_t>(known.size());
    std::vector<HRESULT> entry(n, S_OK);
    HRESULT hr = call.Callback()->Write(n, tags.data(), raw.data(), entry.data());
    for (uint32_t j = 0; j < n; ++j) (*errors)[known[j]] = EntryResult(hr, entry[j]);
    return Overall(*errors);
}

// ---- properties ----

HRESULT CServerCore::QueryAvailableProperties(uint32_t clientId, const char* itemId,
                                              std::vector<DAProperty>* properties)
{
    if (!properties) return E_INVALIDARG;
    properties->clear();
    CProgramCall call(*this);
    if (HRESULT hr = call.CheckItem(clientId, itemId); FAILED(hr)) return hr;
    COPCCallback* cb = call.Callback();
    uint32_t count = 0;
    HRESULT hr = cb->QueryNumProperties(itemId, &count);
    if (FAILED(hr) || count == 0) return hr;
    std::vector<uint32_t> ids(count, 0);
    std::vector<char*> descriptions(count, nullptr);
    std::vector<VARTYPE> types(count, VT_EMPTY);
    hr = cb->QueryAvailableProperties(itemId, count, ids.data(), descriptions.data(), types.data());
    for (uint32_t i = 0; i < count; ++i) {
        std::string text = TakeCallbackText(descriptions[i]);
        if (SUCCEEDED(hr) && ids[i] != 0) properties->push_back({ids[i], std::move(text), types[i]});
    }
    return hr;
}

HRESULT CServerCore::GetItemProperties(uint32_t clientId, const char* itemId,
                                       const std::vector<uint32_t>& ids, std::vector<CDAVariant>* values,
                                       std::vector<HRESULT>* errors)
{
    if (!values || !errors) return E_INVALIDARG;
    values->clear();
    values->resize(ids.size());
    if (HRESULT hr = PrepareErrors(errors, ids.size()); FAILED(hr)) return hr;
    CProgramCall call(*this);
    if (HRESULT hr = call.CheckItem(clientId, itemId); FAILED(hr)) return hr;
    std::vector<VARIANT> raw(ids.size());
    for (VARIANT& v : raw) VariantInit(&v);
    HRESULT hr = call.Callback()->GetItemProperties(itemId, static_cast<uint32_t>(ids.size()), ids.data(),
                                                    raw.data(), errors->data());
    for (size_t i = 0; i < ids.size(); ++i) {
        (*values)[i].Get() = raw[i];  // ownership moves into the holder
    }
    return hr;
}

HRESULT CServerCore::LookupItemIDs(uint32_t clientId, const char* itemId, const std::vector<uint32_t>& ids,
                                   std::vector<std::string>* itemIds, std::vector<HRESULT>* errors)
{
    if (!itemIds || !errors) return E_INVALIDARG;
    itemIds->assign(ids.size(), std::string());
    if (HRESULT hr = PrepareErrors(errors, ids.size()); FAILED(hr)) return hr;
    CProgramCall call(*this);
    if (HRESULT hr = call.CheckItem(clientId, itemId); FAILED(hr)) return hr;
    std::vector<char*> texts(ids.size(), nullptr);
    HRESULT hr = call.Callback()->LookupItemIDs(itemId, static_cast<uint32_t>(ids.size()), ids.data(),
                                                texts.data(), errors->data());
    for (size_t i = 0; i < ids.size(); ++i) (*itemIds)[i] = TakeCallbackText(texts[i]);
    return hr;
}

// ---- data change ----

void CServerCore::UpdateLoop()
{
    // A stack overflow on the toolkit's thread is reported too.
    PrepareCrashStackForThread();
    std::unique_lock lock(m_mutex);
    m_updateThreadId = std::this_thread::get_id();
    while (!m_updateStop) {
        Clock::time_point now = Clock::now();
        Clock::time_point wake = now + kIdleWake;
        bool due = false;
        for (const auto& [id, client] : m_clients) {
            if (!client.sink || client.closing) continue;
            for (const auto& [h, g] : client.groups) {
                if (!g.active || g.items.empty()) continue;
                if (g.due <= now)
                    due = true;
                else if (g.due < wake)
                    wake = g.due;
            }
        }
        if (!due) {
            m_updateCv.wait_until(lock, wake);
            continue;
        }
        lock.unlock();
        SendDataChanges();
        lock.lock();
    }
}

void CServerCore::SendDataChanges()
{
    struct Delivery {
        uint32_t clientId;
        IDAClientSink* sink;
        uint32_t groupClientHandle;
        std::vector<DAItemState> items;
    };
    std::vector<Delivery> deliveries;
    {
        CCallScope scope(m_gate);
        COPCCallback* cb = m_callback.load();
        if (!scope || !cb) {
            // Stopping: let the loop see the stop flag instead of spinning.
            std::unique_lock lock(m_mutex);
            m_updateCv.wait_for(lock, std::chrono::milliseconds(50), [&] { return m_updateStop; });
            return;
        }
        CCriticalSectionLock itemLock(cb->ItemLock());
        std::lock_guard lock(m_mutex);
        Clock::time_point now = Clock::now();
        FILETIME stamp = Now();
        for (auto& [clientId, client] : m_clients) {
            if (!client.sink || client.closing) continue;
            for (auto& [handle, g] : client.groups) {
                if (!g.active || g.items.empty() || g.due > now) continue;
                auto period = std::chrono::milliseconds(g.updateRate);
                g.due = g.due + period <= now ? now + period : g.due + period;
                Delivery d{clientId, client.sink, g.clientHandle, {}};
                for (ItemRec& item : g.items) {
                    if (!item.active) continue;
                    const COPCTag* tag = item.tag;
                    bool changed = !item.sent || item.lastQuality != tag->m_quality ||
                                   FileTimeToUInt64(item.lastTime) != FileTimeToUInt64(tag->m_timeStamp) ||
                                   !VariantSame(item.lastValue.Get(), tag->m_value);
                    if (!changed) continue;
                    if (FAILED(VariantCopy(&item.lastValue.Get(), &tag->m_value))) continue;
                    item.sent = true;
                    item.lastQuality = tag->m_quality;
                    item.lastTime = tag->m_timeStamp;
                    DAItemState s;
                    s.clientHandle = item.clientHandle;
                    s.serverHandle = item.handle;
                    s.quality = item.lastQuality;
                    s.timeStamp = item.lastTime;
                    s.value = item.lastValue;
                    d.items.push_back(std::move(s));
                }
                if (d.items.empty()) continue;
                ++client.delivering;
                client.lastUpdate = stamp;
                deliveries.push_back(std::move(d));
            }
        }
    }
    for (Delivery& d : deliveries) {
        d.sink->OnDataChange(d.groupClientHandle, d.items);
        std::lock_guard lock(m_mutex);
        auto it = m_clients.find(d.clientId);
        if (it != m_clients.end()) --it->second.delivering;
        m_deliveryCv.notify_all();
    }
    if (!deliveries.empty()) m_trace.Trace(2, "Data change: %zu groups", deliveries.size());
}

// ---- network fronts ----

CServerCore::CItemReader::CItemReader(CServerCore& core) : m_core(core)
{
    if (!core.m_gate.TryEnter()) return;
    m_callback = core.m_callback.load();
    if (m_callback)
        m_callback->ItemLock().Enter();
    else
        core.m_gate.Leave();
}

CServerCore::CItemReader::~CItemReader()
{
    if (!m_callback) return;
    m_callback->ItemLock().Leave();
    m_core.m_gate.Leave();
}

bool CServerCore::VisitGroupItems(uint32_t clientId, uint32_t groupHandle, ItemVisitor visit, void* context)
{
    std::lock_guard lock(m_mutex);
    HRESULT hr;
    GroupRec* g = FindGroup(clientId, groupHandle, &hr);
    if (!g) return false;
    for (const ItemRec& item : g->items) visit(context, item.clientHandle, item.handle, item.tag);
    return true;
}

CServerCore::PathInfo CServerCore::DescribePath(std::string_view path) const
{
    PathInfo info;
    std::shared_lock lock(m_spaceMutex);
    CItemSpace::NodeId node = path.empty() ? CItemSpace::kRootNode : m_space.Find(path);
    if (node == CItemSpace::kNoNode) return info;
    info.found = true;
    info.isItem = m_space.IsItem(node);
    info.hasChildren = m_space.HasChildren(node);
    return info;
}

bool CServerCore::VisitChildren(std::string_view path, size_t skip, ChildVisitor visit, void* context) const
{
    std::shared_lock lock(m_spaceMutex);
    CItemSpace::NodeId node = path.empty() ? CItemSpace::kRootNode : m_space.Find(path);
    if (node == CItemSpace::kNoNode) return false;
    m_space.VisitChildren(node, skip, [&](std::string_view name, bool isItem, bool hasChildren) {
        return visit(context, name, isItem, hasChildren);
    });
    return true;
}

bool CServerCore::TryGetServerState(OPCSERVERSTATE* state)
{
    if (!m_gate.TryEnter()) return false;
    COPCCallback* cb = m_callback.load();
    if (cb) *state = cb->GetServerState();
    m_gate.Leave();
    return cb != nullptr;
}
