#pragma once
#include "config/LevelElementBase.h"
#include "platform/CriticalSection.h"
#include "polling/DeviceExchange.h"
#include "polling/PollingThread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

// Channel settings exactly as the configuration file stores them (120 bytes,
// little-endian fields at fixed offsets).
struct CChannelSettings {
    static constexpr size_t kPasUnits = 24;

    uint32_t m_responseTimeout = 3000;  // ms to wait for a reply
    uint8_t m_attempts = 3;             // tries per request
    uint8_t m_reserved1[3] = {};
    uint32_t m_pauseBeforeRequest = 100;  // ms slept before each attempt
    uint32_t m_pollPeriod = 0;            // ms between polling passes
    uint8_t m_slaveAddress = 1;           // Modbus slave address of every request
    uint8_t m_reserved2[3] = {};
    uint32_t m_pasModels[kPasUnits] = {};  // entry n - 1: model of PAS_n (0 or 1)
    uint16_t m_keyLength = 0;              // UTF-16 units of the key, set when saving
    uint16_t m_reserved3 = 0;
};
static_assert(sizeof(CChannelSettings) == 120);
static_assert(offsetof(CChannelSettings, m_attempts) == 4);
static_assert(offsetof(CChannelSettings, m_pauseBeforeRequest) == 8);
static_assert(offsetof(CChannelSettings, m_pollPeriod) == 12);
static_assert(offsetof(CChannelSettings, m_slaveAddress) == 16);
static_assert(offsetof(CChannelSettings, m_pasModels) == 20);
static_assert(offsetof(CChannelSettings, m_keyLength) == 116);

// What the channel dialogs accept. A value outside, from a damaged or
// foreign file, is kept and shown as stored but used within the range, so
// that no wait becomes endless.
inline constexpr uint32_t kMinResponseTimeoutMs = 50;
inline constexpr uint32_t kMaxResponseTimeoutMs = 60000;
inline constexpr uint32_t kMaxPauseBeforeRequestMs = 10000;

// Channel states, set by the transports.
inline constexpr uint32_t kChannelOpeningFailed = 2;
inline constexpr uint32_t kChannelOpen = 3;
inline constexpr uint32_t kChannelClosed = 4;

// A communication channel: the transport-independent part. The transports
// (serial, TCP, UDP) derive from it and supply Open, Close, Send, Receive.
//
// Locks, in the order they may be nested: the cycle lock (the polling thread
// only, around each turn), the exchange lock (polling thread and toolkit
// threads, around each pass and transaction), then the transport's own lock,
// the item lock and the configuration lock. Nobody waits for the polling
// thread while holding one of its locks.
//
// A concrete channel's destructor must call Shutdown() first: Shutdown
// closes the transport, which cannot be reached from this destructor.
class CLevelChannel : public CLevelElementBase {
   public:
    // Body of the polling thread, given the channel; the polling engine provides it.
    using ThreadRoutine = int (*)(CLevelChannel* channel);

    ~CLevelChannel() override;

    // State closed, no thread, run flag set. Transports call this first,
    // then open themselves.
    void Initialise() override;
    // Run flag cleared, thread stopped, Teardown, Close.
    void Shutdown() override;

    // The record adds the settings block and the key; each kind then adds
    // its own block of three u32 values.
    size_t Save(CConfigWriter& out) const override;
    size_t Load(CConfigReader& in) override;

    // Transport operations. Open answers 0 on success. Send and Receive
    // take a byte pointer and a pointer to the length (Receive overwrites it
    // with the count received) and answer 0 on success; both called with no
    // buffer and no length they drain pending input.
    //
    // The base Send and Receive are the frame traces: every transport calls
    // CLevelChannel::Send before it sends and CLevelChannel::Receive after it
    // received, with the count received. They write "Write<n>: .." and
    // "Read<n>: .." when the debug log's COMMON category is at level 1, skip
    // a null buffer or length, and answer 1.
    virtual int Open() = 0;
    virtual void Close() = 0;
    virtual int Send(uint8_t* bytes, uint32_t* length) = 0;
    virtual int Receive(uint8_t* bytes, uint32_t* length) = 0;
    // One row of the channel's property list; false when there is no such row.
    virtual bool Describe(uint32_t row, std::string& label, std::string& value);

