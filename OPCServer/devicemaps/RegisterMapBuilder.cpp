#include "devicemaps/RegisterMapBuilder.h"

#include "config/LevelChannel.h"
#include "config/LevelTag.h"
#include "devicemaps/DeviceMaps.h"
#include "opcda/DATag.h"

#include <string>

int CRegisterMapBuilder::BuildChannelItems(CLevelChannel* channel)
{
    if (channel == nullptr) return 0;
    m_channel = channel;
    ForEachMapItem(channel->Settings().m_pasModels, [&](const MapItem& item) {
        SetBase(item.base);
        CLevelTag* tag = DefineItem(item.offset, item.access, item.code, item.name);
        if (tag != nullptr && item.name == kWritePasswordItem)
            channel->Exchange().SetWritePasswordItem(tag->Item());
    });
    // Forgotten at once: nothing may define items into a channel that might be gone.
    m_channel = nullptr;
    return 1;
}

CLevelTag* CRegisterMapBuilder::DefineItem(std::uint16_t offset, std::uint8_t accessMode, std::uint8_t code,
                                           std::string_view name)
{
    if (m_channel == nullptr) return nullptr;
    CLevelTag* tag = m_channel->CreatePath(name);
    if (tag == nullptr) return nullptr;
    CDATag* item = tag->Item();
    if (item != nullptr) item->Setup(static_cast<std::uint16_t>(offset + m_base), accessMode, code);
    return tag;
}

CLevelTag* CRegisterMapBuilder::DefineItem(std::uint16_t offset, std::uint8_t accessMode, std::uint8_t code,
                                           std::string_view a, std::string_view b)
{
    std::string name;
    name.reserve(a.size() + b.size() + 1);
    name.append(a).append(1, '.').append(b);
    return DefineItem(offset, accessMode, code, name);
}

CLevelTag* CRegisterMapBuilder::DefineItem(std::uint16_t offset, std::uint8_t accessMode, std::uint8_t code,
                                           std::string_view a, std::string_view b, std::string_view c)
{
    std::string name;
    name.append(a).append(1, '.').append(b).append(1, '.').append(c);
    return DefineItem(offset, accessMode, code, name);
}

CLevelTag* CRegisterMapBuilder::DefineItem(std::uint16_t offset, std::uint8_t accessMode, std::uint8_t code,
                                           std::string_view a, std::string_view b, std::string_view c,
                                           std::string_view d)
{
    std::string name;
    name.append(a).append(1, '.').append(b).append(1, '.').append(c).append(1, '.').append(d);
    return DefineItem(offset, accessMode, code, name);
}
