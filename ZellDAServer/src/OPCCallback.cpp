#include "UpdateRate.h"
#include "ZellDAServer.h"

COPCCallback::COPCCallback() = default;
COPCCallback::~COPCCallback() = default;

OPCSERVERSTATE COPCCallback::GetServerState()
{
    return OPC_STATUS_RUNNING;
}

HRESULT COPCCallback::AddGroup(uint32_t groupHandle, const char* /*name*/, bool /*active*/,
                               uint32_t requestedRate, uint32_t* revisedRate)
{
    if (!revisedRate) return E_POINTER;
    *revisedRate = ReviseUpdateRate(GetBaseRate(groupHandle, requestedRate), requestedRate);
    return *revisedRate == requestedRate ? S_OK : OPC_S_UNSUPPORTEDRATE;
}

HRESULT COPCCallback::RemoveGroup(uint32_t /*groupHandle*/)
{
    return S_OK;
}

HRESULT COPCCallback::SetNameGroup(uint32_t /*groupHandle*/, const char* newName)
{
    return newName && *newName ? S_OK : E_INVALIDARG;
}

HRESULT COPCCallback::SetActiveGroup(uint32_t /*groupHandle*/, bool /*active*/)
{
    return S_OK;
}

HRESULT COPCCallback::SetActiveTag(uint32_t /*groupHandle*/, uint32_t count, COPCTag* const* tags,
                                   bool /*active*/, HRESULT* errors)
{
    if (count == 0 || !tags || !errors) return E_INVALIDARG;
    HRESULT result = S_OK;
    for (uint32_t i = 0; i < count; ++i) {
        errors[i] = tags[i] ? S_OK : E_INVALIDARG;
        if (!tags[i]) result = S_FALSE;
    }
    return result;
}

char* COPCCallback::GetTagAccessPath(COPCTag* /*tag*/)
{
    return nullptr;
}

HRESULT COPCCallback::GetTagLimits(COPCTag* /*tag*/, double* low, double* high)
{
    if (!low || !high) return E_POINTER;
    *low = 0;
    *high = 0;
    return S_FALSE;
}
