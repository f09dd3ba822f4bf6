#pragma once
// A small stand-in for the program's side of the toolkit: item objects kept by ID
// and a callback that resolves, reads and writes them the way the server does.

#include "ZellDAClient.h"
#include "ZellDAServer.h"
#include "platform/TaskMem.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

inline constexpr CLSID kTestClsid = {
    0x5D1E8A42, 0x7C3B, 0x4F06, {0x9A, 0x2D, 0x1B, 0x8E, 0x6F, 0x0C, 0x4A, 0x37}};
inline const std::string kRoot = "Каналы связи";

// Texts handed to the toolkit belong to it.
inline char* NewText(const std::string& s)
{
    return TaskMemCopyUtf8(s);
}

class CFakeTag : public COPCTag {
   public:
    std::string m_id;
};

class CFakeProgram : public COPCCallback {
   public:
    uint32_t m_baseRate = 20;
    std::atomic<int> m_calls{0};
    std::atomic<bool> m_stopped{false};  // set by a test once StopDAServer has returned
    std::atomic<int> m_callsAfterStop{0};
    std::atomic<int> m_scans{0};
    std::atomic<int> m_writes{0};
    std::atomic<int> m_removeTagCalls{0};
    std::function<void()> m_onScan;  // runs inside Scan, before the values are set
    std::mutex m_writtenMutex;
    std::vector<std::pair<std::string, int32_t>> m_written;

    // Creates an item object and defines its ID to the toolkit.
    CFakeTag* Add(const std::string& id, VARTYPE type = VT_UI2,
                  uint32_t rights = OPC_READABLE | OPC_WRITEABLE)
    {
        auto tag = std::make_unique<CFakeTag>();
        tag->m_id = id;
        tag->m_canonicalType = type;
        tag->m_value.vt = type;
        tag->m_accessRights = rights;
        tag->m_quality = OPC_QUALITY_UNCERTAIN;
        GetSystemTimeAsFileTime(&tag->m_timeStamp);
        CFakeTag* raw = tag.get();
        m_tags[id] = std::move(tag);
        DefineDAItem(id.c_str());
        return raw;
    }
    CFakeTag* Find(const char* id)
    {
        if (!id || !*id) return nullptr;
        auto it = m_tags.find(id);
        return it == m_tags.end() ? nullptr : it->second.get();
    }
    // Sets a value as the polling engine does: under the item lock, with a new time stamp.
    void Set(CFakeTag* tag, uint16_t value, uint16_t quality = OPC_QUALITY_GOOD)
    {
        CCriticalSectionLock lock(ItemLock());
        tag->m_value.uiVal = value;
        tag->m_quality = quality;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        // Two changes within one clock tick still get distinct stamps.
        if (FileTimeToUInt64(now) <= FileTimeToUInt64(tag->m_timeStamp))
            now = UInt64ToFileTime(FileTimeToUInt64(tag->m_timeStamp) + 1);
        tag->m_timeStamp = now;
    }

    // Every item a new good value at once, as one poll of a whole channel.
    void SetAll(uint16_t value)
    {
        CCriticalSectionLock lock(ItemLock());
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        for (auto& [id, tag] : m_tags) {
            tag->m_value.uiVal =
                tag->m_canonicalType == VT_BOOL ? (value & 1 ? VARIANT_TRUE : VARIANT_FALSE) : value;
            tag->m_quality = OPC_QUALITY_GOOD;
            tag->m_timeStamp = now;
        }
    }

