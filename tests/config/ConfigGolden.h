#pragma once
// Configuration files written by hand from the layout tables of the file
// format, never by the program's writer, and the trees they describe.
#include "config/LevelRoot.h"
#include "transports/ChannelFactory.h"
#include "transports/LevelChannelCOM.h"
#include "transports/LevelChannelTCP.h"
#include "transports/LevelChannelUDP.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CGoldenFile {
   public:
    // The signature {2F0E23B7-DB3A-4716-9ED1-3625DCC864AE} and version 1.
    CGoldenFile()
    {
        m_bytes = {0xB7, 0x23, 0x0E, 0x2F, 0x3A, 0xDB, 0x16, 0x47,
                   0x9E, 0xD1, 0x36, 0x25, 0xDC, 0xC8, 0x64, 0xAE};
        U32(1);
    }
    CGoldenFile& U8(uint8_t v)
    {
        m_bytes.push_back(v);
        return *this;
    }
    CGoldenFile& U16(uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
    CGoldenFile& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
    CGoldenFile& Raw(std::initializer_list<uint8_t> bytes)
    {
        m_bytes.insert(m_bytes.end(), bytes);
        return *this;
    }
    CGoldenFile& Utf16(std::u16string_view text)
    {
        for (const char16_t c : text) {
            U16(c);
        }
        return *this;
    }
    // Record header (count, kind, reserved 0, name length) and the name.
    CGoldenFile& Header(uint32_t children, uint8_t kind, std::u16string_view name)
    {
        return U32(children).U8(kind).U8(0).U16(static_cast<uint16_t>(name.size())).Utf16(name);
    }
    CGoldenFile& Root(uint32_t channels, uint32_t enabled = 1, uint32_t sizeKb = 5000)
    {
        return Header(channels, 1, u"Каналы связи").U32(enabled).U32(sizeKb);
    }
    // The 120-byte settings block and the key.
    struct Settings {
        uint32_t responseTimeout = 3000;
        uint8_t attempts = 3;
        uint32_t pause = 100;
        uint32_t pollPeriod = 0;
        uint8_t slave = 1;
        std::array<uint32_t, 24> pasModels{};
        std::u16string key;
    };
    CGoldenFile& Block(const Settings& s)
    {
        U32(s.responseTimeout).U8(s.attempts).Raw({0, 0, 0}).U32(s.pause).U32(s.pollPeriod);
        U8(s.slave).Raw({0, 0, 0});
        for (const uint32_t m : s.pasModels) {
            U32(m);
        }
        return U16(static_cast<uint16_t>(s.key.size())).Raw({0, 0}).Utf16(s.key);
    }

    const std::vector<uint8_t>& Bytes() const { return m_bytes; }
    std::string Text() const { return std::string(m_bytes.begin(), m_bytes.end()); }

   private:
    std::vector<uint8_t> m_bytes;
};

// Builds a tree of real channels, not initialised.
template <class Channel>
Channel& AddChannel(CLevelRoot& root, const char* name)
{
    auto channel = std::make_unique<Channel>();
    channel->SetName(name);
    Channel& added = *channel;
    root.AddLevel(std::move(channel));
    return added;
}

inline constexpr const char* kEmptyPasJson =
    "[0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]";

struct GoldenCase {
    const char* m_name;
    size_t m_size;
    std::function<void(CLevelRoot&)> m_build;
    std::vector<uint8_t> m_bytes;
    std::string m_json;  // what vireo-config show --json prints
};

