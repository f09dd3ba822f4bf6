#pragma once
#include <iosfwd>
#include <string>
#include <vector>

// Exit statuses of vireo-config.
inline constexpr int kExitDone = 0;
inline constexpr int kExitRefused = 1;    // a check failed, a bad argument, no such channel: nothing written
inline constexpr int kExitFileFault = 2;  // the file cannot be loaded (it is left as it is) or written

// Runs one vireo-config command line (without the program name): output on
// out, messages on err. Message boxes shown meanwhile go to err as well.
int RunVireoConfig(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
