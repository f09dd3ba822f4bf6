#pragma once
// In-process client front of the DA toolkit: what a connected OPC client can do,
// as a C++ object. Tests and tools use it directly; network fronts (the OPC UA
// endpoint) map their sessions onto it, so every front shares one server core.
//
// All operations may be called from any thread. Results follow OPC DA: S_OK when
// every entry succeeded, S_FALSE when some entry failed (see the per-entry codes),
// a failure code when the call as a whole was refused.

#include "ZellDAServer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The client's connection is gone (disconnected, or the server stopped).
constexpr HRESULT RPC_E_DISCONNECTED = MakeHResult(0x80010108u);
// A group name that the client already uses.
constexpr HRESULT OPC_E_DUPLICATENAME = MakeHResult(0xC004000Cu);
// Quality of a cache read from an inactive item or group.
constexpr uint16_t OPC_QUALITY_OUT_OF_SERVICE = 0x1C;

// A VARIANT that owns its contents.
class CDAVariant {
   public:
    CDAVariant() { VariantInit(&m_v); }
    explicit CDAVariant(const VARIANT& v)
    {
        VariantInit(&m_v);
        VariantCopy(&m_v, &v);
    }
    CDAVariant(const CDAVariant& o) : CDAVariant(o.m_v) {}
    CDAVariant(CDAVariant&& o) noexcept : m_v(o.m_v) { VariantInit(&o.m_v); }
    CDAVariant& operator=(const CDAVariant& o)
    {
        if (this != &o) VariantCopy(&m_v, &o.m_v);
        return *this;
    }
    CDAVariant& operator=(CDAVariant&& o) noexcept
    {
        if (this != &o) {
            VariantClear(&m_v);
            m_v = o.m_v;
            VariantInit(&o.m_v);
        }
        return *this;
    }
    ~CDAVariant() { VariantClear(&m_v); }

    VARIANT& Get() { return m_v; }
    const VARIANT& Get() const { return m_v; }

   private:
    VARIANT m_v;
};

enum class DADataSource { Cache, Device };

struct DABrowseEntry {
    std::string name;    // the last segment
    std::string itemId;  // the full dotted path
    bool isItem = false;
    bool hasChildren = false;
};

struct DAItemDef {
    DAItemDef() = default;
    DAItemDef(std::string id, VARTYPE type = VT_EMPTY, bool isActive = true, uint32_t handle = 0,
              std::string path = std::string())
        : itemId(std::move(id)),
          accessPath(std::move(path)),
          requestedType(type),
          active(isActive),
          clientHandle(handle)
    {
    }
    std::string itemId;
    std::string accessPath;
    VARTYPE requestedType = VT_EMPTY;  // VT_EMPTY: the canonical type
    bool active = true;
    uint32_t clientHandle = 0;
};

struct DAItemResult {
    HRESULT error = S_OK;
    uint32_t serverHandle = 0;  // 0 when the entry failed
    VARTYPE canonicalType = VT_EMPTY;
    uint32_t accessRights = 0;
};

// One item of a group. The item ID and the access path are the program's
// answers for the item (GetTagItemID, GetTagAccessPath), not the text the
// client added it with.
struct DAItemAttributes {
    uint32_t clientHandle = 0;
    uint32_t serverHandle = 0;
    std::string itemId;
    std::string accessPath;  // empty: none
    bool active = true;
    VARTYPE requestedType = VT_EMPTY;
    VARTYPE canonicalType = VT_EMPTY;
    uint32_t accessRights = 0;
};

struct DAItemState {
    uint32_t clientHandle = 0;
    uint32_t serverHandle = 0;
    HRESULT error = S_OK;
    uint16_t quality = OPC_QUALITY_BAD;
    FILETIME timeStamp{};
    CDAVariant value;
};

struct DAProperty {
    uint32_t id = 0;
    std::string description;
    VARTYPE type = VT_EMPTY;
};

struct DAServerStatus {
    OPCSERVERSTATE state = OPC_STATUS_NOCONFIG;
    FILETIME startTime{};
    FILETIME currentTime{};
    FILETIME lastUpdateTime{};  // last data change sent to this client
    uint32_t groupCount = 0;    // this client's groups
    std::string vendorInfo;
};

