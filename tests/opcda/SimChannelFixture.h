#pragma once
// The kit simulator on a loopback TCP port with static values and a control
// socket, and channel "Vireo-2_1" to it under the singleton's root.
#include "polling/ExchangeFixture.h"
#include "sim/SimHarness.h"

#include <cstdint>
#include <functional>
#include <string>

class SimChannelTest : public ExchangeTest {
   protected:
    // Starts the simulator; the channel is built on it and speaks plain
    // frames, without a polling thread. adjust sees it before it is
    // initialised (no pause before a request unless adjust sets one).
    CLevelChannel& AddSimChannel(const std::function<void(CLevelChannel&)>& adjust = {});
    // A control command that must succeed; its reply after "ok ".
    std::string Sim(const std::string& command);
    // A counter of the simulator's statistics: requests, accepted, refused.
    uint64_t SimCount(const std::string& name);

    SimTest::SimProcess m_sim;
};
