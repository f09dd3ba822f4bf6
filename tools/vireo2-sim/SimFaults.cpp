#include "SimFaults.h"

#include <charconv>

namespace VireoSim {

namespace {
bool ParseNumber(const std::string& text, uint32_t max, uint32_t& out)
{
    if (text == "off") {
        out = 0;
        return true;
    }
    if (text == "on") {
        out = 1;
        return max >= 1;
    }
    uint32_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v > max) return false;
    out = v;
    return true;
}
}  // namespace

std::string SimFaults::Describe() const
{
    return "silence=" + std::to_string(silence) + " delay=" + std::to_string(delayMs) +
           " crc=" + std::to_string(corruptCrc) + " truncate=" + std::to_string(truncate) +
           " split=" + std::to_string(splitBytes) + "," + std::to_string(splitGapMs) +
           " foreign=" + std::to_string(foreignUnit) + " exception=" + std::to_string(exception) +
           " close-after=" + std::to_string(closeAfter) + " udp-other-port=" + std::to_string(udpOtherPort) +
           " limit=" + std::to_string(limit);
}

std::string ApplyFaultSpec(SimFaults& faults, const std::string& spec)
{
    if (spec == "clear" || spec == "none") {
        faults = SimFaults{};
        return {};
    }
    size_t eq = spec.find('=');
    std::string name = spec.substr(0, eq);
    bool hasValue = eq != std::string::npos;
    std::string value = hasValue ? spec.substr(eq + 1) : std::string();
    uint32_t v = 0;
    auto number = [&](uint32_t max, uint32_t fallback) {
        if (!hasValue) {
            v = fallback;
            return fallback != 0 || max == 0;
        }
        return ParseNumber(value, max, v);
    };
    std::string bad = "bad fault '" + spec + "'";
    if (name == "silence") {
        if (!number(1, 1)) return bad + ": silence[=0|1]";
        faults.silence = v != 0;
    } else if (name == "delay") {
        if (!number(600000, 0)) return bad + ": delay=MS";
        faults.delayMs = v;
    } else if (name == "crc") {
        if (!number(1, 1)) return bad + ": crc[=0|1]";
        faults.corruptCrc = v != 0;
    } else if (name == "truncate") {
        if (!number(255, 1)) return bad + ": truncate[=BYTES]";
        faults.truncate = v;
    } else if (name == "split") {
        // split=BYTES[,GAP_MS]
        uint32_t bytes = 1, gap = 100;
        if (hasValue) {
            size_t comma = value.find(',');
            if (!ParseNumber(value.substr(0, comma), 255, bytes) ||
                (comma != std::string::npos && !ParseNumber(value.substr(comma + 1), 60000, gap))) {
                return bad + ": split=BYTES[,GAP_MS]";
            }
        }
        faults.splitBytes = bytes;
        faults.splitGapMs = bytes == 0 ? 0 : gap;
    } else if (name == "foreign") {
        if (!number(255, 0)) return bad + ": foreign=ADDRESS";
        faults.foreignUnit = uint8_t(v);
    } else if (name == "exception") {
        if (!number(255, 0)) return bad + ": exception=CODE";
        faults.exception = uint8_t(v);
    } else if (name == "close-after") {
        if (!number(1000000000, 0)) return bad + ": close-after=N";
        faults.closeAfter = v;
    } else if (name == "udp-other-port") {
        if (!number(1, 1)) return bad + ": udp-other-port[=0|1]";
        faults.udpOtherPort = v != 0;
    } else if (name == "limit") {
        if (!number(1000000000, 0)) return bad + ": limit=N";
        faults.limit = v;
    } else {
        return "unknown fault '" + name + "'";
    }
    return {};
}

const char* FaultHelp()
{
    return "      silence[=0|1]        no reply at all (the request is still logged)\n"
           "      delay=MS             reply MS milliseconds late\n"
           "      crc[=0|1]            RTU replies (UDP, serial, pty) carry a wrong CRC\n"
           "      truncate[=BYTES]     cut BYTES (1) off the end of every reply as sent\n"
           "      split=BYTES[,GAP]    send replies in pieces of BYTES, GAP ms (100) apart\n"
           "      foreign=ADDRESS      replies carry slave address ADDRESS instead of ours\n"
           "      exception=CODE       answer every request with exception CODE, executing nothing\n"
           "      close-after=N        close a TCP connection once it has had N replies\n"
           "      udp-other-port[=0|1] UDP replies leave from the second UDP port\n"
           "      limit=N              after N more requests every fault switches off by itself\n"
           "      clear                every fault off\n"
           "    A VALUE of 0 or off switches that fault off.\n";
}

}  // namespace VireoSim
