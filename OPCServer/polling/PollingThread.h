#pragma once
#include <cstdint>

class CLevelChannel;

// One turn of a channel's polling loop.
inline constexpr uint32_t kPollingTurnMs = 50;
// Longest turn of a channel that has no item in use: it turns at once when a
// client takes an item or the channel is stopped.
inline constexpr uint32_t kIdleTurnMs = 1000;

// Body of a channel's polling thread. Polls the channel's device exchange at
// once and then, at every 50 ms turn, whenever the poll period (read when the
// thread starts) has passed since the start of the previous poll; each turn
// holds the channel's cycle lock while it polls. While no item is in use the
// thread waits for a client instead of turning. Ends at the first turn that finds the run
// flag cleared: 0, or 1 without a channel.
int ChannelPollingThread(CLevelChannel* channel);
