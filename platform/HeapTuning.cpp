#include "platform/HeapTuning.h"

#include <malloc.h>

void ReturnFreedMemoryPromptly()
{
    // Setting either one fixes both: glibc stops adjusting them.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
}
