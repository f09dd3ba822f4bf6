#pragma once
#include "ZellDAServer.h"
#include "platform/CriticalSection.h"

#include <cstdint>
#include <functional>
#include <vector>

class CDATag;
class CDebugLog;
class CLevelChannel;
class CLevelRoot;

// What the DA callback reaches of the process, handed over by its owner.
struct CDACallbackContext {
    // Guards the configuration tree against the toolkit's threads.
    CCriticalSection& configurationLock;
    // The tree's root, asked with the configuration lock held; null when there is none.
    std::function<CLevelRoot*()> root;
    // The debug log, null until start-up creates it.
    std::function<CDebugLog*()> debugLog;
};

// The program's side of the DA toolkit: it finds items by their IDs in the
// configuration tree, answers property requests from the items, and hands
// scans and writes to every channel's device exchange, which runs them at
// once on the calling toolkit thread.
//
// Locks, outermost first: a channel's exchange lock (taken inside Scan and
// Write by the exchanges), the item lock (this object's critical section),
// the configuration lock. AddTag, RemoveTag and GetTagItemID hold the item
// lock and then the configuration lock; ValidateTag and the lookups of the
// property operations hold only the configuration lock, and the property
// operations take the item lock on its own around the copy of an item's
// value, quality and time stamp. Scan and Write hold no lock while an
// exchange runs.
//
// The toolkit hands back only items that AddTag gave it, so every COPCTag
// that reaches this object is a CDATag.
class CDACallback : public COPCCallback {
   public:
    // The fastest update rate offered to clients, in milliseconds.
    static constexpr uint32_t kBaseRate = 1000;
    static constexpr const char* kVendorText = "LLC SPC ZELL";
    // Properties 1 to 6 per item; 101 (the description) is known to LookupItemIDs only.
    static constexpr uint32_t kPropertyCount = 6;
    static constexpr uint32_t kDescriptionProperty = 101;

    explicit CDACallback(CDACallbackContext context);
    ~CDACallback() override;

    HRESULT QueryNumProperties(const char* itemId, uint32_t* count) override;
    HRESULT QueryAvailableProperties(const char* itemId, uint32_t count, uint32_t* propertyIds,
                                     char** descriptions, VARTYPE* types) override;
    HRESULT GetItemProperties(const char* itemId, uint32_t count, const uint32_t* propertyIds,
                              VARIANT* values, HRESULT* errors) override;
    HRESULT LookupItemIDs(const char* itemId, uint32_t count, const uint32_t* propertyIds, char** itemIds,
                          HRESULT* errors) override;

    uint32_t GetBaseRate(uint32_t groupHandle, uint32_t requestedRate) override;
    HRESULT AddTag(uint32_t groupHandle, uint32_t count, const char* const* itemIds,
                   const char* const* accessPaths, const VARTYPE* requestedTypes, COPCTag** tags,
                   HRESULT* errors) override;
    HRESULT ValidateTag(uint32_t groupHandle, uint32_t count, const char* const* itemIds,
                        const char* const* accessPaths, const VARTYPE* requestedTypes,
                        HRESULT* errors) override;
    HRESULT RemoveTag(uint32_t groupHandle, uint32_t count, COPCTag* const* tags) override;
    char* GetTagItemID(COPCTag* tag) override;

    HRESULT Scan(uint32_t count, COPCTag* const* tags, HRESULT* errors) override;
    HRESULT CheckReadRights(uint32_t count, COPCTag* const* tags, HRESULT* errors) override;
    // Every entry that did not reach its device fails (E_FAIL when the
    // transaction failed or no channel holds the item, OPC_E_BADTYPE when the
    // value does not fit the item, OPC_E_BADRIGHTS without write rights), and
    // the answer is then S_FALSE.
    HRESULT Write(uint32_t count, COPCTag* const* tags, const VARIANT* values, HRESULT* errors) override;
    char* GetVendorInfo() override;

    // The item of a tag node at this item ID, or null (a null or empty ID, no
    // such path, or a path that is not a tag's). Nothing is created. The
    // caller holds the configuration lock.
    CDATag* FindItem(const char* itemId) const;

   private:
    // The item lock, then the configuration lock.
    class CItemAndConfigurationLock {
       public:
        explicit CItemAndConfigurationLock(CDACallback& callback)
            : m_item(callback.ItemLock()), m_configuration(callback.m_context.configurationLock)
        {
        }

       private:
        CCriticalSectionLock m_item;
        CCriticalSectionLock m_configuration;
    };

    // E_INVALIDARG, OPC_E_UNKNOWNITEMID or OPC_E_BADTYPE for an entry of
    // AddTag or ValidateTag, else S_OK with its item.
    HRESULT CheckEntry(const char* itemId, VARTYPE requestedType, CDATag** item) const;
    // The channels under the root now, taken under the configuration lock
    // and used after it: a channel leaves the toolkit (DeleteDAItem, which
    // waits for calls in progress) before it is destroyed.
    std::vector<CLevelChannel*> Channels() const;
    void Trace(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

    CDACallbackContext m_context;
    uint32_t m_baseRate = kBaseRate;
};