inline std::vector<GoldenCase> GoldenCases()
{
    using S = CGoldenFile::Settings;
    const std::string statistics = "{\"statistics\": {\"enabled\": 1, \"sizeKb\": 5000}, \"channels\": ";
    const std::string common =
        std::string("\"responseTimeoutMs\": 3000, \"attempts\": 3, \"pauseMs\": 100, ") +
        "\"pollPeriodMs\": 0, \"slave\": 1, \"pasModels\": " + kEmptyPasJson;
    S key;
    key.key = u"ключ5";
    S serial;
    serial.attempts = 10;
    serial.pause = 500;
    serial.pollPeriod = 250;
    serial.slave = 7;
    serial.pasModels[0] = 1;
    serial.pasModels[23] = 1;
    return {
        {"DefaultRoot", 60, [](CLevelRoot&) {}, CGoldenFile().Root(0).Bytes(), statistics + "[]}\n"},
        {"DefaultUdpChannel", 60 + 8 + 18 + 120 + 12,
         [](CLevelRoot& root) { AddChannel<CLevelChannelUDP>(root, "Vireo-2_1"); },
         CGoldenFile().Root(1).Header(0, 4, u"Vireo-2_1").Block(S{}).U32(0).U32(5001).U32(6001).Bytes(),
         statistics + "[ {\"name\": \"Vireo-2_1\", \"kind\": \"udp\", " + common +
             ", \"key\": \"\", \"address\": \"0.0.0.0\", \"remotePort\": 5001, \"localPort\": 6001} ]}\n"},
        {"KeyOfFiveCharacters", 60 + 8 + 4 + 120 + 10 + 12,
         [](CLevelRoot& root) { AddChannel<CLevelChannelUDP>(root, "К1").SetKey("ключ5"); },
         CGoldenFile().Root(1).Header(0, 4, u"К1").Block(key).U32(0).U32(5001).U32(6001).Bytes(),
         statistics + "[ {\"name\": \"К1\", \"kind\": \"udp\", " + common +
             ", \"key\": \"ключ5\", \"address\": \"0.0.0.0\", \"remotePort\": 5001, \"localPort\": 6001} "
             "]}\n"},
        {"IpAddressLowByteFirst", 60 + 8 + 2 + 120 + 12,
         [](CLevelRoot& root) {
             AddChannel<CLevelChannelTCP>(root, "T").ConnectionSettings().m_ipAddress = 0xC0A8010A;
         },
         CGoldenFile()
             .Root(1)
             .Header(0, 3, u"T")
             .Block(S{})
             .Raw({10, 1, 168, 192})
             .U32(502)
             .U32(5000)
             .Bytes(),
         statistics + "[ {\"name\": \"T\", \"kind\": \"tcp\", " + common +
             ", \"key\": \"\", \"address\": \"192.168.1.10\", \"port\": 502, \"connectTimeoutMs\": 5000} "
             "]}\n"},
        {"SerialChannelAndStatistics", 60 + 8 + 8 + 120 + 12,
         [](CLevelRoot& root) {
             root.SetStatisticsEnabled(0);
             root.SetStatisticsSizeLimit(100);
             auto& com = AddChannel<CLevelChannelCOM>(root, "COM3");
             com.PortSettings() = {3, 19200, 2};
             CChannelSettings& s = com.Settings();
             s.m_attempts = 10;
             s.m_pauseBeforeRequest = 500;
             s.m_pollPeriod = 250;
             s.m_slaveAddress = 7;
             s.m_pasModels[0] = s.m_pasModels[23] = 1;
         },
         CGoldenFile().Root(1, 0, 100).Header(0, 2, u"COM3").Block(serial).U32(3).U32(19200).U32(2).Bytes(),
         "{\"statistics\": {\"enabled\": 0, \"sizeKb\": 100}, \"channels\": [ {\"name\": \"COM3\", "
         "\"kind\": \"serial\", \"responseTimeoutMs\": 3000, \"attempts\": 10, \"pauseMs\": 500, "
         "\"pollPeriodMs\": 250, \"slave\": 7, \"pasModels\": [1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "
         "0, "
         "0, 0, 0, 0, 0, 0, 0, 1], \"key\": \"\", \"port\": 3, \"baud\": 19200, \"parity\": 2} ]}\n"},
    };
}
