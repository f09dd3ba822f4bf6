#include "opcda/DACallback.h"

#include "app/DebugLog.h"
#include "config/LevelRoot.h"
#include "config/LevelTag.h"
#include "opcda/DATag.h"
#include "platform/TaskMem.h"

#include <cstdarg>

CDACallback::CDACallback(CDACallbackContext context) : m_context(std::move(context)) {}

CDACallback::~CDACallback() = default;

CDATag* CDACallback::FindItem(const char* itemId) const
{
    if (itemId == nullptr || *itemId == '\0') {
        return nullptr;
    }
    CLevelRoot* root = m_context.root ? m_context.root() : nullptr;
    CLevelElementBase* found = root != nullptr ? root->FindTag(itemId) : nullptr;
    if (found == nullptr || found->Kind() != kKindTag) {
        return nullptr;
    }
    return static_cast<CLevelTag*>(found)->Item();
}

std::vector<CLevelChannel*> CDACallback::Channels() const
{
    std::vector<CLevelChannel*> channels;
    CCriticalSectionLock lock(m_context.configurationLock);
    if (CLevelRoot* root = m_context.root ? m_context.root() : nullptr) {
        for (size_t i = 0; i < root->ChannelCount(); ++i) {
            if (CLevelChannel* channel = root->ChannelAt(i)) {
                channels.push_back(channel);
            }
        }
    }
    return channels;
}

void CDACallback::Trace(int level, const char* format, ...) const
{
    CDebugLog* log = m_context.debugLog ? m_context.debugLog() : nullptr;
    if (log == nullptr || !log->IsEnabled(kDebugDa, level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    (void)log->TraceV(kDebugDa, level, format, args);
    va_end(args);
}

uint32_t CDACallback::GetBaseRate(uint32_t /*groupHandle*/, uint32_t /*requestedRate*/)
{
    return m_baseRate;
}

char* CDACallback::GetTagItemID(COPCTag* tag)
{
    if (tag == nullptr) {
        return nullptr;
    }
    CItemAndConfigurationLock lock(*this);
    return TaskMemCopyUtf8(static_cast<CDATag*>(tag)->FullName());
}

char* CDACallback::GetVendorInfo()
{
    return TaskMemCopyUtf8(kVendorText);
}
