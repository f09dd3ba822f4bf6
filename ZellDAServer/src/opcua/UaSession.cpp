#include "opcua/UaSession.h"

#include "ServerCore.h"
#include "opcua/UaLimits.h"
#include "opcua/protocol/UaValues.h"
#include "platform/StreamServer.h"

#include <algorithm>
#include <cstring>

namespace ua {

namespace {

CServerCore& Core()
{
    return CServerCore::Instance();
}

int64_t NowTicks()
{
    return Now().ticks;
}

}  // namespace

CUaSession::CUaSession(NodeId id, NodeId token, std::string name, double timeoutMs, uint32_t coreClient,
                       uint32_t channelId)
    : m_id(std::move(id)),
      m_token(std::move(token)),
      m_name(std::move(name)),
      m_timeoutMs(timeoutMs),
      m_coreClient(coreClient),
      m_channelId(channelId),
      m_lastUse(Clock::now())
{
}

CUaSession::~CUaSession() = default;

StatusCode CUaSession::Use(uint32_t channelId, bool activating)
{
    std::lock_guard lock(m_stateMutex);
    if (m_closed) return kBadSessionClosed;
    if (!activating) {
        if (!m_activated) return kBadSessionNotActivated;
        if (channelId != m_channelId) return kBadSecureChannelIdInvalid;
    }
    m_lastUse = Clock::now();
    return kGood;
}

void CUaSession::Activate(uint32_t channelId)
{
    std::lock_guard lock(m_stateMutex);
    m_channelId = channelId;
    m_activated = true;
    m_lastUse = Clock::now();
}

bool CUaSession::Expired(Clock::time_point now) const
{
    std::lock_guard lock(m_stateMutex);
    return now - m_lastUse > std::chrono::duration<double, std::milli>(m_timeoutMs);
}

uint32_t CUaSession::ChannelId() const
{
    std::lock_guard lock(m_stateMutex);
    return m_channelId;
}

ByteString CUaSession::SaveCursor(BrowseCursor cursor)
{
    std::lock_guard lock(m_stateMutex);
    if (m_cursors.size() >= kMaxBrowseContinuationPoints) return ByteString{};
    uint64_t n = ++m_nextCursor;
    ByteString point;
    point.bytes.assign(reinterpret_cast<const char*>(&n), sizeof n);
    m_cursors.push_back(Cursor{point, std::move(cursor)});
    return point;
}

bool CUaSession::TakeCursor(const ByteString& point, BrowseCursor* cursor)
{
    std::lock_guard lock(m_stateMutex);
    for (auto it = m_cursors.begin(); it != m_cursors.end(); ++it) {
        if (it->point == point) {
            *cursor = std::move(it->cursor);
            m_cursors.erase(it);
            return true;
        }
    }
    return false;
}

void CUaSession::ReleaseCursor(const ByteString& point)
{
    BrowseCursor dropped;
    (void)TakeCursor(point, &dropped);
}

bool CUaSession::EnsureGroup(StatusCode* status)
{
    if (m_group != 0) return true;
    uint32_t group = 0, rate = 0;
    HRESULT hr = Core().AddGroup(m_coreClient, "OPC UA", true, 0, 0, &group, &rate);
    if (FAILED(hr)) {
        *status = StatusOfResult(hr, false);
        return false;
    }
    m_group = group;
    return true;
}

void CUaSession::Resolve(const std::vector<std::string_view>& itemIds, std::vector<Resolved>* out)
{
    const Clock::time_point now = Clock::now();
    out->assign(itemIds.size(), Resolved{});
    std::vector<std::string_view> missing;
    std::vector<HeldItem*> found;
    m_items.FindAll(itemIds, &found);
    for (size_t i = 0; i < itemIds.size(); ++i) {
        HeldItem* held = found[i];
        if (!held) {
            missing.push_back(itemIds[i]);
            continue;
        }
        held->lastUse = now;
        (*out)[i].item = held;
    }
    if (missing.empty()) return;
    std::sort(missing.begin(), missing.end());
    missing.erase(std::unique(missing.begin(), missing.end()), missing.end());
    StatusCode groupStatus = kGood;
    std::unordered_map<std::string_view, StatusCode> refused;
    if (!EnsureGroup(&groupStatus)) {
        for (std::string_view id : missing) refused[id] = groupStatus;
    } else {
        std::vector<DAItemDef> defs;
        defs.reserve(missing.size());
        for (std::string_view id : missing) defs.emplace_back(std::string(id));
        std::vector<DAItemResult> results;
        HRESULT hr = Core().AddItems(m_coreClient, m_group, defs, &results, false);
        for (size_t j = 0; j < missing.size(); ++j) {
            HRESULT e = j < results.size() ? results[j].error : hr;
            if (FAILED(hr) && SUCCEEDED(e)) e = hr;
            if (FAILED(e) || results[j].serverHandle == 0) {
                refused[missing[j]] = StatusOfResult(FAILED(e) ? e : E_FAIL, false);
                continue;
            }
            HeldItem item;
            item.handle = results[j].serverHandle;
            item.canonicalType = results[j].canonicalType;
            item.accessRights = results[j].accessRights;
            item.lastUse = now;
            m_items.Insert(missing[j], item);
        }
    }
    for (size_t i = 0; i < itemIds.size(); ++i) {
        Resolved& r = (*out)[i];
        if (r.item) continue;
        auto bad = refused.find(itemIds[i]);
        if (bad != refused.end()) {
            r.status = bad->second;
            continue;
        }
        r.item = m_items.Find(itemIds[i]);
        r.fresh = true;
    }
}

void CUaSession::Forget(std::string_view itemId)
{
    m_items.Erase(itemId);
}

void CUaSession::ReadFrom(DADataSource source, const std::vector<size_t>& which,
                          const std::vector<Resolved>& items, std::vector<ItemValue>* out,
                          std::vector<size_t>* stale)
{
    if (which.empty()) return;
    std::vector<uint32_t> handles;
    handles.reserve(which.size());
    for (size_t i : which) handles.push_back(items[i].item->handle);
    std::vector<DAItemState> states;
    HRESULT hr = Core().Read(m_coreClient, m_group, source, handles, &states);
    for (size_t j = 0; j < which.size(); ++j) {
        ItemValue& v = (*out)[which[j]];
        HRESULT e = j < states.size() ? states[j].error : hr;
        if (FAILED(hr) && SUCCEEDED(e)) e = hr;
        if (e == OPC_E_INVALIDHANDLE) {
            stale->push_back(which[j]);
            continue;
        }
        if (FAILED(e)) {
            v.status = StatusOfResult(e, false);
            continue;
        }
        v.status = kGood;
        v.quality = states[j].quality;
        v.timeStamp = states[j].timeStamp;
        v.value = std::move(states[j].value);
    }
}

void CUaSession::ReadValues(const std::vector<std::string_view>& itemIds, double maxAgeMs,
                            std::vector<ItemValue>* out)
{
    std::lock_guard lock(m_itemsMutex);
    out->assign(itemIds.size(), ItemValue{});
    std::vector<bool> pending(itemIds.size(), true);
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<Resolved> items;
        Resolve(itemIds, &items);
        std::vector<size_t> cache, device;
        for (size_t i = 0; i < itemIds.size(); ++i) {
            if (!pending[i]) continue;
            pending[i] = false;
            if (!items[i].item) {
                (*out)[i].status = items[i].status;
                continue;
            }
            // Nothing but an item already held, and so polled, may answer from its value.
            (items[i].fresh || maxAgeMs <= 0 ? device : cache).push_back(i);
        }
        std::vector<size_t> stale;
        ReadFrom(DADataSource::Cache, cache, items, out, &stale);
        const int64_t now = NowTicks();
        const double maxAgeTicks = maxAgeMs * 10000.0;
        for (size_t i : cache) {
            const ItemValue& v = (*out)[i];
            if (v.status != kGood) continue;
            const double age = static_cast<double>(now - static_cast<int64_t>(FileTimeToUInt64(v.timeStamp)));
            if (age > maxAgeTicks) device.push_back(i);
        }
        ReadFrom(DADataSource::Device, device, items, out, &stale);
        // The program withdrew these items meanwhile (a channel rebuilt): take them anew once.
        for (size_t i : stale) {
            Forget(itemIds[i]);
            (*out)[i].status = kBadNodeIdUnknown;
            pending[i] = true;
        }
        if (stale.empty()) return;
    }
}

