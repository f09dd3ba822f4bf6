#pragma once
#include "platform/HResult.h"
#include "platform/Variant.h"
#include "polling/ModbusFrame.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

class CDATag;
class CLevelChannel;

// Entry points of the packet cipher library, as the singleton holds them.
using EncryptPacketFunction = void (*)(const uint8_t* key, const uint8_t* plain, int32_t plainLength,
                                       uint8_t* packet, int32_t* packetLength);
using DecryptPacketFunction = int32_t (*)(const uint8_t* key, const uint8_t* packet, int32_t packetLength,
                                          uint8_t* plain, int32_t* plainLength);

// Status of one transaction.
inline constexpr uint8_t kTransactionNone = 0;        // nothing received (yet)
inline constexpr uint8_t kTransactionDone = 1;        // a valid reply, or none expected
inline constexpr uint8_t kTransactionBadReply = 2;    // CRC mismatch or too long
inline constexpr uint8_t kTransactionIncomplete = 3;  // more bytes needed (or not yet decipherable)
inline constexpr uint8_t kTransactionStopped = 5;     // the channel's run flag was cleared
inline constexpr uint8_t kTransactionFailed = 7;      // any other reply check failure

// A fixed byte buffer of a transaction or of enciphered traffic.
struct CExchangeBuffer {
    static constexpr uint32_t kCapacity = 4000;
    std::array<uint8_t, kCapacity> m_data{};
    uint32_t m_length = 0;

    void Clear()
    {
        m_data.fill(0);
        m_length = 0;
    }
};

// One Modbus request and its reply.
struct CTransaction {
    CExchangeBuffer m_response;
    CExchangeBuffer m_request;
    uint32_t m_start = 0;  // first register requested
    uint32_t m_count = 0;  // registers requested
    uint16_t m_expectedReplyLength = 0;
    uint8_t m_status = kTransactionNone;
};

// Outcome of a write for one item.
enum class WriteResult : uint8_t {
    kNone,           // not an item of this exchange
    kWritten,        // the device acknowledged the registers
    kStored,         // the write password item: kept and sent ahead of later writes
    kNoAnswer,       // not written: no answer from the device, or the channel stopped
    kRefused,        // not written: the value does not convert to the item's type
    kDeviceRefused,  // the device answered with an exception
    kNoRights,       // the item is not writeable
};

// The code a client is given for a write outcome: S_OK for kWritten and
// kStored, OPC_E_BADTYPE for kRefused, OPC_E_BADRIGHTS for kNoRights, E_FAIL
// when the device did not take the value.
HRESULT WriteResultCode(WriteResult result);

// Turns the items of a channel into Modbus transactions and their replies into
// item values. Every channel embeds one. It runs its transactions in the
// calling thread: the channel's polling thread (Poll), or a toolkit thread
// reading or writing on demand (ReadRequested, WriteRequested).
//
// Items are served in passes: the items still to be served, sorted by
// register address, are merged while they have the same access mode and no
// gap lies between them, up to kRequestLimit registers plus the last item
// merged; a pass is one read (function 3) or, for a write, the write password
// item's registers and then the data registers (function 16).
//
// Locks: every pass and every transaction holds the channel's exchange lock
// (re-entrant); item values, qualities and time stamps change under the item
// lock, taken inside the exchange lock, never the other way round. Statistics
// and debug lines are written with the exchange lock held.
class CDeviceExchange {
   public:
    static constexpr uint32_t kRegisterBufferSize = 512;
    // Registers of a read request before the last item merged.
    static constexpr uint32_t kRequestLimit = 120;
    // The channel's key in the ANSI code page, zero-padded; the cipher takes
    // the first 16 bytes.
    static constexpr uint32_t kKeyBufferSize = 18;
    // Pause after a lost device before the transport is reopened; a stop of
    // the channel, looked for every kRecoveryCheckMs, ends it early.
    static constexpr uint32_t kRecoveryWaitMs = 5000;
    static constexpr uint32_t kRecoveryCheckMs = 100;

    CDeviceExchange();
    ~CDeviceExchange();
    CDeviceExchange(const CDeviceExchange&) = delete;
    CDeviceExchange& operator=(const CDeviceExchange&) = delete;

    void SetChannel(CLevelChannel* channel) { m_channel = channel; }
    CLevelChannel* Channel() const { return m_channel; }

    // The items polled and served by this exchange, filled when the channel
    // is built (before any client or thread can reach them) and emptied by
    // its teardown.
    void AddItem(CDATag* item);
    const std::vector<CDATag*>& Items() const { return m_items; }
    // Items emptied and the write password item forgotten.
    void ClearItems();

    // The item "Write_Password" of the device, or null.
    void SetWritePasswordItem(CDATag* item) { m_writePasswordItem = item; }
    CDATag* WritePasswordItem() const { return m_writePasswordItem; }

    // Reads every readable item that a client uses. 1 at once when there is
    // none; else 0 when every item was served, 1 when a pass failed.
    int Poll();

