#include "platform/ThreadId.h"

#include <unistd.h>

uint32_t GetCurrentProcessId()
{
    return static_cast<uint32_t>(::getpid());
}

int GetCurrentThreadId()
{
    // Not cached: a forked child's thread has a new id.
    return static_cast<int>(::gettid());
}
