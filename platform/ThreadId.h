#pragma once
#include <cstdint>

// The kernel's ids, as tools such as ps and top show them.
uint32_t GetCurrentProcessId();
int GetCurrentThreadId();
