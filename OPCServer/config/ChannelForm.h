#pragma once
#include "config/LevelChannel.h"
#include "config/LevelRoot.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

// What the channel dialog edits, the defaults of a new channel and the checks
// of the dialog's OK, without any GUI: the operator GUI's dialog and the
// command-line editor run this same code, so a channel is refused for the
// same reason with the same text wherever it is edited.
//
// Numbers are held wide enough for anything an edit field or a command line
// yields, so an out-of-range value is refused by the range check instead of
// wrapping. A form is copied into a channel only after CheckChannelForm.

// The connection page of a serial channel, with the dialog's defaults.
struct CSerialPage {
    int64_t m_portNumber = 1;  // COM n
    int64_t m_attempts = 10;
    int64_t m_responseTimeout = 3000;  // ms
    int64_t m_baudRate = 9600;         // one of SerialBaudRates()
    int64_t m_parity = 0;              // index of ParityName: 0 none .. 4 space
    int64_t m_pause = 500;             // ms before each request

    bool operator==(const CSerialPage&) const = default;
};

// The connection page of a TCP channel. The address is a.b.c.d as
// a * 2^24 + b * 2^16 + c * 2^8 + d; any value is accepted.
struct CTcpPage {
    uint32_t m_ipAddress = 0;
    int64_t m_port = 502;
    int64_t m_connectTimeout = 5000;   // ms
    int64_t m_responseTimeout = 5000;  // ms
    int64_t m_attempts = 3;
    int64_t m_pause = 500;     // ms
    std::string m_key;         // UTF-8; empty: frames travel without the envelope
    int64_t m_pollPeriod = 0;  // ms

    bool operator==(const CTcpPage&) const = default;
};

// The connection page of a UDP channel.
struct CUdpPage {
    uint32_t m_ipAddress = 0;
    int64_t m_remotePort = 5001;
    int64_t m_localPort = 6001;
    int64_t m_responseTimeout = 5000;  // ms
    int64_t m_attempts = 3;
    int64_t m_pause = 500;  // ms
    std::string m_key;
    int64_t m_pollPeriod = 0;  // ms

    bool operator==(const CUdpPage&) const = default;
};

// The whole dialog: the name, the PAS page and the connection page, whose
// alternative is the channel's kind (which the dialog cannot change).
struct CChannelForm {
    std::string m_name;
    std::array<uint32_t, CChannelSettings::kPasUnits> m_pasModels{};  // 0 "ПАС", 1 "ПАС-300"
    std::variant<CSerialPage, CTcpPage, CUdpPage> m_page = CUdpPage{};

    // kKindChannelCOM, kKindChannelTCP or kKindChannelUDP.
    uint8_t Kind() const;

    bool operator==(const CChannelForm&) const = default;
};

// The field a refusal is about, so the dialog can select it and give it the
// focus (and show its page first).
enum class ChannelField {
    None,  // the channel limit: no field
    Name,
    PortNumber,  // serial
    BaudRate,
    Parity,
    IpAddress,   // TCP and UDP
    Port,        // TCP
    RemotePort,  // UDP
    LocalPort,
    ConnectTimeout,
    ResponseTimeout,
    Attempts,
    Pause,
    Key,
    PollPeriod,
    StatisticsSize,  // the statistics settings dialog
};

// A message box that refuses what was entered.
struct CFormRefusal {
    ChannelField m_field = ChannelField::None;
    std::string m_text;
    std::string m_caption;  // "Внимание!" or "Ошибка"
    unsigned m_icon = 0;    // MB_ICONEXCLAMATION or MB_ICONERROR
};

inline constexpr const char* kWarningCaption = "Внимание!";
inline constexpr size_t kChannelNameMaxChars = 64;  // UTF-16 units, as the edit field counts
inline constexpr size_t kChannelKeyMaxChars = 16;

struct CFieldRange {
    int64_t m_min;
    int64_t m_max;
};

// The range enforced on OK for a numeric field of a kind's page; none for
// fields without one (address, key, name) or not on that page.
std::optional<CFieldRange> ChannelFieldRange(uint8_t kind, ChannelField field);
// The rates the serial page offers: 300 doubled while not above 115200.
std::span<const uint32_t> SerialBaudRates();

// A new channel of the kind (the dialog makes UDP channels): the name
// "Vireo-2_<n>" with n from the channel count plus one up to the first free
// one, the page's defaults, PAS models 0; a network page takes the address
// after the first channel's of its kind while a channel of its kind has it,
// and a UDP page likewise the local port.
CChannelForm NewChannelForm(const CLevelRoot& root, uint8_t kind = kKindChannelUDP);
// An existing channel's values.
CChannelForm ChannelFormOf(const CLevelChannel& channel);
// Copies a checked form into a channel of its kind: the name, the PAS models
// and the page's fields. What the page lacks stays (a serial channel's poll
// period and key, every channel's slave address).
void ApplyChannelForm(const CChannelForm& form, CLevelChannel& channel);

// The main window's check before a new channel: the warning "Добавлено
// максимально возможное количество приборов" when the root holds
// kMaxChannels channels.
std::optional<CFormRefusal> CheckChannelLimit(const CLevelRoot& root);
// The dialog's OK, in its order: the name's length, the page's ranges in
// the page's order, a "." in the name, then against every other channel (the
// edited one, null for a new channel, is skipped) the name without regard to
// case and, for the same kind, the COM port, the address, the local port.
// Answers the first refusal, or none when the form may be applied.
std::optional<CFormRefusal> CheckChannelForm(const CChannelForm& form, const CLevelRoot& root,
                                             const CLevelChannel* edited);
// The statistics settings' OK: the size limit in kilobytes, 100..60000.
std::optional<CFormRefusal> CheckStatisticsSize(int64_t sizeKb);

// Shows the refusal through the installed message box.
void ShowRefusal(const CFormRefusal& refusal);
