#pragma once
// Bounded waits on descriptors, shared by the helpers of this folder.
#include <chrono>

namespace TestSupport {

using Clock = std::chrono::steady_clock;

// Whole milliseconds left until the deadline, never negative.
int LeftMs(Clock::time_point deadline);
// Whether the descriptor becomes readable before the deadline.
bool WaitReadable(int fd, Clock::time_point deadline);

}  // namespace TestSupport