    HRESULT QueryNumProperties(const char* itemId, uint32_t* count) override
    {
        Note();
        if (!Find(itemId)) return OPC_E_UNKNOWNITEMID;
        *count = 2;
        return S_OK;
    }
    HRESULT QueryAvailableProperties(const char* itemId, uint32_t count, uint32_t* ids, char** descriptions,
                                     VARTYPE* types) override
    {
        Note();
        CFakeTag* tag = Find(itemId);
        if (!tag) return OPC_E_UNKNOWNITEMID;
        static const char* kNames[] = {"Item Canonical DataType", "Item Value"};
        for (uint32_t i = 0; i < count && i < 2; ++i) {
            ids[i] = i + 1;
            descriptions[i] = NewText(kNames[i]);
            types[i] = i == 0 ? VARTYPE{VT_I2} : tag->m_canonicalType;
        }
        return S_OK;
    }
    HRESULT GetItemProperties(const char* itemId, uint32_t count, const uint32_t* ids, VARIANT* values,
                              HRESULT* errors) override
    {
        Note();
        CFakeTag* tag = Find(itemId);
        if (!tag) return OPC_E_UNKNOWNITEMID;
        HRESULT result = S_OK;
        for (uint32_t i = 0; i < count; ++i) {
            errors[i] = S_OK;
            if (ids[i] == 1) {
                values[i].vt = VT_I2;
                values[i].iVal = static_cast<int16_t>(tag->m_canonicalType);
            } else if (ids[i] == 2) {
                CCriticalSectionLock lock(ItemLock());
                VariantCopy(&values[i], &tag->m_value);
            } else {
                errors[i] = OPC_E_INVALID_PID;
                result = S_FALSE;
            }
        }
        return result;
    }
    HRESULT LookupItemIDs(const char* itemId, uint32_t count, const uint32_t* ids, char** texts,
                          HRESULT* errors) override
    {
        Note();
        if (!Find(itemId)) return OPC_E_UNKNOWNITEMID;
        HRESULT result = S_OK;
        for (uint32_t i = 0; i < count; ++i) {
            if (ids[i] == 101) {
                texts[i] = NewText("Item Description");
                errors[i] = S_OK;
            } else {
                errors[i] = 1;
                result = S_FALSE;
            }
        }
        return result;
    }
    uint32_t GetBaseRate(uint32_t, uint32_t) override
    {
        Note();
        return m_baseRate;
    }
    HRESULT AddTag(uint32_t, uint32_t count, const char* const* ids, const char* const*, const VARTYPE* types,
                   COPCTag** tags, HRESULT* errors) override
    {
        Note();
        CCriticalSectionLock lock(ItemLock());
        HRESULT result = S_OK;
        for (uint32_t i = 0; i < count; ++i) {
            CFakeTag* tag = Find(ids[i]);
            tags[i] = nullptr;
            errors[i] = !ids[i] || !*ids[i]                                        ? E_INVALIDARG
                        : !tag                                                     ? OPC_E_UNKNOWNITEMID
                        : types[i] != VT_EMPTY && types[i] != tag->m_canonicalType ? OPC_E_BADTYPE
                                                                                   : S_OK;
            if (FAILED(errors[i])) {
                result = S_FALSE;
                continue;
            }
            tag->AddRef();
            tags[i] = tag;
        }
        return result;
    }
    HRESULT ValidateTag(uint32_t, uint32_t count, const char* const* ids, const char* const*,
                        const VARTYPE* types, HRESULT* errors) override
    {
        Note();
        HRESULT result = S_OK;
        for (uint32_t i = 0; i < count; ++i) {
            CFakeTag* tag = Find(ids[i]);
            errors[i] = !tag                                                       ? OPC_E_UNKNOWNITEMID
                        : types[i] != VT_EMPTY && types[i] != tag->m_canonicalType ? OPC_E_BADTYPE
                                                                                   : S_OK;
            if (FAILED(errors[i])) result = S_FALSE;
        }
        return result;
    }
    HRESULT RemoveTag(uint32_t, uint32_t count, COPCTag* const* tags) override
    {
        Note();
        ++m_removeTagCalls;
        CCriticalSectionLock lock(ItemLock());
        for (uint32_t i = 0; i < count; ++i)
            if (tags[i] && tags[i]->InUse()) tags[i]->Release();
        return S_OK;
    }
    char* GetTagItemID(COPCTag* tag) override
    {
        Note();
        return tag ? NewText(static_cast<CFakeTag*>(tag)->m_id) : nullptr;
    }
    HRESULT Scan(uint32_t count, COPCTag* const* tags, HRESULT* errors) override
    {
        Note();
        ++m_scans;
        if (m_onScan) m_onScan();
        for (uint32_t i = 0; i < count; ++i) {
            errors[i] = tags[i]->m_accessRights & OPC_READABLE ? S_OK : OPC_E_BADRIGHTS;
            if (SUCCEEDED(errors[i])) {
                CFakeTag* tag = static_cast<CFakeTag*>(tags[i]);
                CCriticalSectionLock lock(ItemLock());
                Set(tag, static_cast<uint16_t>(tag->m_value.uiVal + 1));
            }
        }
        return S_OK;
    }
    HRESULT CheckReadRights(uint32_t count, COPCTag* const* tags, HRESULT* errors) override
    {
        Note();
        for (uint32_t i = 0; i < count; ++i)
            errors[i] = tags[i] && (tags[i]->m_accessRights & OPC_READABLE) ? S_OK : OPC_E_BADRIGHTS;
        return S_OK;
    }
    HRESULT Write(uint32_t count, COPCTag* const* tags, const VARIANT* values, HRESULT* errors) override
    {
        Note();
        ++m_writes;
        std::lock_guard lock(m_writtenMutex);
        for (uint32_t i = 0; i < count; ++i) {
            errors[i] = tags[i]->m_accessRights & OPC_WRITEABLE ? S_OK : OPC_E_BADRIGHTS;
            if (SUCCEEDED(errors[i]))
                m_written.emplace_back(static_cast<CFakeTag*>(tags[i])->m_id, values[i].lVal);
        }
        return S_OK;
    }
    char* GetVendorInfo() override
    {
        Note();
        return NewText("LLC SPC ZELL");
    }

   private:
    void Note()
    {
        ++m_calls;
        if (m_stopped.load()) ++m_callsAfterStop;
    }
    std::map<std::string, std::unique_ptr<CFakeTag>> m_tags;
};

// Starts the server with a fake program and stops it (and forgets every ID) afterwards.
class ToolkitFixture {
   public:
    ToolkitFixture()
    {
        SetCallbackObject(&m_program);
        m_started = StartDAServer(nullptr, &kTestClsid);
    }
    ~ToolkitFixture()
    {
        StopDAServer();
        DeleteDAItem(kRoot.c_str());
        SetCallbackObject(nullptr);
    }
    CFakeProgram m_program;
    bool m_started = false;
};

inline std::string Id(const std::string& tail)
{
    return kRoot + "." + tail;
}

// Spins (yielding) until the condition holds; false when the limit ran out first.
template <typename Pred>
bool SpinUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}
