#include "opcua/UaSettings.h"

#include "ZellDAServer.h"
#include "platform/File.h"
#include "platform/Paths.h"

namespace ua {

const char kSettingsFileName[] = "opcua.ini";

namespace {

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

}  // namespace

bool ParseListenAddress(std::string_view text, std::string* host, uint16_t* port)
{
    text = Trim(text);
    std::string_view h, p;
    if (!text.empty() && text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        h = text.substr(1, close - 1);
        p = text.substr(close + 2);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string_view::npos) return false;
        h = text.substr(0, colon);
        p = text.substr(colon + 1);
        if (h.find(':') != std::string_view::npos) return false;  // IPv6 needs its brackets
    }
    if (h.empty() || p.empty() || p.size() > 5) return false;
    uint32_t value = 0;
    for (char c : p) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > 65535) return false;
    *host = std::string(h);
    *port = static_cast<uint16_t>(value);
    return true;
}

std::string ListenAddressFromFile(const std::string& dataFolder, std::string* problem)
{
    problem->clear();
    const std::string path = JoinPath(dataFolder, kSettingsFileName);
    std::string text;
    if (!ReadFileText(path, &text, 65536)) {
        if (!FileExists(path) && !WriteFileText(path, std::string("listen=") + UA_DEFAULT_LISTEN + "\n"))
            *problem = "cannot create " + path;
        return UA_DEFAULT_LISTEN;
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string_view line =
            Trim(std::string_view(text).substr(start, end == std::string::npos ? end : end - start));
        start = end == std::string::npos ? text.size() + 1 : end + 1;
        if (line.substr(0, 7) != "listen=") continue;
        std::string host;
        uint16_t port;
        std::string_view value = Trim(line.substr(7));
        if (ParseListenAddress(value, &host, &port)) return std::string(value);
        *problem = path + ": bad line \"" + std::string(line) + "\", using " + UA_DEFAULT_LISTEN;
        return UA_DEFAULT_LISTEN;
    }
    *problem = path + ": no listen= line, using " + UA_DEFAULT_LISTEN;
    return UA_DEFAULT_LISTEN;
}

}  // namespace ua
