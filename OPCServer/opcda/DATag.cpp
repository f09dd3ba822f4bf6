#include "opcda/DATag.h"

#include "config/LevelTag.h"
#include "devicemaps/ValueCodec.h"
#include "platform/FileTime.h"
#include "polling/DeviceExchange.h"

#include <cstring>

void CDATag::Setup(std::uint16_t address, std::uint8_t accessMode, std::uint8_t code)
{
    m_address = address;
    m_accessMode = accessMode;
    m_code = code;

    VARTYPE vt = VT_EMPTY;
    std::uint32_t registers = 0;
    if (ItemVarType(code, &vt) && ItemRegisterCount(code, &registers)) {
        m_canonicalType = vt;
        VariantClear(&m_value);
        m_value.vt = vt;
        m_imageRegisters = static_cast<std::uint8_t>(registers);
    } else {
        // An undefined code has no register image; the exchange counts it as one register.
        m_imageRegisters = 0;
    }
    std::memset(m_image, 0, sizeof m_image);

    switch (accessMode) {
        case kAccessRead:
            m_accessRights = OPC_READABLE;
            break;
        case kAccessWrite:
            m_accessRights = OPC_WRITEABLE;
            break;
        case kAccessReadWrite:
            m_accessRights = OPC_READABLE | OPC_WRITEABLE;
            break;
        default:
            break;
    }
    m_quality = OPC_QUALITY_UNCERTAIN;
    m_pendingWrite = nullptr;
    Touch();
}

void CDATag::SetQuality(std::uint16_t quality)
{
    m_quality = quality;
    Touch();
}

void CDATag::Touch()
{
    GetSystemTimeAsFileTime(&m_timeStamp);
}

std::string CDATag::FullName() const
{
    return m_owner != nullptr ? m_owner->FullPath() : std::string();
}

// Over a million items per server: the exchange's bookkeeping lives in padding.
static_assert(sizeof(void*) != 8 || sizeof(CDATag) <= 88, "CDATag grew");

uint32_t CDATag::AddRef()
{
    const uint32_t count = COPCTag::AddRef();
    if (count == 1) {
        if (CDeviceExchange* exchange = Exchange()) {
            exchange->NoteItemTaken(this);
        }
    }
    return count;
}

uint32_t CDATag::Release()
{
    const uint32_t count = COPCTag::Release();
    if (count == 0) {
        if (CDeviceExchange* exchange = Exchange()) {
            exchange->NoteItemLetGo();
        }
    }
    return count;
}