void CUaSession::WriteValues(const std::vector<std::string_view>& itemIds,
                             const std::vector<const Variant*>& values, std::vector<StatusCode>* out)
{
    std::lock_guard lock(m_itemsMutex);
    out->assign(itemIds.size(), kGood);
    std::vector<bool> pending(itemIds.size(), true);
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<Resolved> items;
        Resolve(itemIds, &items);
        std::vector<size_t> which;
        std::vector<uint32_t> handles;
        std::vector<CDAVariant> converted;
        for (size_t i = 0; i < itemIds.size(); ++i) {
            if (!pending[i]) continue;
            pending[i] = false;
            if (!items[i].item) {
                (*out)[i] = items[i].status;
                continue;
            }
            const HeldItem& item = *items[i].item;
            if ((item.accessRights & OPC_WRITEABLE) == 0) {
                (*out)[i] = kBadNotWritable;
                continue;
            }
            CDAVariant v;
            StatusCode s = ToCanonical(*values[i], item.canonicalType, &v.Get());
            if (s != kGood) {
                (*out)[i] = s;
                continue;
            }
            which.push_back(i);
            handles.push_back(item.handle);
            converted.push_back(std::move(v));
        }
        if (which.empty()) return;
        std::vector<HRESULT> errors;
        HRESULT hr = Core().Write(m_coreClient, m_group, handles, converted, &errors);
        bool retry = false;
        for (size_t j = 0; j < which.size(); ++j) {
            HRESULT e = j < errors.size() ? errors[j] : hr;
            if (FAILED(hr) && SUCCEEDED(e)) e = hr;
            if (e == OPC_E_INVALIDHANDLE && attempt == 0) {
                Forget(itemIds[which[j]]);
                pending[which[j]] = retry = true;
                continue;
            }
            (*out)[which[j]] = StatusOfResult(e, true);
        }
        if (!retry) return;
    }
}

