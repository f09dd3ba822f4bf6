#include "ConfigCommands.h"

#include "ConfigPrint.h"
#include "FieldAssign.h"
#include "config/ChannelForm.h"
#include "config/ConfigurationFile.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "transports/ChannelFactory.h"

#include <cstring>
#include <memory>
#include <ostream>
#include <span>
#include <string_view>

namespace {

constexpr const char* kHelp = R"(usage: vireo-config [--file PATH] COMMAND ...
Shows and edits the server's configuration file without the GUI, with the
checks of the channel dialog. PATH defaults to OpcVireo2.cfg in the data
folder. A running server reads the file again on SIGHUP.

Commands:
  show [--json]                  the configuration as a table, or as JSON:
                                 {"statistics": {"enabled", "sizeKb"}, "channels": [...]}
  add KIND NAME [FIELD=VALUE ...]
                                 a new channel of KIND (serial, tcp or udp) named NAME,
                                 with the dialog's defaults and the next free address
                                 and local port, then the fields given
  set NAME FIELD=VALUE ...       changes fields of the channel named NAME
  remove NAME                    removes the channel named NAME
  stats [enabled=0|1] [sizeKb=N] the statistics log's settings (N: 100..60000)
  --help                         this text

Fields (the names of the JSON output):
  every kind   name, responseTimeoutMs, attempts (1..20), pauseMs (0..10000),
               slave (1..247), pasModels (24 models, 0 ПАС or 1 ПАС-300,
               e.g. 0,1,0 or [0, 1, 0]; units not listed get 0)
  serial       port (COM number 1..1000), baud (300, 600, ... 38400, 76800),
               parity (0 none, 1 even, 2 odd, 3 mark, 4 space),
               responseTimeoutMs 50..30000
  tcp          address (a.b.c.d), port (0..999999), connectTimeoutMs (50..60000),
               responseTimeoutMs 50..60000, pollPeriodMs (0..600000), key (16 characters at most)
  udp          address, remotePort, localPort (1..65535), responseTimeoutMs 50..60000,
               pollPeriodMs, key

A channel is refused, with the dialog's message, for a value out of range, a
"." in the name, a name another channel has (without regard to case), the COM
port of another serial channel, the address of another channel of its kind,
the local port of another UDP channel, and when 32 channels exist already.
The file is written to a temporary file and renamed over the old one, so it
is never left half written.

Exit status: 0 done; 1 refused (the message on stderr, nothing written);
2 the file cannot be loaded (wrong signature or version, no root record,
damaged; it is left as it is) or cannot be written.
)";

// Message boxes become lines on the command's error stream.
class CStreamMessageBox : public IMessageBox {
   public:
    explicit CStreamMessageBox(std::ostream& err) : m_err(err) {}
    int Show(std::string_view text, std::string_view caption, unsigned flags) override
    {
        m_err << caption << ": " << text << '\n';
        return DefaultButtonAnswer(flags);
    }

   private:
    std::ostream& m_err;
};

const char* Unloadable(ConfigImageState state)
{
    switch (state) {
        case ConfigImageState::Unreadable:
            return "it cannot be read";
        case ConfigImageState::Short:
            return "it is shorter than the signature";
        case ConfigImageState::WrongSignature:
            return "wrong signature or version";
        case ConfigImageState::NoRoot:
            return "the first record is cut short";
        case ConfigImageState::NotRoot:
            return "the first record is not the root";
        default:
            return nullptr;
    }
}

std::string Damage(const CConfigurationRead& read)
{
    std::string damage;
    auto add = [&damage](const std::string& part) { damage += (damage.empty() ? "" : ", ") + part; };
    if (read.m_cutShort) {
        add("cut short");
    }
    if (read.m_dropped != 0) {
        add(std::to_string(read.m_dropped) + " records beyond 32 channels or below a channel");
    }
    if (read.m_unread != 0) {
        add(std::to_string(read.m_unread) + " bytes after a record of unknown kind");
    }
    return damage;
}

class CCommand {
   public:
    CCommand(std::string path, bool defaultPath, std::ostream& out, std::ostream& err)
        : m_path(std::move(path)), m_defaultPath(defaultPath), m_out(out), m_err(err)
    {
    }

