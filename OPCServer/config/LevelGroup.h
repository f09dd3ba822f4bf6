#pragma once
#include "config/LevelElementBase.h"

// A run-time node of a channel's item space (a device or a register block):
// rebuilt from the device maps with every build, never stored.
class CLevelGroup : public CLevelElementBase {
   public:
    CLevelGroup();
};
