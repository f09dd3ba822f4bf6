#pragma once
// The peers of the transport tests come from tests/support; this adds what
// only these tests need.
#include "polling/ModbusFrame.h"
#include "support/ChildProcess.h"
#include "support/LoopbackSockets.h"
#include "support/ModbusPeers.h"
#include "support/PacketEnvelope.h"
#include "support/PtyPair.h"
#include "support/ScopedEnv.h"

#include <chrono>
#include <cstdint>
#include <functional>

// Reads one reply through a receive function the way the device exchange
// does: asks for the missing bytes again and again until the reply checks
// complete, the expected length is there, or a call brings nothing.
Bytes ReceiveReply(const std::function<int(uint8_t*, uint32_t*)>& receive, const CModbusFrame& frame);

// Milliseconds since the time point (steady clock).
int64_t ElapsedMs(std::chrono::steady_clock::time_point since);
