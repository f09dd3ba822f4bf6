#include "config/ChannelForm.h"

#include "config/ConfigurationImage.h"
#include "platform/MessageBox.h"
#include "platform/Text.h"
#include "transports/LevelChannelCOM.h"
#include "transports/LevelChannelTCP.h"
#include "transports/LevelChannelUDP.h"

#include <algorithm>
#include <initializer_list>
#include <vector>

namespace {

constexpr uint32_t kBaudRates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 76800};

CFormRefusal Warning(ChannelField field, std::string text)
{
    return {field, std::move(text), kWarningCaption, MB_ICONEXCLAMATION};
}

CFormRefusal Error(ChannelField field, std::string text)
{
    return {field, std::move(text), "Ошибка", MB_ICONERROR};
}

std::optional<CFormRefusal> CheckNumber(uint8_t kind, ChannelField field, int64_t value)
{
    if (field == ChannelField::BaudRate) {
        if (std::find(std::begin(kBaudRates), std::end(kBaudRates), value) != std::end(kBaudRates)) {
            return std::nullopt;
        }
        std::string list;
        for (const uint32_t rate : kBaudRates) {
            list += (list.empty() ? "" : ", ") + std::to_string(rate);
        }
        return Warning(field, "Выберите скорость обмена из списка: " + list + ".");
    }
    const std::optional<CFieldRange> range = ChannelFieldRange(kind, field);
    if (!range || (value >= range->m_min && value <= range->m_max)) {
        return std::nullopt;
    }
    return Warning(field, "Введите целое число от " + std::to_string(range->m_min) + " до " +
                              std::to_string(range->m_max) + ".");
}

std::optional<CFormRefusal> CheckLength(ChannelField field, const std::string& text, size_t maxChars)
{
    if (Utf8ToUtf16(text).size() <= maxChars) {
        return std::nullopt;
    }
    return Warning(field, "Введите не более " + std::to_string(maxChars) + " символов.");
}

// One field of a page, checked in the page's order: a number against its
// range, or a key against its length.
struct Step {
    ChannelField m_field;
    int64_t m_number = 0;
    const std::string* m_text = nullptr;
};

std::optional<CFormRefusal> CheckSteps(uint8_t kind, std::initializer_list<Step> steps)
{
    for (const Step& step : steps) {
        std::optional<CFormRefusal> refusal =
            step.m_text != nullptr ? CheckLength(step.m_field, *step.m_text, kChannelKeyMaxChars)
                                   : CheckNumber(kind, step.m_field, step.m_number);
        if (refusal) {
            return refusal;
        }
    }
    return std::nullopt;
}

std::optional<CFormRefusal> CheckPage(const CSerialPage& p)
{
    using F = ChannelField;
    return CheckSteps(kKindChannelCOM, {{F::PortNumber, p.m_portNumber},
                                        {F::Attempts, p.m_attempts},
                                        {F::ResponseTimeout, p.m_responseTimeout},
                                        {F::BaudRate, p.m_baudRate},
                                        {F::Parity, p.m_parity},
                                        {F::Pause, p.m_pause}});
}

std::optional<CFormRefusal> CheckPage(const CTcpPage& p)
{
    using F = ChannelField;
    return CheckSteps(kKindChannelTCP, {{F::Port, p.m_port},
                                        {F::ConnectTimeout, p.m_connectTimeout},
                                        {F::ResponseTimeout, p.m_responseTimeout},
                                        {F::Attempts, p.m_attempts},
                                        {F::Pause, p.m_pause},
                                        {F::Key, 0, &p.m_key},
                                        {F::PollPeriod, p.m_pollPeriod}});
}

std::optional<CFormRefusal> CheckPage(const CUdpPage& p)
{
    using F = ChannelField;
    return CheckSteps(kKindChannelUDP, {{F::RemotePort, p.m_remotePort},
                                        {F::LocalPort, p.m_localPort},
                                        {F::ResponseTimeout, p.m_responseTimeout},
                                        {F::Attempts, p.m_attempts},
                                        {F::Pause, p.m_pause},
                                        {F::Key, 0, &p.m_key},
                                        {F::PollPeriod, p.m_pollPeriod}});
}

