#pragma once
// How the C library's heap gives memory back to the system.

// Large blocks are mapped on their own and unmapped when freed, and free
// room at a heap's top goes back beyond a megabyte. By default the thresholds
// rise after the first large block is freed, so a server that once answered
// a huge request (a subscription to every item of a channel) would keep that
// peak resident for life.
void ReturnFreedMemoryPromptly();
