#include "SimControl.h"

#include <charconv>
#include <sstream>
#include <vector>

namespace VireoSim {

namespace {
// Decimal, or hexadecimal with 0x.
bool ParseWord(const std::string& text, uint32_t max, uint32_t& out)
{
    int base = 10;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        begin += 2;
    }
    uint32_t v = 0;
    auto [stop, ec] = std::from_chars(begin, end, v, base);
    if (text.empty() || ec != std::errc() || stop != end || v > max) return false;
    out = v;
    return true;
}
}  // namespace

std::string CSimControl::Execute(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty()) return "error empty command";
    const std::string& command = words[0];
    if (command == "fault") {
        if (words.size() != 2) return "error usage: fault SPEC";
        std::string err = ApplyFaultSpec(m_engine.Faults(), words[1]);
        return err.empty() ? "ok " + m_engine.Faults().Describe() : "error " + err;
    }
    if (command == "clear") {
        m_engine.Faults() = SimFaults{};
        return "ok " + m_engine.Faults().Describe();
    }
    if (command == "faults") return "ok " + m_engine.Faults().Describe();
    if (command == "stats") {
        return "ok requests=" + std::to_string(m_engine.Requests()) +
               " drops=" + std::to_string(m_engine.Drops()) +
               " accepted=" + std::to_string(m_device.AcceptedCommands()) +
               " refused=" + std::to_string(m_device.RefusedCommands()) +
               " tick=" + std::to_string(m_bank.Tick());
    }
    if (command == "get" || command == "unpin") {
        uint32_t address = 0, count = 1;
        if (words.size() < 2 || words.size() > 3 || !ParseWord(words[1], 65535, address) ||
            (words.size() == 3 && (!ParseWord(words[2], 65536, count) || count == 0)) ||
            address + count > 65536) {
            return "error usage: " + command + " ADDR [COUNT]";
        }
        std::string reply = "ok";
        for (uint32_t a = address; a < address + count; ++a) {
            if (command == "get") {
                reply += " " + std::to_string(m_bank.Get(a));
            } else {
                m_bank.Unpin(a);
            }
        }
        return reply;
    }
    if (command == "set") {
        uint32_t address = 0;
        if (words.size() < 3 || !ParseWord(words[1], 65535, address) ||
            address + (words.size() - 2) > 65536) {
            return "error usage: set ADDR VALUE...";
        }
        std::vector<uint16_t> values;
        for (size_t i = 2; i < words.size(); ++i) {
            uint32_t v = 0;
            if (!ParseWord(words[i], 0xFFFF, v)) return "error bad value '" + words[i] + "'";
            values.push_back(uint16_t(v));
        }
        for (size_t i = 0; i < values.size(); ++i) m_bank.Set(address + uint32_t(i), values[i]);
        return "ok";
    }
    if (command == "tick") {
        m_tick();
        return "ok tick=" + std::to_string(m_bank.Tick());
    }
    if (command == "help") {
        return "ok fault SPEC | clear | faults | stats | get ADDR [COUNT] | set ADDR VALUE... | "
               "unpin ADDR [COUNT] | tick | help";
    }
    return "error unknown command '" + command + "'";
}

}  // namespace VireoSim
