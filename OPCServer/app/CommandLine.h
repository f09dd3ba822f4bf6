#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The program's arguments. Arguments that begin with "--" are this system's
// own options; every other argument belongs to the command line of "/"
// tokens, the arguments joined by blanks as one text, as the server's
// clients and scripts have always passed it ("/regserver", "/cfg").
struct CAppOptions {
    bool m_help = false;
    bool m_version = false;
    // --listen ADDRESS:PORT (or --listen=ADDRESS:PORT): where the OPC UA
    // endpoint listens, checked by the endpoint's own reading of addresses;
    // empty when not given.
    std::string m_listen;
    std::string m_commandLine;
    // Why the arguments cannot be used; empty when they can.
    std::string m_error;
};

CAppOptions ParseAppOptions(int argc, const char* const* argv);

// The non-empty pieces of the command line between "/" separators.
std::vector<std::string_view> CommandTokens(std::string_view commandLine);

// The start mode from the first token: 2 when it contains "unregserver" or
// "regserver", 1 when it contains "cfg" (tested afterwards, so it wins), 0
// otherwise; case-insensitive.
uint8_t StartModeOf(std::string_view commandLine);

// What the run does, from the first token that names an action.
enum class RunAction {
    Server,
    Configuration,
    Register,
    Unregister,
};
// Every token in turn: "unregserver" first (it contains "regserver"), then
// "regserver", then "cfg"; case-insensitive substrings.
RunAction RunActionOf(std::string_view commandLine);
