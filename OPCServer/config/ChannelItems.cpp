// The channel's item space: building it and handing its items to the exchange.
#include "app/SingleVectors.h"
#include "config/LevelChannel.h"
#include "config/LevelTag.h"
#include "opcda/DATag.h"

namespace {

void Collect(const CLevelElementBase& element, CDeviceExchange& exchange)
{
    for (std::size_t i = 0; i < element.TagCount(); ++i) {
        if (CDATag* item = element.TagAt(i)->Item()) {
            exchange.AddItem(item);
            item->SetExchange(&exchange);
        }
    }
    for (std::size_t i = 0; i < element.LevelCount(); ++i) Collect(*element.LevelAt(i), exchange);
}

}  // namespace

int CLevelChannel::Build()
{
    CSingleVectors::Instance().RegisterMapBuilder().BuildChannelItems(this);
    // Collected before they are defined: a client can take an item only once
    // its exchange knows it, so every reference reaches the exchange.
    CollectItems();
    DefineItems();
    return 1;
}

void CLevelChannel::CollectItems()
{
    Collect(*this, m_exchange);
}
