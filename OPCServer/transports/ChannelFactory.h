#pragma once
#include "config/LevelChannel.h"

#include <cstdint>
#include <memory>

// A new channel of the kind (kKindChannelCOM, kKindChannelTCP or
// kKindChannelUDP) with every setting at its default, not yet initialised:
// the caller copies the stored or edited settings in and then runs
// Initialise, which opens the transport. Null for any other kind.
std::unique_ptr<CLevelChannel> CreateChannel(uint8_t kind);
