#pragma once
// Listening sockets handed over by a service manager that starts the program
// on demand (systemd socket activation): descriptors from 3 on, announced by
// LISTEN_FDS and meant for the process that LISTEN_PID names.

#include "platform/Socket.h"

#include <vector>

// How many descriptors the variables hand to the process `self`: 0 when they
// are missing, malformed, meant for another process or out of range.
int CountServiceSockets(const char* listenPid, const char* listenFds, long self);

// The sockets handed to this process, first descriptor first; empty when none.
// Removes the variables (a child must not take them for its own) and marks
// the descriptors close-on-exec. Call before any thread starts.
std::vector<SocketHandle> TakeServiceSockets();