void CUaSession::RegisterItems(const std::vector<std::string_view>& itemIds)
{
    std::lock_guard lock(m_itemsMutex);
    std::vector<Resolved> items;
    Resolve(itemIds, &items);
    for (Resolved& r : items)
        if (r.item) r.item->registered = true;
}

void CUaSession::UnregisterItems(const std::vector<std::string_view>& itemIds)
{
    std::lock_guard lock(m_itemsMutex);
    std::vector<uint32_t> handles;
    for (std::string_view id : itemIds) {
        HeldItem* held = m_items.Find(id);
        if (!held || !held->registered) continue;
        handles.push_back(held->handle);
        m_items.Erase(id);
    }
    std::vector<HRESULT> errors;
    if (!handles.empty()) Core().RemoveItems(m_coreClient, m_group, handles, &errors);
}

void CUaSession::ReleaseIdleItems(Clock::time_point now, uint32_t holdMs)
{
    std::lock_guard lock(m_itemsMutex);
    std::vector<uint32_t> handles;
    m_items.EraseIf(
        [&](const HeldItem& item) {
            return !item.registered && now - item.lastUse > std::chrono::milliseconds(holdMs);
        },
        [&](const HeldItem& item) { handles.push_back(item.handle); });
    std::vector<HRESULT> errors;
    if (!handles.empty()) Core().RemoveItems(m_coreClient, m_group, handles, &errors);
}

size_t CUaSession::HeldItems()
{
    std::lock_guard lock(m_itemsMutex);
    return m_items.Size();
}