    // Reads the given items now. Items that are not readable get
    // OPC_E_BADRIGHTS; the other entries of errors are left as they are.
    // 0 when every item of this exchange was served, 1 otherwise.
    int ReadRequested(uint32_t count, CDATag* const* items, HRESULT* errors);

    // Writes values (one per item) to the device. Items that are not
    // writeable get OPC_E_BADRIGHTS; items of this exchange get the code of
    // their outcome, and results (when given) the outcome itself. Entries of
    // other exchanges are left as they are. A value for the write password
    // item is only stored in it. Items that are readable but not good are
    // read first, so that bit and field writes start from the device's
    // register. 0 when every item of this exchange was written or stored.
    //
    // The whole call holds the exchange lock: the values point into the
    // caller's array, and no other writer may send them.
    int WriteRequested(uint32_t count, CDATag* const* items, const VARIANT* values, HRESULT* errors,
                       WriteResult* results = nullptr);

    // Runs one transaction over the channel: attempts, pause, drain, the
    // envelope, the receive loop, the reply check and its statistics event.
    // True when the status is done. The caller fills the request and its
    // expected reply length.
    [[nodiscard]] bool RunTransaction(CTransaction& transaction);

    // A client took the first reference to one of the items (CDATag::AddRef):
    // it goes on the in-use list at the next poll, and a polling thread that
    // waits for use wakes.
    void NoteItemTaken(CDATag* item);
    // A client let go of the last reference to one of the items.
    void NoteItemLetGo() { m_letGo.fetch_add(1, std::memory_order_seq_cst); }
    // True once a poll found no item in use and no client took one since.
    bool NothingInUse() const { return m_useEvents.load(std::memory_order_seq_cst) == 0; }
    // Waits at most ms while nothing is in use and the channel runs: an idle
    // channel's thread need not turn every 50 ms.
    void WaitForUse(uint32_t ms);
    // Ends a wait for use (the channel's run flag was cleared).
    void Wake();

    // The link as last reported to the statistics log.
    bool LinkReportedUp() const { return m_linkUp; }
    bool LinkReportedDown() const { return m_linkDown; }

    // Cipher entry points used instead of the singleton's (tests choose the
    // envelope that way); either may be null.
    void SetCipher(EncryptPacketFunction encrypt, DecryptPacketFunction decrypt);
    void UseSingletonCipher() { m_cipherOverride = false; }
    // Test seam: the pause after a lost device (default kRecoveryWaitMs).
    void SetRecoveryWaitMs(uint32_t ms) { m_recoveryWaitMs.store(ms); }

   private:
    struct RequestSet;

    int RunRequestSet(RequestSet& set);
    bool PlanPass(RequestSet& set);
    void BuildWrite(RequestSet& set, uint32_t start, uint32_t count);
    bool AddTransaction(RequestSet& set, uint32_t start, uint32_t count);
    void CopyImageToSiblings(const CDATag& item);
    bool ExecutePass(RequestSet& set);
    void MapReadReply(RequestSet& set);
    void MapWriteReply(RequestSet& set);
    void RemoveServed(RequestSet& set);

    void PrepareFrame();
    uint8_t CheckReply(const CExchangeBuffer& response);
    void CipherEntries(EncryptPacketFunction* encrypt, DecryptPacketFunction* decrypt) const;
    void ReportLinkUp();
    void ReportLinkDown();
    void AllItemsBad();
    void WaitBeforeReopen();
    const std::vector<CDATag*>& SortedItems();
    // The readable items in use, in request order (exchange lock held).
    const std::vector<CDATag*>& ItemsInUse();

    CDATag* m_writePasswordItem = nullptr;
    CModbusFrame m_frame;
    CLevelChannel* m_channel = nullptr;
    std::vector<CDATag*> m_items;
    bool m_linkUp = false;
    bool m_linkDown = false;

    // m_items in request order (stable by sort key), made on the first poll;
    // each item's rank is its place in it.
    std::vector<CDATag*> m_sortedItems;
    bool m_sortedValid = false;
    // The readable items found in use by the last poll, in request order
    // (exchange lock). Clients add to m_taken; a poll moves them here and,
    // after a release, drops the items nobody holds any more, so it never
    // looks at the whole item space.
    std::vector<CDATag*> m_inUse;
    bool m_inUseSorted = true;
    std::mutex m_takenMutex;
    std::vector<CDATag*> m_taken;
    std::atomic<uint32_t> m_letGo{0};

    // Enciphered traffic of the transaction in progress (exchange lock held).
    CExchangeBuffer m_work;

    bool m_cipherOverride = false;
    EncryptPacketFunction m_encrypt = nullptr;
    DecryptPacketFunction m_decrypt = nullptr;
    std::atomic<uint32_t> m_recoveryWaitMs{kRecoveryWaitMs};
    // References taken since the last poll that found no item in use; while
    // it is 0 a poll need not look at the items at all.
    std::atomic<uint32_t> m_useEvents{1};
    // Innermost: nothing is taken while it is held.
    std::mutex m_wakeMutex;
    std::condition_variable m_wakeUp;
};
