#pragma once
#include "config/LevelRoot.h"

#include <ostream>

// The configuration in one line of JSON: the statistics settings, then one
// object per channel in file order, fields in a fixed order.
void PrintConfigurationJson(const CLevelRoot& root, std::ostream& out);
// The configuration as a table for people: the statistics settings, then
// one row per channel.
void PrintConfigurationTable(const CLevelRoot& root, std::ostream& out);