    // How the exchange frames requests on this channel: RTU unless the
    // transport carries Modbus TCP.
    virtual int32_t FrameMode() const { return CModbusFrame::kModeRtu; }
    // Discards input that belongs to no request, before every attempt:
    // Receive and Send with no buffer, which the transports take as a drain.
    virtual void DropPendingInput();

    // Creates the channel's item space from the device maps, hands the items
    // to the exchange for polling and defines every item to the DA toolkit.
    // Runs on a channel whose item space is empty (new, or after Teardown).
    int Build();
    // Hands the item of every tag of the subtree to the exchange, depth first:
    // the element, its tag list, then its level list.
    void CollectItems();
    // The channel's items leave the DA toolkit, its groups and tags are
    // deleted, the exchange forgets its items and its write password item.
    void Teardown();

    // Applies changed settings to a running channel, in this order: stop the
    // thread, Close, Teardown, apply, Build, Open, start the thread on
    // routine. Answers what starting answers. The caller holds none of the
    // channel's locks (the stop waits for the thread).
    int Restart(const std::function<void(CLevelChannel&)>& applySettings,
                ThreadRoutine routine = &ChannelPollingThread);

    // Polling thread. A start while a thread is held does nothing; starting
    // answers 1 (0 only without a routine). A failed thread creation leaves
    // no thread, so start can be called again.
    int StartThread(ThreadRoutine routine = &ChannelPollingThread);
    // Clears the run flag and waits for the thread to end.
    void StopThread();
    void ClearRunFlag()
    {
        m_runFlag.store(0);
        m_exchange.Wake();
    }
    uint32_t RunFlag() const { return m_runFlag.load(); }
    bool HasThread() const { return m_thread.joinable(); }
    std::thread::id ThreadId() const { return m_threadId; }

    uint32_t State() const { return m_state.load(); }
    void SetState(uint32_t state) { m_state.store(state); }

    CChannelSettings& Settings() { return m_settings; }
    const CChannelSettings& Settings() const { return m_settings; }
    // The settings as the channel waits them: within the dialog's ranges.
    uint32_t ResponseTimeoutMs() const;
    uint32_t PauseBeforeRequestMs() const;

    // Like SetName: null changes nothing, empty leaves no key.
    void SetKey(const char* text);
    void SetKey(std::string_view text);
    // The key, empty when none is set.
    std::string GetKey() const { return m_key; }

    CCriticalSection& ExchangeLock() { return m_exchangeLock; }
    CCriticalSection& CycleLock() { return m_cycleLock; }

    // The channel's device exchange; it knows the channel from Initialise on.
    CDeviceExchange& Exchange() { return m_exchange; }
    const CDeviceExchange& Exchange() const { return m_exchange; }

   protected:
    explicit CLevelChannel(uint8_t kind) : CLevelElementBase(kind) {}
    // The longest response timeout the kind's dialog accepts.
    virtual uint32_t MaxResponseTimeoutMs() const { return kMaxResponseTimeoutMs; }

    // The kind's own block at the end of the record (three u32 values).
    virtual void SaveKindBlock(CConfigWriter& /*out*/) const {}
    virtual void LoadKindBlock(CConfigReader& /*in*/) {}

   private:
    std::string m_key;
    CChannelSettings m_settings;
    std::atomic<uint32_t> m_state{kChannelClosed};
    // Written by the stopping thread, read by the polling thread every turn.
    std::atomic<uint32_t> m_runFlag{0};
    std::thread m_thread;
    std::thread::id m_threadId;
    CCriticalSection m_exchangeLock;
    CCriticalSection m_cycleLock;
    CDeviceExchange m_exchange;
};