HRESULT CUaSession::GetProperties(const std::string& itemId, const std::vector<uint32_t>& ids,
                                  std::vector<CDAVariant>* values, std::vector<HRESULT>* errors)
{
    return Core().GetItemProperties(m_coreClient, itemId.c_str(), ids, values, errors);
}

void CUaSession::Close()
{
    {
        std::lock_guard lock(m_stateMutex);
        if (m_closed) return;
        m_closed = true;
        m_cursors.clear();
    }
    std::lock_guard lock(m_itemsMutex);
    m_items.Clear();
    Core().Disconnect(m_coreClient);
}

// ---- manager ----

std::shared_ptr<CUaSession> CUaSessionManager::Create(const std::string& name, double requestedTimeoutMs,
                                                      uint32_t channelId, StatusCode* status)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_sessions.size() + m_creating >= kMaxSessions) {
            *status = kBadTooManySessions;
            return nullptr;
        }
        ++m_creating;
    }
    uint32_t client = 0;
    HRESULT hr = Core().Connect(("OPC UA " + name).c_str(), nullptr, &client);
    if (FAILED(hr)) {
        std::lock_guard lock(m_mutex);
        --m_creating;
        *status = kBadServerHalted;
        return nullptr;
    }
    NodeId id;
    id.ns = kItemNamespace;
    id.type = IdType::Guid;
    RandomBytes(&id.guid.data1, sizeof id.guid.data1);
    RandomBytes(&id.guid.data2, sizeof id.guid.data2);
    RandomBytes(&id.guid.data3, sizeof id.guid.data3);
    RandomBytes(id.guid.data4.data(), id.guid.data4.size());
    NodeId token;
    token.ns = kItemNamespace;
    token.type = IdType::ByteString;
    token.text.resize(32);
    RandomBytes(token.text.data(), token.text.size());
    double timeout = requestedTimeoutMs <= 0
                         ? kDefaultSessionTimeoutMs
                         : std::clamp(requestedTimeoutMs, kMinSessionTimeoutMs, kMaxSessionTimeoutMs);
    auto session = std::make_shared<CUaSession>(std::move(id), token, name, timeout, client, channelId);
    std::lock_guard lock(m_mutex);
    --m_creating;
    m_sessions.emplace(token.text, session);
    *status = kGood;
    return session;
}

std::shared_ptr<CUaSession> CUaSessionManager::Find(const NodeId& token) const
{
    if (token.type != IdType::ByteString || token.ns != kItemNamespace) return nullptr;
    std::lock_guard lock(m_mutex);
    auto it = m_sessions.find(token.text);
    return it == m_sessions.end() ? nullptr : it->second;
}

std::shared_ptr<CUaSession> CUaSessionManager::Remove(const NodeId& token)
{
    if (token.type != IdType::ByteString) return nullptr;
    std::lock_guard lock(m_mutex);
    auto it = m_sessions.find(token.text);
    if (it == m_sessions.end()) return nullptr;
    std::shared_ptr<CUaSession> s = std::move(it->second);
    m_sessions.erase(it);
    return s;
}

std::vector<std::shared_ptr<CUaSession>> CUaSessionManager::RemoveExpired(CUaSession::Clock::time_point now)
{
    std::vector<std::shared_ptr<CUaSession>> out;
    std::lock_guard lock(m_mutex);
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (it->second->Expired(now)) {
            out.push_back(std::move(it->second));
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

std::vector<std::shared_ptr<CUaSession>> CUaSessionManager::RemoveAll()
{
    std::vector<std::shared_ptr<CUaSession>> out;
    std::lock_guard lock(m_mutex);
    for (auto& [token, s] : m_sessions) out.push_back(std::move(s));
    m_sessions.clear();
    return out;
}

std::vector<std::shared_ptr<CUaSession>> CUaSessionManager::All() const
{
    std::vector<std::shared_ptr<CUaSession>> out;
    std::lock_guard lock(m_mutex);
    for (const auto& [token, s] : m_sessions) out.push_back(s);
    return out;
}

size_t CUaSessionManager::Count() const
{
    std::lock_guard lock(m_mutex);
    return m_sessions.size();
}

}  // namespace ua
