#include "config/LevelGroup.h"

CLevelGroup::CLevelGroup() : CLevelElementBase(kKindGroup) {}
