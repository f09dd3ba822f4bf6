#include "ServerCore.h"
#include "ZellDAClient.h"

namespace {
CServerCore& Core()
{
    return CServerCore::Instance();
}
}  // namespace

CDAClient::CDAClient() = default;

CDAClient::~CDAClient()
{
    Disconnect();
}

HRESULT CDAClient::Connect(const char* clientName, IDAClientSink* sink)
{
    uint32_t current = m_id.load();
    if (current && Core().IsConnected(current)) return S_FALSE;
    uint32_t id = 0;
    HRESULT hr = Core().Connect(clientName, sink, &id);
    if (FAILED(hr)) return hr;
    if (!m_id.compare_exchange_strong(current, id)) {
        Core().Disconnect(id);  // another thread connected this client first
        return S_FALSE;
    }
    return S_OK;
}

HRESULT CDAClient::Disconnect()
{
    uint32_t id = m_id.exchange(0);
    return id ? Core().Disconnect(id) : S_FALSE;
}

bool CDAClient::IsConnected() const
{
    uint32_t id = m_id.load();
    return id && Core().IsConnected(id);
}

HRESULT CDAClient::GetStatus(DAServerStatus* status)
{
    return Core().GetStatus(m_id.load(), status);
}

HRESULT CDAClient::Browse(const char* path, std::vector<DABrowseEntry>* children)
{
    return Core().Browse(m_id.load(), path, children);
}

HRESULT CDAClient::AddGroup(const char* name, bool active, uint32_t requestedRate, uint32_t clientHandle,
                            uint32_t* groupHandle, uint32_t* revisedRate)
{
    return Core().AddGroup(m_id.load(), name, active, requestedRate, clientHandle, groupHandle, revisedRate);
}

HRESULT CDAClient::RemoveGroup(uint32_t groupHandle)
{
    return Core().RemoveGroup(m_id.load(), groupHandle);
}

HRESULT CDAClient::SetGroupName(uint32_t groupHandle, const char* name)
{
    return Core().SetGroupName(m_id.load(), groupHandle, name);
}

HRESULT CDAClient::SetGroupActive(uint32_t groupHandle, bool active)
{
    return Core().SetGroupActive(m_id.load(), groupHandle, active);
}

HRESULT CDAClient::SetGroupUpdateRate(uint32_t groupHandle, uint32_t requestedRate, uint32_t* revisedRate)
{
    return Core().SetGroupUpdateRate(m_id.load(), groupHandle, requestedRate, revisedRate);
}

HRESULT CDAClient::AddItems(uint32_t groupHandle, const std::vector<DAItemDef>& items,
                            std::vector<DAItemResult>* results)
{
    return Core().AddItems(m_id.load(), groupHandle, items, results, false);
}

HRESULT CDAClient::ValidateItems(uint32_t groupHandle, const std::vector<DAItemDef>& items,
                                 std::vector<DAItemResult>* results)
{
    return Core().AddItems(m_id.load(), groupHandle, items, results, true);
}

HRESULT CDAClient::RemoveItems(uint32_t groupHandle, const std::vector<uint32_t>& serverHandles,
                               std::vector<HRESULT>* errors)
{
    return Core().RemoveItems(m_id.load(), groupHandle, serverHandles, errors);
}

HRESULT CDAClient::SetActiveState(uint32_t groupHandle, const std::vector<uint32_t>& serverHandles,
                                  bool active, std::vector<HRESULT>* errors)
{
    return Core().SetActiveState(m_id.load(), groupHandle, serverHandles, active, errors);
}

HRESULT CDAClient::GetItemAttributes(uint32_t groupHandle, std::vector<DAItemAttributes>* items)
{
    return Core().GetItemAttributes(m_id.load(), groupHandle, items);
}

HRESULT CDAClient::Read(uint32_t groupHandle, DADataSource source, const std::vector<uint32_t>& serverHandles,
                        std::vector<DAItemState>* states)
{
    return Core().Read(m_id.load(), groupHandle, source, serverHandles, states);
}

HRESULT CDAClient::Write(uint32_t groupHandle, const std::vector<uint32_t>& serverHandles,
                         const std::vector<CDAVariant>& values, std::vector<HRESULT>* errors)
{
    return Core().Write(m_id.load(), groupHandle, serverHandles, values, errors);
}

HRESULT CDAClient::QueryAvailableProperties(const char* itemId, std::vector<DAProperty>* properties)
{
    return Core().QueryAvailableProperties(m_id.load(), itemId, properties);
}

HRESULT CDAClient::GetItemProperties(const char* itemId, const std::vector<uint32_t>& propertyIds,
                                     std::vector<CDAVariant>* values, std::vector<HRESULT>* errors)
{
    return Core().GetItemProperties(m_id.load(), itemId, propertyIds, values, errors);
}

HRESULT CDAClient::LookupItemIDs(const char* itemId, const std::vector<uint32_t>& propertyIds,
                                 std::vector<std::string>* itemIds, std::vector<HRESULT>* errors)
{
    return Core().LookupItemIDs(m_id.load(), itemId, propertyIds, itemIds, errors);
}
