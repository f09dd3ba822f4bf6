#pragma once
// The DA toolkit: the program hands it an item space (DefineDAItem, DeleteDAItem)
// and a callback object; the toolkit serves clients from the program's item objects
// (COPCTag) and calls the callback on its own threads for everything it cannot
// answer itself.
//
// Texts are UTF-8. Texts that the callback returns (descriptions, item IDs, the
// vendor text) are allocated with CoTaskMemAlloc and belong to the toolkit.
//
// Lock order, outermost first: a channel's exchange lock, the item lock
// (COPCCallback::ItemLock), the program's configuration lock, then the toolkit's
// own locks. The toolkit never calls the callback while holding a lock of its own
// that the callback could be waiting for.

#include "platform/CriticalSection.h"
#include "platform/FileTime.h"
#include "platform/HResult.h"
#include "platform/Variant.h"

#include <atomic>
#include <cstdint>

// The library is built with hidden visibility; what carries this is its API. Users
// see the same attribute, so the classes' type information is shared with them.
#define ZELLDA_API __attribute__((visibility("default")))

// A 16-byte class identifier laid out as on Windows.
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
using CLSID = GUID;

inline bool operator==(const GUID& a, const GUID& b)
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

// Success, but the group got an update rate other than the one requested.
constexpr HRESULT OPC_S_UNSUPPORTEDRATE = MakeHResult(0x0004000Du);

// OPC server states as clients see them.
enum OPCSERVERSTATE : uint32_t {
    OPC_STATUS_RUNNING = 1,
    OPC_STATUS_FAILED = 2,
    OPC_STATUS_NOCONFIG = 3,
    OPC_STATUS_SUSPENDED = 4,
    OPC_STATUS_TEST = 5,
};

// One OPC item as the toolkit serves it. The program's item objects derive from it
// and write the public members; the toolkit reads them under the item lock.
// Kept small: a server holds over a million of them.
class ZELLDA_API COPCTag {
   public:
    COPCTag();
    virtual ~COPCTag();
    COPCTag(const COPCTag&) = delete;
    COPCTag& operator=(const COPCTag&) = delete;

    // Client references. Release never frees the object (its owner does) and never
    // counts below zero. Both answer the new count. Safe from any thread.
    virtual uint32_t AddRef();
    virtual uint32_t Release();
    // True while any client holds the item.
    bool InUse() const { return m_refCount.load(std::memory_order_acquire) != 0; }

    VARIANT m_value;          // current value; owned (cleared by the destructor)
    FILETIME m_timeStamp;     // UTC, last change of value or quality
    VARTYPE m_canonicalType;  // VT_EMPTY until the program sets it
    uint16_t m_quality;       // OPC_QUALITY_BAD / _UNCERTAIN / _GOOD
    uint32_t m_accessRights;  // OPC_READABLE | OPC_WRITEABLE

   private:
    std::atomic<uint32_t> m_refCount{0};
};

// The program's side of the toolkit. Operations appear in their vtable order.
// Operations with a body are the toolkit's own answers; a program may override them.
// Arrays passed in have `count` entries; output arrays are allocated by the toolkit
// with `count` entries, zeroed (VARIANTs initialised), before the call.
class ZELLDA_API COPCCallback {
   public:
    COPCCallback();
    virtual ~COPCCallback();
    COPCCallback(const COPCCallback&) = delete;
    COPCCallback& operator=(const COPCCallback&) = delete;

    // Number of properties the item has.
    virtual HRESULT QueryNumProperties(const char* itemId, uint32_t* count) = 0;
    // The first `count` properties: IDs, descriptions (new texts) and types.
    virtual HRESULT QueryAvailableProperties(const char* itemId, uint32_t count, uint32_t* propertyIds,
                                             char** descriptions, VARTYPE* types) = 0;
    // Values of the requested properties, with one result per entry.
    virtual HRESULT GetItemProperties(const char* itemId, uint32_t count, const uint32_t* propertyIds,
                                      VARIANT* values, HRESULT* errors) = 0;
    // Item IDs (or descriptions) for the requested properties as new texts.
    virtual HRESULT LookupItemIDs(const char* itemId, uint32_t count, const uint32_t* propertyIds,
                                  char** itemIds, HRESULT* errors) = 0;

    // State reported to clients while the server runs.
    virtual OPCSERVERSTATE GetServerState();
    // A client creates a group: the toolkit's answer revises the requested update
    // rate to a multiple of GetBaseRate (0 asks for the fastest, the base rate) and
    // answers OPC_S_UNSUPPORTEDRATE when it had to change it.
    virtual HRESULT AddGroup(uint32_t groupHandle, const char* name, bool active, uint32_t requestedRate,
                             uint32_t* revisedRate);
    virtual HRESULT RemoveGroup(uint32_t groupHandle);
    // Refuses a null or empty name with E_INVALIDARG.
    virtual HRESULT SetNameGroup(uint32_t groupHandle, const char* newName);
    virtual HRESULT SetActiveGroup(uint32_t groupHandle, bool active);

    // Fastest update rate in milliseconds.
    virtual uint32_t GetBaseRate(uint32_t groupHandle, uint32_t requestedRate) = 0;
    // Resolves item IDs to items, taking one client reference per item added.
    // requestedTypes VT_EMPTY accepts the canonical type.
    virtual HRESULT AddTag(uint32_t groupHandle, uint32_t count, const char* const* itemIds,
                           const char* const* accessPaths, const VARTYPE* requestedTypes, COPCTag** tags,
                           HRESULT* errors) = 0;
    // The checks of AddTag without touching any item.
    virtual HRESULT ValidateTag(uint32_t groupHandle, uint32_t count, const char* const* itemIds,
                                const char* const* accessPaths, const VARTYPE* requestedTypes,
                                HRESULT* errors) = 0;
    // Drops the client references that AddTag took.
    virtual HRESULT RemoveTag(uint32_t groupHandle, uint32_t count, COPCTag* const* tags) = 0;

