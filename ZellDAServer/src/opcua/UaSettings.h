#pragma once
// Where the endpoint listens: "ADDRESS:PORT" ("[IPv6]:PORT"), from the
// command line or the line "listen=" of opcua.ini in the data folder.

#include <cstdint>
#include <string>
#include <string_view>

namespace ua {

extern const char kSettingsFileName[];  // "opcua.ini"

// False for text that is not ADDRESS:PORT with a port from 0 to 65535.
bool ParseListenAddress(std::string_view text, std::string* host, uint16_t* port);
// The address opcua.ini names. The file is created with the default line when
// missing; a missing or bad line gives the default and *problem says why.
std::string ListenAddressFromFile(const std::string& dataFolder, std::string* problem);

}  // namespace ua
