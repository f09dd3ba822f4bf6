#pragma once
#include "ZellDAServer.h"

#include <atomic>
#include <cstdint>
#include <string>

class CLevelTag;
class CDeviceExchange;

// Eight flag bits; bit numbers above 7 are ignored (test gives false, set does nothing).
class CStatus {
public:
    bool TestBit(unsigned bit) const { return bit < 8 && (m_flags >> bit) & 1u; }
    void SetBit(unsigned bit)
    {
        if (bit < 8) m_flags = static_cast<std::uint8_t>(m_flags | (1u << bit));
    }
    void ClearAll() { m_flags = 0; }
    std::uint8_t Flags() const { return m_flags; }

private:
    std::uint8_t m_flags = 0;
};

// Access modes of an item's registers.
inline constexpr std::uint8_t kAccessRead = 0;
inline constexpr std::uint8_t kAccessWrite = 1;
inline constexpr std::uint8_t kAccessReadWrite = 2;

// The item object of one tag: what the DA toolkit serves (its COPCTag part) and
// the polling engine's record of one device value. The device exchange changes
// value, quality and time stamp under the item lock; set-up runs before any
// client or polling thread can reach the item.
class CDATag : public CStatus, public COPCTag {
public:
    // The device exchange marks an item processed once a transaction covering it was answered.
    static constexpr unsigned kProcessedBit = 3;

    CDATag() = default;
    ~CDATag() override = default;

    // Stores the register address, access mode and value type code; a known code
    // gives the canonical type (also the value's type) and a zeroed register image
    // of its register count. Rights follow the access mode (0 readable, 1 writable,
    // 2 both; other modes keep them). Quality uncertain, time stamp now.
    void Setup(std::uint16_t address, std::uint8_t accessMode, std::uint8_t code);

    bool IsReadable() const { return (m_accessRights & OPC_READABLE) != 0; }
    bool IsWriteable() const { return (m_accessRights & OPC_WRITEABLE) != 0; }
    bool IsGood() const { return m_quality == OPC_QUALITY_GOOD; }
    // Stores the quality and stamps the current time.
    void SetQuality(std::uint16_t quality);
    // Stamps the current time.
    void Touch();

    // The owner's full path (the item ID), empty without an owner.
    std::string FullName() const;

    std::uint16_t Address() const { return m_address; }
    std::uint8_t Code() const { return m_code; }
    std::uint8_t AccessMode() const { return m_accessMode; }

    // The raw bytes of the item's registers in wire order, or null for an
    // undefined code; RegisterImageSize() bytes.
    std::uint8_t* RegisterImage() { return m_imageRegisters ? m_image : nullptr; }
    const std::uint8_t* RegisterImage() const { return m_imageRegisters ? m_image : nullptr; }
    std::uint32_t RegisterImageSize() const { return 2u * m_imageRegisters; }

    // Set when the channel collects its items; read by toolkit threads too.
    CDeviceExchange* Exchange() const { return m_exchange.load(std::memory_order_acquire); }
    void SetExchange(CDeviceExchange* exchange) { m_exchange.store(exchange, std::memory_order_release); }

    // A client takes the item: its exchange learns that something may be in
    // use, so that an idle channel need not look at every item every turn.
    uint32_t AddRef() override;
    CLevelTag* Owner() const { return m_owner; }
    void SetOwner(CLevelTag* owner) { m_owner = owner; }
    // The client's value of the write in progress; points into the toolkit's
    // array only for the duration of the write call.
    const VARIANT* PendingWriteValue() const { return m_pendingWrite; }
    void SetPendingWriteValue(const VARIANT* value) { m_pendingWrite = value; }

private:
    std::uint16_t m_address = 0;
    std::uint8_t m_code = 0;
    std::uint8_t m_accessMode = 0;
    // Held inline: an image is at most three registers, and a server holds over
    // a million items, so a heap block per item would cost more than the bytes.
    std::uint8_t m_imageRegisters = 0;
    std::uint8_t m_image[6] = {};
    std::atomic<CDeviceExchange*> m_exchange{nullptr};
    CLevelTag* m_owner = nullptr;
    const VARIANT* m_pendingWrite = nullptr;
};
