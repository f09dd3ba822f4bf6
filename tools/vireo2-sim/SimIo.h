#pragma once
// Everything of the simulator that talks to the system: sockets, the serial
// line and pseudo-terminal, signals, the cipher library and the event loop.
// It is the only file of the simulator that includes system headers.
#include "SimOptions.h"

namespace VireoSim {

// Opens the links, prints them and "ready", and serves until SIGINT or
// SIGTERM. Answers the exit status (0, or 1 when a link cannot be opened).
int RunSimulator(const SimOptions& options);

}  // namespace VireoSim
