#include "app/CommandLine.h"

#include "ZellDAServer.h"
#include "app/SingleVectors.h"

#include <algorithm>
#include <cctype>

namespace {

bool ContainsIgnoringCase(std::string_view text, std::string_view word)
{
    const auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    return std::search(text.begin(), text.end(), word.begin(), word.end(),
                       [&](char a, char b) { return lower(a) == lower(b); }) != text.end();
}

bool TakeOption(std::string_view argument, std::string_view name, const char* next, std::string* value,
                bool* usedNext)
{
    if (argument == name) {
        if (next == nullptr) {
            return false;
        }
        *value = next;
        *usedNext = true;
        return true;
    }
    *value = std::string(argument.substr(name.size() + 1));
    return true;
}

}  // namespace

CAppOptions ParseAppOptions(int argc, const char* const* argv)
{
    CAppOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument.rfind("--", 0) != 0) {
            if (!options.m_commandLine.empty()) {
                options.m_commandLine += ' ';
            }
            options.m_commandLine += argument;
        } else if (argument == "--help") {
            options.m_help = true;
        } else if (argument == "--version") {
            options.m_version = true;
        } else if (argument == "--listen" || argument.rfind("--listen=", 0) == 0) {
            bool usedNext = false;
            std::string value;
            if (!TakeOption(argument, "--listen", i + 1 < argc ? argv[i + 1] : nullptr, &value, &usedNext)) {
                options.m_error = "--listen needs ADDRESS:PORT";
                return options;
            }
            i += usedNext ? 1 : 0;
            char checked[256];
            if (FAILED(ReadUaListenSetting(nullptr, value.c_str(), checked, sizeof checked))) {
                options.m_error = "--listen: not ADDRESS:PORT: " + value;
                return options;
            }
            options.m_listen = value;
        } else {
            options.m_error = "unknown option " + std::string(argument);
            return options;
        }
    }
    return options;
}

std::vector<std::string_view> CommandTokens(std::string_view commandLine)
{
    std::vector<std::string_view> tokens;
    size_t start = 0;
    while (start <= commandLine.size()) {
        size_t end = commandLine.find('/', start);
        if (end == std::string_view::npos) {
            end = commandLine.size();
        }
        if (end > start) {
            tokens.push_back(commandLine.substr(start, end - start));
        }
        start = end + 1;
    }
    return tokens;
}

uint8_t StartModeOf(std::string_view commandLine)
{
    const std::vector<std::string_view> tokens = CommandTokens(commandLine);
    if (tokens.empty()) {
        return kStartModeNormal;
    }
    uint8_t mode = kStartModeNormal;
    // "unregserver" contains "regserver".
    if (ContainsIgnoringCase(tokens[0], "regserver")) {
        mode = kStartModeRegistration;
    }
    if (ContainsIgnoringCase(tokens[0], "cfg")) {
        mode = kStartModeConfiguration;
    }
    return mode;
}

RunAction RunActionOf(std::string_view commandLine)
{
    for (std::string_view token : CommandTokens(commandLine)) {
        if (ContainsIgnoringCase(token, "unregserver")) {
            return RunAction::Unregister;
        }
        if (ContainsIgnoringCase(token, "regserver")) {
            return RunAction::Register;
        }
        if (ContainsIgnoringCase(token, "cfg")) {
            return RunAction::Configuration;
        }
    }
    return RunAction::Server;
}