// What another channel of the same kind must not share with the form.
std::optional<CFormRefusal> CheckAgainst(const CSerialPage& mine, const CSerialPage& other)
{
    if (mine.m_portNumber == other.m_portNumber) {
        return Error(ChannelField::PortNumber, "Канал с указанным номером COM-порта уже существует");
    }
    return std::nullopt;
}

std::optional<CFormRefusal> CheckAddress(uint32_t mine, uint32_t other)
{
    if (mine == other) {
        return Warning(ChannelField::IpAddress, "Задан уже используемый IP-адрес");
    }
    return std::nullopt;
}

std::optional<CFormRefusal> CheckAgainst(const CTcpPage& mine, const CTcpPage& other)
{
    return CheckAddress(mine.m_ipAddress, other.m_ipAddress);
}

std::optional<CFormRefusal> CheckAgainst(const CUdpPage& mine, const CUdpPage& other)
{
    if (std::optional<CFormRefusal> refusal = CheckAddress(mine.m_ipAddress, other.m_ipAddress)) {
        return refusal;
    }
    if (mine.m_localPort == other.m_localPort) {
        return Warning(ChannelField::LocalPort, "Заданный локальный порт уже используется");
    }
    return std::nullopt;
}

// The first value of used, counted up while used holds it; fallback when
// used is empty. Ends after at most used.size() steps.
template <class T>
T NextFree(const std::vector<T>& used, T fallback)
{
    T value = used.empty() ? fallback : used.front();
    while (std::find(used.begin(), used.end(), value) != used.end()) {
        ++value;
    }
    return value;
}

// The pages of the root's channels whose page is a Page, in order.
template <class Page>
std::vector<Page> PagesOf(const CLevelRoot& root)
{
    std::vector<Page> pages;
    for (size_t i = 0; i < root.LevelCount(); ++i) {
        if (const CLevelChannel* channel = root.ChannelAt(i)) {
            CChannelForm form = ChannelFormOf(*channel);
            if (Page* page = std::get_if<Page>(&form.m_page)) {
                pages.push_back(std::move(*page));
            }
        }
    }
    return pages;
}

void SetNetworkSettings(CChannelSettings& s, int64_t responseTimeout, int64_t attempts, int64_t pause,
                        int64_t pollPeriod)
{
    s.m_responseTimeout = static_cast<uint32_t>(responseTimeout);
    s.m_attempts = static_cast<uint8_t>(attempts);
    s.m_pauseBeforeRequest = static_cast<uint32_t>(pause);
    s.m_pollPeriod = static_cast<uint32_t>(pollPeriod);
}

}  // namespace

uint8_t CChannelForm::Kind() const
{
    static constexpr uint8_t kKinds[] = {kKindChannelCOM, kKindChannelTCP, kKindChannelUDP};
    return kKinds[m_page.index()];
}

std::optional<CFieldRange> ChannelFieldRange(uint8_t kind, ChannelField field)
{
    using F = ChannelField;
    const bool serial = kind == kKindChannelCOM;
    const bool network = kind == kKindChannelTCP || kind == kKindChannelUDP;
    switch (field) {
        case F::Attempts:
            return CFieldRange{1, 20};
        case F::ResponseTimeout:
            return CFieldRange{50, serial ? 30000 : 60000};
        case F::Pause:
            return CFieldRange{0, 10000};
        case F::PortNumber:
            return serial ? std::optional<CFieldRange>(CFieldRange{1, 1000}) : std::nullopt;
        case F::Parity:
            return serial ? std::optional<CFieldRange>(CFieldRange{0, 4}) : std::nullopt;
        case F::Port:
            return kind == kKindChannelTCP ? std::optional<CFieldRange>(CFieldRange{0, 999999})
                                           : std::nullopt;
        case F::ConnectTimeout:
            return kind == kKindChannelTCP ? std::optional<CFieldRange>(CFieldRange{50, 60000})
                                           : std::nullopt;
        case F::RemotePort:
        case F::LocalPort:
            return kind == kKindChannelUDP ? std::optional<CFieldRange>(CFieldRange{1, 65535}) : std::nullopt;
        case F::PollPeriod:
            return network ? std::optional<CFieldRange>(CFieldRange{0, 600000}) : std::nullopt;
        case F::StatisticsSize:
            return CFieldRange{100, 60000};
        default:
            return std::nullopt;
    }
}

