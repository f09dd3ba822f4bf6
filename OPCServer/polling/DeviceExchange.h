#pragma once
// The road of a register from the socket to the item: the channel's Receive
// (transports/) fills a transaction's response buffer; RunTransaction
// (ExchangeTransaction.cpp) deciphers it with the services' cipher and checks
// it with CModbusFrame; MapReadReply (ExchangePasses.cpp) copies the reply's
// registers out, and DecodeItemValue (devicemaps/) makes each item's value.
#include "platform/HResult.h"
#include "platform/Variant.h"
#include "polling/ExchangeServices.h"
#include "polling/InUseList.h"
#include "polling/ModbusFrame.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class CDATag;
class CLevelChannel;

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
// reading or writing on demand (ReadRequested, WriteRequested). What it uses
// of the process (item lock, cipher, last-exchange timer, statistics and
// trace events) comes from its services.
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
// and debug lines are written with the exchange lock held. A call that has no
// item of this exchange does not wait for its lock.
class CDeviceExchange {
   public:
    static constexpr uint32_t kRegisterBufferSize = 512;
    // Registers of a read request before the last item merged.
    static constexpr uint32_t kRequestLimit = 120;
    // The channel's key in the ANSI code page, zero-padded; the cipher takes
    // the first 16 bytes.
    static constexpr uint32_t kKeyBufferSize = 18;
    // Pause after a lost device before the transport is reopened; a stop of
    // the channel ends it at once.
    static constexpr uint32_t kRecoveryWaitMs = 5000;

    CDeviceExchange();
    ~CDeviceExchange();
    CDeviceExchange(const CDeviceExchange&) = delete;
    CDeviceExchange& operator=(const CDeviceExchange&) = delete;

    void SetChannel(CLevelChannel* channel) { m_channel = channel; }
    CLevelChannel* Channel() const { return m_channel; }

    // Handed over when the channel joins a root, before its thread runs.
    void SetServices(const CExchangeServices& services) { m_services = &services; }
    const CExchangeServices& Services() const { return *m_services; }

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
    // With an item of this exchange the whole call holds the exchange lock:
    // the values point into the caller's array, and no other writer may send
    // them. Without one it takes no lock at all.
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
    void NoteItemLetGo() { m_inUse.LetGo(); }
    // True once a poll found no item in use and no client took one since.
    bool NothingInUse() const { return m_inUse.NothingInUse(); }
    // Waits at most ms while nothing is in use and the channel runs: an idle
    // channel's thread need not turn every 50 ms.
    void WaitForUse(uint32_t ms);
    // Ends a wait for use, a pause before a request or the wait after a lost
    // device (the channel's run flag was cleared).
    void Wake();

    // The link as last reported to the statistics log.
    bool LinkReportedUp() const { return m_linkUp; }
    bool LinkReportedDown() const { return m_linkDown; }

    // Test seam: the pause after a lost device (default kRecoveryWaitMs).
    void SetRecoveryWaitMs(uint32_t ms) { m_recoveryWaitMs.store(ms); }

   private:
    struct RequestSet;
    struct WriteSets;
    using Key = std::array<uint8_t, kKeyBufferSize>;

    // Request sets (ExchangePasses.cpp).
    int RunRequestSet(RequestSet& set);
    bool PlanPass(RequestSet& set);
    void BuildWrite(RequestSet& set, uint32_t start, uint32_t count);
    bool AddTransaction(RequestSet& set, uint32_t start, uint32_t count);
    void CopyImageToSiblings(const CDATag& item);
    bool ExecutePass(RequestSet& set);
    void RecoverFromLostDevice();
    void MapReadReply(RequestSet& set);
    void MapWriteReply(RequestSet& set);
    void RemoveServed(RequestSet& set);
    void ReportLinkUp();
    void ReportLinkDown();
    void AllItemsBad();

    // The steps of WriteRequested (ExchangeRequests.cpp).
    bool OwnsAnyOf(uint32_t count, CDATag* const* items) const;
    WriteResult StoreWritePassword(CDATag& item, const VARIANT& value);
    bool CodecRefuses(CDATag& item, const VARIANT& value);
    void SortWrite(uint32_t count, CDATag* const* items, const VARIANT* values, WriteSets& sets);
    int RunWrite(WriteSets& sets);
    int ReportWrite(uint32_t count, CDATag* const* items, WriteSets& sets, HRESULT* errors,
                    WriteResult* results);

    // The steps of RunTransaction (ExchangeTransaction.cpp).
    void SendRequest(CTransaction& transaction, const Key& key);
    void ReceiveReply(CTransaction& transaction, const Key& key);
    // One receive into the reply; false when nothing more is to be had.
    bool ReceiveEnciphered(CTransaction& transaction, DecryptPacketFunction decrypt, const Key& key);
    bool ReceivePlain(CTransaction& transaction);
    void RecordAttempt(uint8_t status);
    void PrepareFrame();
    uint8_t CheckReply(const CExchangeBuffer& response);

    // Waits up to ms while the channel runs and until() (when given) is
    // false; false when the channel stopped.
    bool WaitWhileRunning(uint32_t ms, const std::function<bool()>& until = {});

    // m_items in request order (stable by sort key), made on the first poll;
    // each item's rank is its place in it. True when the ranks were made now.
    bool RankItems();

    CDATag* m_writePasswordItem = nullptr;
    CModbusFrame m_frame;
    CLevelChannel* m_channel = nullptr;
    const CExchangeServices* m_services = &DetachedExchangeServices();
    std::vector<CDATag*> m_items;
    bool m_linkUp = false;
    bool m_linkDown = false;

    std::vector<CDATag*> m_sortedItems;
    bool m_sortedValid = false;
    CInUseList m_inUse;

    // Enciphered traffic of the transaction in progress (exchange lock held).
    CExchangeBuffer m_work;

    std::atomic<uint32_t> m_recoveryWaitMs{kRecoveryWaitMs};
    // Innermost: nothing is taken while it is held.
    std::mutex m_wakeMutex;
    std::condition_variable m_wakeUp;
};
