#pragma once
// The simulator's command line.
#include "SimFaults.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace VireoSim {

struct SimEndpoint {
    std::string address = "0.0.0.0";
    uint16_t port = 0;
    bool enabled = false;
};

struct SimOptions {
    SimEndpoint tcp;
    SimEndpoint udp;
    int udpOtherPort = -1;  // -1: any free port
    std::string serial;
    uint32_t baud = 19200;
    char parity = 'N';  // N, E, O
    bool pty = false;
    std::string ptyLink;
    uint8_t slave = 1;
    bool staticValues = false;
    bool churn = false;
    uint32_t periodMs = 1000;
    std::array<uint32_t, 24> pasModels{};
    uint32_t password = 0;
    bool keyGiven = false;
    std::array<uint8_t, 16> key{};
    SimFaults faults;
    std::string control;
    std::string log;  // "-" for stdout
    bool help = false;
};

// Answers an empty string, or the error to print (the caller adds the
// program name and exits with status 2).
std::string ParseOptions(const std::vector<std::string>& args, SimOptions& options);

std::string HelpText();

// The key as the devices hold it: the text in code page 1251, at most 16
// bytes, zero-filled. Answers an empty string or the error.
std::string KeyFromText(const std::string& utf8, std::array<uint8_t, 16>& key);
std::string KeyFromHex(const std::string& hex, std::array<uint8_t, 16>& key);

}  // namespace VireoSim
