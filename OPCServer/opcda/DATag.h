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
    // Stores the quality with a time taken once for a whole reply.
    void SetQuality(std::uint16_t quality, const FILETIME& stamp)
    {
        m_quality = quality;
        m_timeStamp = stamp;
    }
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

    // A client takes the item: its first reference tells its exchange, which
    // polls the items in use without looking through the whole item space.
    uint32_t AddRef() override;
    // The last reference let go: the exchange drops the item from its list.
    uint32_t Release() override;

    // The exchange's bookkeeping of the items in use (its lock held): the
    // item's place in request order, and whether it is on the in-use list.
    std::uint32_t RequestRank() const { return m_requestRank; }
    void SetRequestRank(std::uint32_t rank) { m_requestRank = rank; }
    bool OnInUseList() const { return m_onInUseList; }
    void SetOnInUseList(bool on) { m_onInUseList = on; }
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
    // These two fill padding: the item stays the same size.
    bool m_onInUseList = false;
    std::uint32_t m_requestRank = 0;
    std::atomic<CDeviceExchange*> m_exchange{nullptr};
    CLevelTag* m_owner = nullptr;
    const VARIANT* m_pendingWrite = nullptr;
};