    int Run(std::span<const std::string_view> words)
    {
        const std::string_view command = words.front();
        words = words.subspan(1);
        const bool show = command == "show";
        if (!show && command != "add" && command != "set" && command != "remove" && command != "stats") {
            return Refuse("unknown command '" + std::string(command) + "' (see --help)");
        }
        if (const int status = Load(show); status != kExitDone) {
            return status;
        }
        if (show) {
            return Show(words);
        }
        const int status = command == "add"      ? Add(words)
                           : command == "set"    ? Set(words)
                           : command == "remove" ? Remove(words)
                                                 : Stats(words);
        return status == kExitDone ? Write() : status;
    }

   private:
    int Refuse(const std::string& text)
    {
        m_err << "vireo-config: " << text << '\n';
        return kExitRefused;
    }

    int Refuse(const CFormRefusal& refusal)
    {
        ShowRefusal(refusal);
        return kExitRefused;
    }

    int Load(bool show)
    {
        CConfigurationRead read = ReadConfigurationFile(m_path, false);
        if (const char* reason = Unloadable(read.m_state)) {
            m_err << "vireo-config: " << m_path << " cannot be loaded: " << reason
                  << "; it is left as it is\n";
            return kExitFileFault;
        }
        if (read.m_state == ConfigImageState::Read && !read.Intact()) {
            if (!show) {
                m_err << "vireo-config: " << m_path << " is damaged (" << Damage(read)
                      << "); it is left as it is\n";
                return kExitFileFault;
            }
            m_err << "vireo-config: warning: " << m_path << " is damaged (" << Damage(read)
                  << "); shown as far as it loads\n";
        }
        m_root = read.m_root ? std::move(read.m_root) : std::make_unique<CLevelRoot>();
        return kExitDone;
    }

    int Write()
    {
        std::string folder;
        if (m_defaultPath) {
            (void)CreateDataFolder(&folder);
        }
        ReplaceOutcome outcome;
        if (WriteConfigurationFile(m_path, m_root.get(), {}, &outcome)) {
            return kExitDone;
        }
        m_err << "vireo-config: " << m_path << " not written: " << ReplaceStepName(outcome.failedStep)
              << " failed: " << std::strerror(outcome.error) << "; the old file is left as it was\n";
        return kExitFileFault;
    }

    int Show(std::span<const std::string_view> words)
    {
        if (words.size() > 1 || (words.size() == 1 && words[0] != "--json")) {
            return Refuse("show takes only --json");
        }
        if (words.empty()) {
            PrintConfigurationTable(*m_root, m_out);
        } else {
            PrintConfigurationJson(*m_root, m_out);
        }
        return kExitDone;
    }

    CLevelChannel* Find(std::string_view name)
    {
        return dynamic_cast<CLevelChannel*>(m_root->FindLevel(name));
    }

    // FIELD=VALUE arguments onto the form, the slave address aside (no page
    // has it); then the dialog's checks.
    int Edit(CChannelForm& form, std::span<const std::string_view> assignments, const CLevelChannel* edited,
             CLevelChannel& target)
    {
        std::optional<uint8_t> slave;
        for (const std::string_view argument : assignments) {
            std::string_view field, value;
            if (!SplitAssignment(argument, field, value)) {
                return Refuse("'" + std::string(argument) + "' is not FIELD=VALUE");
            }
            if (field == "slave") {
                const std::optional<int64_t> number = ParseInteger(value);
                if (!number || *number < 1 || *number > 247) {
                    return Refuse("bad value '" + std::string(value) + "' for slave: 1..247");
                }
                slave = static_cast<uint8_t>(*number);
                continue;
            }
            if (const std::string error = AssignChannelField(form, field, value); !error.empty()) {
                return Refuse(error);
            }
        }
        if (const std::optional<CFormRefusal> refusal = CheckChannelForm(form, *m_root, edited)) {
            return Refuse(*refusal);
        }
        ApplyChannelForm(form, target);
        if (slave) {
            target.Settings().m_slaveAddress = *slave;
        }
        return kExitDone;
    }