std::span<const uint32_t> SerialBaudRates()
{
    return kBaudRates;
}

CChannelForm NewChannelForm(const CLevelRoot& root, uint8_t kind)
{
    CChannelForm form;
    uint32_t n = root.CountKind(kKindChannelCOM) + root.CountKind(kKindChannelTCP) +
                 root.CountKind(kKindChannelUDP) + 1;
    do {
        form.m_name = "Vireo-2_" + std::to_string(n++);
    } while (root.FindLevel(form.m_name) != nullptr);

    if (kind == kKindChannelCOM) {
        form.m_page = CSerialPage{};
    } else if (kind == kKindChannelTCP) {
        CTcpPage page;
        std::vector<uint32_t> addresses;
        for (const CTcpPage& other : PagesOf<CTcpPage>(root)) {
            addresses.push_back(other.m_ipAddress);
        }
        page.m_ipAddress = NextFree(addresses, page.m_ipAddress);
        form.m_page = page;
    } else {
        CUdpPage page;
        std::vector<uint32_t> addresses;
        std::vector<int64_t> localPorts;
        for (const CUdpPage& other : PagesOf<CUdpPage>(root)) {
            addresses.push_back(other.m_ipAddress);
            localPorts.push_back(other.m_localPort);
        }
        page.m_ipAddress = NextFree(addresses, page.m_ipAddress);
        page.m_localPort = NextFree(localPorts, page.m_localPort);
        form.m_page = page;
    }
    return form;
}

CChannelForm ChannelFormOf(const CLevelChannel& channel)
{
    CChannelForm form;
    form.m_name = channel.GetName();
    const CChannelSettings& s = channel.Settings();
    std::copy(std::begin(s.m_pasModels), std::end(s.m_pasModels), form.m_pasModels.begin());
    if (const auto* com = dynamic_cast<const CLevelChannelCOM*>(&channel)) {
        const CComPortSettings& port = com->PortSettings();
        form.m_page = CSerialPage{port.m_portNumber, s.m_attempts,  s.m_responseTimeout,
                                  port.m_baudRate,   port.m_parity, s.m_pauseBeforeRequest};
    } else if (const auto* tcp = dynamic_cast<const CLevelChannelTCP*>(&channel)) {
        const CTcpConnectionSettings& c = tcp->ConnectionSettings();
        form.m_page = CTcpPage{c.m_ipAddress,       c.m_tcpPort,   c.m_connectionTimeout,
                               s.m_responseTimeout, s.m_attempts,  s.m_pauseBeforeRequest,
                               channel.GetKey(),    s.m_pollPeriod};
    } else if (const auto* udp = dynamic_cast<const CLevelChannelUDP*>(&channel)) {
        const CUdpDatagramSettings& d = udp->DatagramSettings();
        form.m_page = CUdpPage{d.m_ipAddress, d.m_remotePort,         d.m_localPort,    s.m_responseTimeout,
                               s.m_attempts,  s.m_pauseBeforeRequest, channel.GetKey(), s.m_pollPeriod};
    }
    return form;
}