    // A client (de)activates items of a group: null tags give E_INVALIDARG entries.
    virtual HRESULT SetActiveTag(uint32_t groupHandle, uint32_t count, COPCTag* const* tags, bool active,
                                 HRESULT* errors);
    // Access path of an item as a new text; the toolkit's answer is null (none).
    virtual char* GetTagAccessPath(COPCTag* tag);
    // The item's ID as a new text, or null.
    virtual char* GetTagItemID(COPCTag* tag) = 0;
    // Engineering-unit limits; the toolkit's answer is S_FALSE (no limits known).
    virtual HRESULT GetTagLimits(COPCTag* tag, double* low, double* high);

    // Fresh values from the devices into the items.
    virtual HRESULT Scan(uint32_t count, COPCTag* const* tags, HRESULT* errors) = 0;
    virtual HRESULT CheckReadRights(uint32_t count, COPCTag* const* tags, HRESULT* errors) = 0;
    // Values to the devices.
    virtual HRESULT Write(uint32_t count, COPCTag* const* tags, const VARIANT* values, HRESULT* errors) = 0;
    // Vendor text as a new text.
    virtual char* GetVendorInfo() = 0;

    // The item lock: the toolkit holds it while it reads COPCTag members, the
    // program while it changes them.
    CCriticalSection& ItemLock() { return m_criticalSection; }

   private:
    CCriticalSection m_criticalSection;
};

extern "C" {

// Writes the local-server registration: the class key with the executable path,
// the ProgID key naming the class, the description and the vendor text.
ZELLDA_API HRESULT RegisterDAServer(CLSID clsid, const char* progId, const char* description,
                                    const char* exePath, const char* vendor);
// Removes what RegisterDAServer wrote for this class and ProgID.
ZELLDA_API HRESULT UnregisterDAServer(CLSID clsid, const char* progId);

// Every client request about items goes to this object (null: none; the toolkit then
// answers clients E_FAIL). The object must outlive StopDAServer.
ZELLDA_API HRESULT SetCallbackObject(COPCCallback* callback);
// Starts serving clients; false when the server cannot start.
ZELLDA_API bool StartDAServer(void* instance, const CLSID* clsid);
// True while any client is connected.
ZELLDA_API bool DAServerInUse();
// Disconnects every client (releasing their items) and waits for calls in progress:
// no callback reaches the program after it returns. Same locking rule as DeleteDAItem.
ZELLDA_API HRESULT StopDAServer();

// Makes a full dotted item ID browsable and addable.
ZELLDA_API HRESULT DefineDAItem(const char* itemId);
// Withdraws the item IDs at and below a dotted path and drops every client
// reference to their items (through RemoveTag) before returning, so the program
// may destroy them. It waits for client calls in progress: call it without holding
// the item lock or the configuration lock.
ZELLDA_API HRESULT DeleteDAItem(const char* path);

// The debug log path and the text of log.ini: the toolkit traces its own client
// events at the DBG_DA_TOOL level into that file.
ZELLDA_API HRESULT SetDebugSettingsDA(const char* logPath, const char* settings);

// StopDAServer, DeleteDAItem and SetCallbackObject wait for the client calls in
// progress to end, however long they take, and trace every `ms` (5 minutes unless
// set) that they are still waiting.
ZELLDA_API void SetDAServerWaitNotice(uint32_t ms);

// ---- OPC UA endpoint ----
// The second client front: opc.tcp, security policy None, anonymous users. An
// OPC UA session is a client of the same core (DAServerInUse counts it), and
// its requests reach the callback through the same operations. Namespace 1
// holds the item space: every node's NodeId is "ns=1;s=" + its dotted path.

// The default listen address: anonymous access without encryption is opened to
// the network only on purpose.
#define UA_DEFAULT_LISTEN "127.0.0.1:4840"

struct UaEndpointOptions {
    const char* listen;  // "ADDRESS:PORT", "[IPv6]:PORT"; null: UA_DEFAULT_LISTEN
    int listenSocket;    // >= 0: a socket already listening (handed over by systemd); -1: bind `listen`
    const char* applicationName;  // null: "OpcVireo2"
    const char* applicationUri;   // null: "urn:" + host name + ":" + applicationName
    const char* productUri;       // null: "urn:" + applicationName
    const char* manufacturer;     // null: the callback's vendor text
    const char* softwareVersion;  // null: ""
    const char* buildNumber;      // null: ""
};

// Starts listening and serving. E_INVALIDARG for a malformed address, E_FAIL
// when the address cannot be bound; either way `error` (when given) receives
// one line saying why. S_FALSE when it already runs.
ZELLDA_API HRESULT StartUaEndpoint(const UaEndpointOptions* options, char* error, uint32_t errorSize);
// Closes every connection and session (releasing their items) and stops
// listening. StopDAServer calls it first.
ZELLDA_API HRESULT StopUaEndpoint();
// The port the endpoint listens on, 0 while it does not.
ZELLDA_API uint16_t UaEndpointPort();
// The listen address to use: `commandLine` (the value of --listen) when it is
// given, else the line "listen=ADDRESS:PORT" of opcua.ini in `dataFolder`; the
// file is created with the default line when missing, and a bad line is traced
// and the default used. E_INVALIDARG for a malformed command-line value.
ZELLDA_API HRESULT ReadUaListenSetting(const char* dataFolder, const char* commandLine, char* address,
                                       uint32_t size);

}  // extern "C"
