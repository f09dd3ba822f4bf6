#pragma once
// Faults the simulator can inject into its replies, set from the command
// line (--fault SPEC) or while it runs (control socket "fault SPEC").
#include <cstdint>
#include <string>

namespace VireoSim {

struct SimFaults {
    bool silence = false;       // no reply at all
    uint32_t delayMs = 0;       // reply sent this late
    bool corruptCrc = false;    // RTU replies carry a wrong CRC
    uint32_t truncate = 0;      // this many bytes cut off the end of the reply
    uint32_t splitBytes = 0;    // reply sent in pieces of this many bytes ...
    uint32_t splitGapMs = 0;    // ... with this pause between them
    uint8_t foreignUnit = 0;    // reply carries this address instead of ours
    uint8_t exception = 0;      // every request answered with this exception
    uint32_t closeAfter = 0;    // TCP connection closed after this many replies
    bool udpOtherPort = false;  // UDP replies leave from the second port
    uint32_t limit = 0;         // faults clear after this many requests (0: never)

    bool Any() const
    {
        return silence || delayMs || corruptCrc || truncate || splitBytes || foreignUnit || exception ||
               closeAfter || udpOtherPort;
    }
    // "silence=0 delay=0 ..." with every field.
    std::string Describe() const;
};

// Applies one SPEC: NAME or NAME=VALUE (VALUE 0 or "off" switches it off),
// or "clear". Answers an empty string, or what is wrong with SPEC.
std::string ApplyFaultSpec(SimFaults& faults, const std::string& spec);

// The list of SPECs for --help.
const char* FaultHelp();

}  // namespace VireoSim
