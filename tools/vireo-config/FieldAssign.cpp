#include "FieldAssign.h"

#include "devicemaps/ItemList.h"
#include "transports/ChannelDescribe.h"

#include <charconv>

namespace {

// The fields of a page by their JSON names.
template <class Page>
struct PageFields {
    struct Number {
        const char* m_name;
        int64_t Page::*m_member;
    };
    static const Number kNumbers[];
};

template <>
const PageFields<CSerialPage>::Number PageFields<CSerialPage>::kNumbers[] = {
    {"port", &CSerialPage::m_portNumber},
    {"attempts", &CSerialPage::m_attempts},
    {"responseTimeoutMs", &CSerialPage::m_responseTimeout},
    {"baud", &CSerialPage::m_baudRate},
    {"parity", &CSerialPage::m_parity},
    {"pauseMs", &CSerialPage::m_pause},
    {nullptr, nullptr}};

template <>
const PageFields<CTcpPage>::Number PageFields<CTcpPage>::kNumbers[] = {
    {"port", &CTcpPage::m_port},
    {"connectTimeoutMs", &CTcpPage::m_connectTimeout},
    {"responseTimeoutMs", &CTcpPage::m_responseTimeout},
    {"attempts", &CTcpPage::m_attempts},
    {"pauseMs", &CTcpPage::m_pause},
    {"pollPeriodMs", &CTcpPage::m_pollPeriod},
    {nullptr, nullptr}};

template <>
const PageFields<CUdpPage>::Number PageFields<CUdpPage>::kNumbers[] = {
    {"remotePort", &CUdpPage::m_remotePort},
    {"localPort", &CUdpPage::m_localPort},
    {"responseTimeoutMs", &CUdpPage::m_responseTimeout},
    {"attempts", &CUdpPage::m_attempts},
    {"pauseMs", &CUdpPage::m_pause},
    {"pollPeriodMs", &CUdpPage::m_pollPeriod},
    {nullptr, nullptr}};

std::string NotAValue(std::string_view field, std::string_view value, std::string_view what)
{
    return "bad value '" + std::string(value) + "' for " + std::string(field) + ": " + std::string(what);
}

std::string AssignNetwork(std::string& key, uint32_t& address, std::string_view field, std::string_view value)
{
    if (field == "key") {
        key = value;
        return {};
    }
    const std::optional<uint32_t> parsed = ParseIpAddress(value);
    if (!parsed) {
        return NotAValue(field, value, "not an IPv4 address a.b.c.d");
    }
    address = *parsed;
    return {};
}

template <class Page>
std::string AssignPageField(Page& page, std::string_view field, std::string_view value)
{
    for (const auto* n = PageFields<Page>::kNumbers; n->m_name != nullptr; ++n) {
        if (field == n->m_name) {
            const std::optional<int64_t> number = ParseInteger(value);
            if (!number) {
                return NotAValue(field, value, "not an integer");
            }
            page.*(n->m_member) = *number;
            return {};
        }
    }
    if constexpr (!std::is_same_v<Page, CSerialPage>) {
        if (field == "key" || field == "address") {
            return AssignNetwork(page.m_key, page.m_ipAddress, field, value);
        }
    }
    return "no field " + std::string(field) + " on this kind of channel";
}

std::string AssignPasModels(CChannelForm& form, std::string_view value)
{
    // Accepted with or without the brackets and blanks of the JSON output.
    std::string list;
    for (const char c : value) {
        if (c != '[' && c != ']' && c != ' ') {
            list += c;
        }
    }
    const auto models = ParsePasModels(list);
    if (!models) {
        return NotAValue("pasModels", value, "up to 24 models separated by ','");
    }
    for (const uint32_t model : *models) {
        if (model > 1) {
            return NotAValue("pasModels", value, "a model is 0 (ПАС) or 1 (ПАС-300)");
        }
    }
    std::copy(models->begin(), models->end(), form.m_pasModels.begin());
    return {};
}

}  // namespace

std::optional<int64_t> ParseInteger(std::string_view text)
{
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

bool SplitAssignment(std::string_view argument, std::string_view& field, std::string_view& value)
{
    const size_t equals = argument.find('=');
    if (equals == std::string_view::npos) {
        return false;
    }
    field = argument.substr(0, equals);
    value = argument.substr(equals + 1);
    return true;
}

std::string AssignChannelField(CChannelForm& form, std::string_view field, std::string_view value)
{
    if (field == "name") {
        form.m_name = value;
        return {};
    }
    if (field == "pasModels") {
        return AssignPasModels(form, value);
    }
    if (field == "kind") {
        return "the kind of a channel cannot be changed";
    }
    return std::visit([&](auto& page) { return AssignPageField(page, field, value); }, form.m_page);
}
