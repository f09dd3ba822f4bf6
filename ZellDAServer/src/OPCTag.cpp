#include "ZellDAServer.h"

COPCTag::COPCTag()
    : m_timeStamp{0, 0}, m_canonicalType(VT_EMPTY), m_quality(OPC_QUALITY_BAD), m_accessRights(0)
{
    VariantInit(&m_value);
}

COPCTag::~COPCTag()
{
    VariantClear(&m_value);
}

uint32_t COPCTag::AddRef()
{
    return m_refCount.fetch_add(1, std::memory_order_acq_rel) + 1;
}

uint32_t COPCTag::Release()
{
    uint32_t count = m_refCount.load(std::memory_order_acquire);
    while (count != 0) {
        if (m_refCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) return count - 1;
    }
    return 0;
}