// Where a client hears from the server. Called on a toolkit thread with no toolkit
// lock held; the sink may call the client's operations, but should return soon:
// one thread serves every group.
class IDAClientSink {
   public:
    virtual ~IDAClientSink() = default;
    // Active items of an active group whose value, quality or time stamp changed
    // since the last report (every active item in the first report).
    virtual void OnDataChange(uint32_t groupClientHandle, const std::vector<DAItemState>& items) = 0;
    // The server is stopping; the connection is gone when this returns.
    virtual void OnServerShutdown() {}
};

class ZELLDA_API CDAClient {
   public:
    CDAClient();
    ~CDAClient();  // disconnects
    CDAClient(const CDAClient&) = delete;
    CDAClient& operator=(const CDAClient&) = delete;

    // E_FAIL while the server is not running; S_FALSE when already connected.
    // The sink (may be null) must outlive the connection.
    HRESULT Connect(const char* clientName, IDAClientSink* sink = nullptr);
    // Removes the client's groups and items; waits for a data change being
    // delivered to the sink unless called from inside it. S_FALSE when not connected.
    HRESULT Disconnect();
    bool IsConnected() const;

    HRESULT GetStatus(DAServerStatus* status);
    // Children of a dotted path (null or empty: the top level). S_FALSE: no children;
    // OPC_E_UNKNOWNITEMID: no such path; E_INVALIDARG: a malformed path.
    HRESULT Browse(const char* path, std::vector<DABrowseEntry>* children);

    // A null or empty name gets a unique one. The update rate is revised by the server.
    HRESULT AddGroup(const char* name, bool active, uint32_t requestedRate, uint32_t clientHandle,
                     uint32_t* groupHandle, uint32_t* revisedRate);
    HRESULT RemoveGroup(uint32_t groupHandle);
    HRESULT SetGroupName(uint32_t groupHandle, const char* name);
    HRESULT SetGroupActive(uint32_t groupHandle, bool active);
    HRESULT SetGroupUpdateRate(uint32_t groupHandle, uint32_t requestedRate, uint32_t* revisedRate);

    HRESULT AddItems(uint32_t groupHandle, const std::vector<DAItemDef>& items,
                     std::vector<DAItemResult>* results);
    // The checks of AddItems; no item is touched, so types and rights stay empty.
    HRESULT ValidateItems(uint32_t groupHandle, const std::vector<DAItemDef>& items,
                          std::vector<DAItemResult>* results);
    HRESULT RemoveItems(uint32_t groupHandle, const std::vector<uint32_t>& serverHandles,
                        std::vector<HRESULT>* errors);
    HRESULT SetActiveState(uint32_t groupHandle, const std::vector<uint32_t>& serverHandles, bool active,
                           std::vector<HRESULT>* errors);
    // Every item of the group, by server handle. S_FALSE: the group holds none.
    HRESULT GetItemAttributes(uint32_t groupHandle, std::vector<DAItemAttributes>* items);

    // Cache: the items' current members (OPC_QUALITY_OUT_OF_SERVICE when the item or
    // its group is inactive). Device: asks the program to read the devices first.
    HRESULT Read(uint32_t groupHandle, DADataSource source, const std::vector<uint32_t>& serverHandles,
                 std::vector<DAItemState>* states);
    HRESULT Write(uint32_t groupHandle, const std::vector<uint32_t>& serverHandles,
                  const std::vector<CDAVariant>& values, std::vector<HRESULT>* errors);

    HRESULT QueryAvailableProperties(const char* itemId, std::vector<DAProperty>* properties);
    HRESULT GetItemProperties(const char* itemId, const std::vector<uint32_t>& propertyIds,
                              std::vector<CDAVariant>* values, std::vector<HRESULT>* errors);
    HRESULT LookupItemIDs(const char* itemId, const std::vector<uint32_t>& propertyIds,
                          std::vector<std::string>* itemIds, std::vector<HRESULT>* errors);

   private:
    std::atomic<uint32_t> m_id{0};  // the server's client ID, 0 when not connected
};
