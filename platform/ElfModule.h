#pragma once
#include <cstddef>
#include <cstdint>

// Where an address lies in terms that survive relocation: the loaded module
// (executable or shared library) that holds it, the section of that module's
// file and the offset in the section. Signal-safe: no allocation, no stdio,
// and no lock of the loader's (the modules are found in the process's list of
// mappings), so a fault while another thread loads a library is reported too.
struct ModuleAddress {
    char path[4096];   // the module's file, "" when no module holds the address
    uint32_t section;  // index in the module's section table (the first real section is 1), 0 when none
    uint64_t offset;   // from the start of that section
};

// False (and an empty path, section and offset 0) when no loaded module holds
// the address. A module whose file cannot be read keeps its path with section 0.
bool FindModuleAddress(uint64_t address, ModuleAddress* out);
