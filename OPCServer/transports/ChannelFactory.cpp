#include "transports/ChannelFactory.h"

#include "transports/LevelChannelCOM.h"
#include "transports/LevelChannelTCP.h"
#include "transports/LevelChannelUDP.h"

std::unique_ptr<CLevelChannel> CreateChannel(uint8_t kind)
{
    switch (kind) {
        case kKindChannelCOM:
            return std::make_unique<CLevelChannelCOM>();
        case kKindChannelTCP:
            return std::make_unique<CLevelChannelTCP>();
        case kKindChannelUDP:
            return std::make_unique<CLevelChannelUDP>();
        default:
            return nullptr;
    }
}