void ApplyChannelForm(const CChannelForm& form, CLevelChannel& channel)
{
    channel.SetName(form.m_name);
    CChannelSettings& s = channel.Settings();
    std::copy(form.m_pasModels.begin(), form.m_pasModels.end(), std::begin(s.m_pasModels));
    if (const auto* p = std::get_if<CSerialPage>(&form.m_page)) {
        SetNetworkSettings(s, p->m_responseTimeout, p->m_attempts, p->m_pause, s.m_pollPeriod);
        if (auto* com = dynamic_cast<CLevelChannelCOM*>(&channel)) {
            com->PortSettings() = {static_cast<uint32_t>(p->m_portNumber),
                                   static_cast<uint32_t>(p->m_baudRate), static_cast<uint32_t>(p->m_parity)};
        }
    } else if (const auto* p = std::get_if<CTcpPage>(&form.m_page)) {
        SetNetworkSettings(s, p->m_responseTimeout, p->m_attempts, p->m_pause, p->m_pollPeriod);
        channel.SetKey(p->m_key);
        if (auto* tcp = dynamic_cast<CLevelChannelTCP*>(&channel)) {
            tcp->ConnectionSettings() = {p->m_ipAddress, static_cast<uint32_t>(p->m_port),
                                         static_cast<uint32_t>(p->m_connectTimeout)};
        }
    } else if (const auto* p = std::get_if<CUdpPage>(&form.m_page)) {
        SetNetworkSettings(s, p->m_responseTimeout, p->m_attempts, p->m_pause, p->m_pollPeriod);
        channel.SetKey(p->m_key);
        if (auto* udp = dynamic_cast<CLevelChannelUDP*>(&channel)) {
            udp->DatagramSettings() = {p->m_ipAddress, static_cast<uint32_t>(p->m_remotePort),
                                       static_cast<uint32_t>(p->m_localPort)};
        }
    }
}

std::optional<CFormRefusal> CheckChannelLimit(const CLevelRoot& root)
{
    const uint32_t channels =
        root.CountKind(kKindChannelCOM) + root.CountKind(kKindChannelTCP) + root.CountKind(kKindChannelUDP);
    if (channels < kMaxChannels) {
        return std::nullopt;
    }
    return Warning(ChannelField::None, "Добавлено максимально возможное количество приборов");
}

std::optional<CFormRefusal> CheckChannelForm(const CChannelForm& form, const CLevelRoot& root,
                                             const CLevelChannel* edited)
{
    if (std::optional<CFormRefusal> refusal =
            CheckLength(ChannelField::Name, form.m_name, kChannelNameMaxChars)) {
        return refusal;
    }
    if (std::optional<CFormRefusal> refusal =
            std::visit([](const auto& page) { return CheckPage(page); }, form.m_page)) {
        return refusal;
    }
    if (form.m_name.find(kPathSeparator) != std::string::npos) {
        return Warning(ChannelField::Name, "Имя содержит запрещенный символ '.'");
    }
    for (size_t i = 0; i < root.LevelCount(); ++i) {
        const CLevelChannel* channel = root.ChannelAt(i);
        if (channel == nullptr || channel == edited) {
            continue;
        }
        const CChannelForm other = ChannelFormOf(*channel);
        if (EqualIgnoringCase(form.m_name, other.m_name)) {
            return Error(ChannelField::Name, "Канал с указанным именем уже существует");
        }
        if (other.m_page.index() != form.m_page.index()) {
            continue;
        }
        std::optional<CFormRefusal> refusal = std::visit(
            [&other](const auto& mine) {
                return CheckAgainst(mine, std::get<std::decay_t<decltype(mine)>>(other.m_page));
            },
            form.m_page);
        if (refusal) {
            return refusal;
        }
    }
    return std::nullopt;
}

std::optional<CFormRefusal> CheckStatisticsSize(int64_t sizeKb)
{
    return CheckNumber(kKindRoot, ChannelField::StatisticsSize, sizeKb);
}

void ShowRefusal(const CFormRefusal& refusal)
{
    (void)ShowMessageBox(refusal.m_text, refusal.m_caption, MB_OK | refusal.m_icon);
}