    int Add(std::span<const std::string_view> words)
    {
        if (words.size() < 2) {
            return Refuse("add needs KIND and NAME");
        }
        const std::string_view kindName = words[0];
        const uint8_t kind = kindName == "serial" ? kKindChannelCOM
                             : kindName == "tcp"  ? kKindChannelTCP
                             : kindName == "udp"  ? kKindChannelUDP
                                                  : 0;
        if (kind == 0) {
            return Refuse("unknown kind '" + std::string(kindName) + "' (serial, tcp or udp)");
        }
        if (const std::optional<CFormRefusal> refusal = CheckChannelLimit(*m_root)) {
            return Refuse(*refusal);
        }
        CChannelForm form = NewChannelForm(*m_root, kind);
        form.m_name = words[1];
        std::unique_ptr<CLevelChannel> channel = CreateChannel(kind);
        if (const int status = Edit(form, words.subspan(2), nullptr, *channel); status != kExitDone) {
            return status;
        }
        m_root->AddLevel(std::move(channel));
        return kExitDone;
    }

    int Set(std::span<const std::string_view> words)
    {
        if (words.size() < 2) {
            return Refuse("set needs NAME and at least one FIELD=VALUE");
        }
        CLevelChannel* channel = Find(words[0]);
        if (channel == nullptr) {
            return Refuse("no channel named '" + std::string(words[0]) + "'");
        }
        CChannelForm form = ChannelFormOf(*channel);
        return Edit(form, words.subspan(1), channel, *channel);
    }

    int Remove(std::span<const std::string_view> words)
    {
        if (words.size() != 1) {
            return Refuse("remove needs NAME");
        }
        const CLevelChannel* channel = Find(words[0]);
        if (channel == nullptr) {
            return Refuse("no channel named '" + std::string(words[0]) + "'");
        }
        m_root->RemoveLevel(channel->FullPath());
        return kExitDone;
    }

    int Stats(std::span<const std::string_view> words)
    {
        if (words.empty()) {
            return Refuse("stats needs enabled=0|1 and/or sizeKb=N");
        }
        uint32_t enabled = m_root->StatisticsEnabled();
        int64_t sizeKb = m_root->StatisticsSizeLimit();
        for (const std::string_view argument : words) {
            std::string_view field, value;
            if (!SplitAssignment(argument, field, value) || (field != "enabled" && field != "sizeKb")) {
                return Refuse("'" + std::string(argument) + "' is not enabled=0|1 or sizeKb=N");
            }
            const std::optional<int64_t> number = ParseInteger(value);
            if (field == "enabled" && (!number || *number < 0 || *number > 1)) {
                return Refuse("bad value '" + std::string(value) + "' for enabled: 0 or 1");
            }
            if (!number) {
                return Refuse("bad value '" + std::string(value) + "' for sizeKb: not an integer");
            }
            if (field == "enabled") {
                enabled = static_cast<uint32_t>(*number);
            } else {
                sizeKb = *number;
            }
        }
        if (const std::optional<CFormRefusal> refusal = CheckStatisticsSize(sizeKb)) {
            return Refuse(*refusal);
        }
        m_root->SetStatisticsEnabled(enabled);
        m_root->SetStatisticsSizeLimit(static_cast<uint32_t>(sizeKb));
        return kExitDone;
    }

    std::string m_path;
    bool m_defaultPath;
    std::ostream& m_out;
    std::ostream& m_err;
    std::unique_ptr<CLevelRoot> m_root;
};

}  // namespace

int RunVireoConfig(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    CStreamMessageBox box(err);
    CScopedMessageBox scoped(&box);
    std::string path;
    std::vector<std::string_view> words;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h") {
            out << kHelp;
            return kExitDone;
        }
        if (words.empty() && arg == "--file") {
            if (i + 1 == args.size()) {
                err << "vireo-config: --file needs a path (see --help)\n";
                return kExitRefused;
            }
            path = args[++i];
        } else if (words.empty() && arg.starts_with("--file=")) {
            path = arg.substr(7);
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) {
        err << "vireo-config: no command (see --help)\n";
        return kExitRefused;
    }
    const bool defaultPath = path.empty();
    if (defaultPath) {
        path = JoinPath(DataFolderPath(), kConfigurationFileName);
    }
    return CCommand(path, defaultPath, out, err).Run(words);
}
