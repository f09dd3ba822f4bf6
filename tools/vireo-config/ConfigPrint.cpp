#include "ConfigPrint.h"

#include "transports/ChannelDescribe.h"
#include "transports/LevelChannelCOM.h"
#include "transports/LevelChannelTCP.h"
#include "transports/LevelChannelUDP.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The fields of a channel in output order, values already in JSON.
using Fields = std::vector<std::pair<const char*, std::string>>;

const char* KindName(const CLevelChannel& channel)
{
    switch (channel.Kind()) {
        case kKindChannelCOM:
            return "serial";
        case kKindChannelTCP:
            return "tcp";
        default:
            return "udp";
    }
}

Fields ChannelFields(const CLevelChannel& channel)
{
    const CChannelSettings& s = channel.Settings();
    std::string models = "[";
    for (size_t i = 0; i < CChannelSettings::kPasUnits; ++i) {
        models += (i == 0 ? "" : ", ") + std::to_string(s.m_pasModels[i]);
    }
    models += "]";
    Fields fields = {{"name", JsonString(channel.Name())},
                     {"kind", JsonString(KindName(channel))},
                     {"responseTimeoutMs", std::to_string(s.m_responseTimeout)},
                     {"attempts", std::to_string(s.m_attempts)},
                     {"pauseMs", std::to_string(s.m_pauseBeforeRequest)},
                     {"pollPeriodMs", std::to_string(s.m_pollPeriod)},
                     {"slave", std::to_string(s.m_slaveAddress)},
                     {"pasModels", models},
                     {"key", JsonString(channel.GetKey())}};
    if (const auto* com = dynamic_cast<const CLevelChannelCOM*>(&channel)) {
        const CComPortSettings& p = com->PortSettings();
        fields.insert(fields.end(), {{"port", std::to_string(p.m_portNumber)},
                                     {"baud", std::to_string(p.m_baudRate)},
                                     {"parity", std::to_string(p.m_parity)}});
    } else if (const auto* tcp = dynamic_cast<const CLevelChannelTCP*>(&channel)) {
        const CTcpConnectionSettings& c = tcp->ConnectionSettings();
        fields.insert(fields.end(), {{"address", JsonString(FormatIpAddress(c.m_ipAddress))},
                                     {"port", std::to_string(c.m_tcpPort)},
                                     {"connectTimeoutMs", std::to_string(c.m_connectionTimeout)}});
    } else if (const auto* udp = dynamic_cast<const CLevelChannelUDP*>(&channel)) {
        const CUdpDatagramSettings& d = udp->DatagramSettings();
        fields.insert(fields.end(), {{"address", JsonString(FormatIpAddress(d.m_ipAddress))},
                                     {"remotePort", std::to_string(d.m_remotePort)},
                                     {"localPort", std::to_string(d.m_localPort)}});
    }
    return fields;
}

std::string Connection(const CLevelChannel& channel)
{
    if (const auto* com = dynamic_cast<const CLevelChannelCOM*>(&channel)) {
        const CComPortSettings& p = com->PortSettings();
        return "COM" + std::to_string(p.m_portNumber) + " " + std::to_string(p.m_baudRate) + " 8" +
               CLevelChannelCOM::ParityLetter(p.m_parity) + "1";
    }
    if (const auto* tcp = dynamic_cast<const CLevelChannelTCP*>(&channel)) {
        const CTcpConnectionSettings& c = tcp->ConnectionSettings();
        return FormatIpAddress(c.m_ipAddress) + ":" + std::to_string(c.m_tcpPort) + ", connect " +
               std::to_string(c.m_connectionTimeout) + " ms";
    }
    if (const auto* udp = dynamic_cast<const CLevelChannelUDP*>(&channel)) {
        const CUdpDatagramSettings& d = udp->DatagramSettings();
        return FormatIpAddress(d.m_ipAddress) + ":" + std::to_string(d.m_remotePort) + ", local port " +
               std::to_string(d.m_localPort);
    }
    return "";
}

// Characters, not bytes: names are often Cyrillic.
size_t Width(std::string_view text)
{
    return static_cast<size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

void PrintConfigurationJson(const CLevelRoot& root, std::ostream& out)
{
    out << "{\"statistics\": {\"enabled\": " << root.StatisticsEnabled()
        << ", \"sizeKb\": " << root.StatisticsSizeLimit() << "}, \"channels\": [";
    size_t printed = 0;
    for (size_t i = 0; i < root.LevelCount(); ++i) {
        const CLevelChannel* channel = root.ChannelAt(i);
        if (channel == nullptr) {
            continue;
        }
        out << (printed++ == 0 ? " {" : ", {");
        const Fields fields = ChannelFields(*channel);
        for (size_t f = 0; f < fields.size(); ++f) {
            out << (f == 0 ? "" : ", ") << '"' << fields[f].first << "\": " << fields[f].second;
        }
        out << '}';
    }
    out << (printed == 0 ? "]}" : " ]}") << '\n';
}

void PrintConfigurationTable(const CLevelRoot& root, std::ostream& out)
{
    out << "statistics: " << (root.StatisticsEnabled() != 0 ? "on" : "off") << ", size limit "
        << root.StatisticsSizeLimit() << " KB\n";
    out << "channels: " << root.ChannelCount() << '\n';
    if (root.ChannelCount() == 0) {
        return;
    }
    std::vector<std::vector<std::string>> rows = {
        {"NAME", "KIND", "CONNECTION", "TIMEOUT", "ATTEMPTS", "PAUSE", "POLL", "SLAVE", "KEY", "PAS-300"}};
    for (size_t i = 0; i < root.LevelCount(); ++i) {
        const CLevelChannel* channel = root.ChannelAt(i);
        if (channel == nullptr) {
            continue;
        }
        const CChannelSettings& s = channel->Settings();
        std::string pas300;
        for (size_t unit = 0; unit < CChannelSettings::kPasUnits; ++unit) {
            if (s.m_pasModels[unit] != 0) {
                pas300 += (pas300.empty() ? "" : ",") + std::to_string(unit + 1);
            }
        }
        rows.push_back({channel->GetName(), KindName(*channel), Connection(*channel),
                        std::to_string(s.m_responseTimeout), std::to_string(s.m_attempts),
                        std::to_string(s.m_pauseBeforeRequest), std::to_string(s.m_pollPeriod),
                        std::to_string(s.m_slaveAddress), channel->GetKey().empty() ? "-" : "set",
                        pas300.empty() ? "-" : pas300});
    }
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], Width(row[c]));
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) {
                line.append(widths[c] - Width(row[c]) + 2, ' ');
            }
        }
        out << line << '\n';
    }
}
