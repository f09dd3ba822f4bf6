#include "SimOptions.h"

#include "SimRegisters.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iconv.h>

namespace VireoSim {

namespace {
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& out)
{
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v > max) return false;
    out = v;
    return true;
}

// [ADDRESS:]PORT
std::string ParseEndpoint(const std::string& option, const std::string& text, SimEndpoint& endpoint)
{
    size_t colon = text.rfind(':');
    std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    if (colon != std::string::npos) endpoint.address = text.substr(0, colon);
    uint64_t v = 0;
    if (!ParseUnsigned(port, 65535, v)) return option + ": bad port '" + port + "' (0..65535)";
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(endpoint.address.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 ||
        b > 255 || c > 255 || d > 255) {
        return option + ": bad IPv4 address '" + endpoint.address + "'";
    }
    endpoint.port = uint16_t(v);
    endpoint.enabled = true;
    return {};
}
}  // namespace

std::string KeyFromText(const std::string& utf8, std::array<uint8_t, 16>& key)
{
    key.fill(0);
    iconv_t cd = iconv_open("CP1251", "UTF-8");
    if (cd == iconv_t(-1)) return "--key: code page 1251 is not available on this system";
    char out[64] = {};
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* outPtr = out;
    size_t outLeft = sizeof out;
    size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    int err = errno;
    iconv_close(cd);
    if (r == size_t(-1)) {
        if (err == E2BIG) return "--key: bad key length (at most 16 bytes in code page 1251)";
        return "--key: the key has a character outside code page 1251";
    }
    size_t length = sizeof out - outLeft;
    if (length > key.size()) {
        return "--key: bad key length: " + std::to_string(length) + " bytes (at most 16 in code page 1251)";
    }
    std::memcpy(key.data(), out, length);
    return {};
}

std::string KeyFromHex(const std::string& hex, std::array<uint8_t, 16>& key)
{
    if (hex.size() != 32) {
        return "--key-hex: bad key length: " + std::to_string(hex.size()) + " hex digits (want 32)";
    }
    for (size_t i = 0; i < 16; ++i) {
        unsigned v = 0;
        auto [end, ec] = std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, v, 16);
        if (ec != std::errc() || end != hex.data() + 2 * i + 2)
            return "--key-hex: not a hex digit in '" + hex + "'";
        key[i] = uint8_t(v);
    }
    return {};
}

std::string ParseOptions(const std::vector<std::string>& args, SimOptions& o)
{
    o = SimOptions{};
    o.password = kDefaultPassword;
    o.periodMs = kDefaultPeriodMs;
    o.slave = kDefaultSlave;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        if (name.rfind("--", 0) == 0) {
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                inlineValue = true;
            }
        }
        auto takeValue = [&]() -> bool {
            if (inlineValue) return true;
            if (i + 1 >= args.size()) return false;
            value = args[++i];
            return true;
        };
        auto flag = [&]() -> std::string { return inlineValue ? name + " takes no value" : std::string(); };
        static const char* const kWithValue[] = {"--tcp",     "--udp",        "--udp-other-port", "--serial",
                                                 "--baud",    "--parity",     "--pty-link",       "--slave",
                                                 "--period",  "--pas-models", "--password",       "--key",
                                                 "--key-hex", "--fault",      "--control",        "--log"};
        bool wantsValue = false;
        for (const char* w : kWithValue) wantsValue = wantsValue || name == w;
        if (wantsValue && !takeValue()) return name + " needs a value";

        uint64_t v = 0;
        std::string err;
        if (name == "--help" || name == "-h") {
            if (!(err = flag()).empty()) return err;
            o.help = true;
        } else if (name == "--tcp") {
            if (!(err = ParseEndpoint(name, value, o.tcp)).empty()) return err;
        } else if (name == "--udp") {
            if (!(err = ParseEndpoint(name, value, o.udp)).empty()) return err;
        } else if (name == "--udp-other-port") {
            if (!ParseUnsigned(value, 65535, v)) return name + ": bad port '" + value + "'";
            o.udpOtherPort = int(v);
        } else if (name == "--serial") {
            if (value.empty()) return name + ": empty device path";
            o.serial = value;
        } else if (name == "--baud") {
            static const uint32_t kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
            bool known = false;
            if (ParseUnsigned(value, 1000000, v)) {
                for (uint32_t r : kRates) known = known || r == v;
            }
            if (!known) return name + ": unsupported rate '" + value + "' (1200 .. 230400)";
            o.baud = uint32_t(v);
        } else if (name == "--parity") {
            if (value == "none" || value == "N") {
                o.parity = 'N';
            } else if (value == "even" || value == "E") {
                o.parity = 'E';
            } else if (value == "odd" || value == "O") {
                o.parity = 'O';
            } else {
                return name + ": '" + value + "' is not none, even or odd";
            }
        } else if (name == "--pty") {
            if (!(err = flag()).empty()) return err;
            o.pty = true;
        } else if (name == "--pty-link") {
            if (value.empty()) return name + ": empty path";
            o.ptyLink = value;
        } else if (name == "--slave") {
            if (!ParseUnsigned(value, 247, v) || v == 0) return name + ": '" + value + "' is not 1..247";
            o.slave = uint8_t(v);
        } else if (name == "--static") {
            if (!(err = flag()).empty()) return err;
            o.staticValues = true;
        } else if (name == "--churn") {
            if (!(err = flag()).empty()) return err;
            o.churn = true;
        } else if (name == "--period") {
            if (!ParseUnsigned(value, 3600000, v) || v < 10)
                return name + ": '" + value + "' is not 10..3600000 ms";
            o.periodMs = uint32_t(v);
        } else if (name == "--pas-models") {
            size_t at = 0, count = 0;
            uint32_t last = 0;
            while (at <= value.size()) {
                size_t comma = value.find(',', at);
                std::string item =
                    value.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
                if (count >= o.pasModels.size()) return name + ": more than 24 models";
                if (!ParseUnsigned(item, 0xFFFFFFFFu, v)) return name + ": bad model '" + item + "'";
                last = o.pasModels[count++] = uint32_t(v);
                if (comma == std::string::npos) break;
                at = comma + 1;
            }
            for (size_t k = count; k < o.pasModels.size(); ++k) o.pasModels[k] = last;
        } else if (name == "--password") {
            if (!ParseUnsigned(value, 0xFFFFFFFFu, v)) return name + ": '" + value + "' is not 0..4294967295";
            o.password = uint32_t(v);
        } else if (name == "--key") {
            if (!(err = KeyFromText(value, o.key)).empty()) return err;
            o.keyGiven = true;
        } else if (name == "--key-hex") {
            if (!(err = KeyFromHex(value, o.key)).empty()) return err;
            o.keyGiven = true;
        } else if (name == "--fault") {
            if (!(err = ApplyFaultSpec(o.faults, value)).empty()) return "--fault: " + err;
        } else if (name == "--control") {
            if (value.empty()) return name + ": empty path";
            o.control = value;
        } else if (name == "--log") {
            if (value.empty()) return name + ": empty path";
            o.log = value;
        } else {
            return "unknown option '" + args[i] + "'";
        }
    }
    if (o.help) return {};
    if (!o.tcp.enabled && !o.udp.enabled && o.serial.empty() && !o.pty) {
        return "no link: give --tcp, --udp, --serial or --pty";
    }
    if (!o.serial.empty() && o.pty) return "--serial and --pty exclude each other";
    if (!o.ptyLink.empty() && !o.pty) return "--pty-link needs --pty";
    if (o.churn && o.staticValues) return "--churn and --static exclude each other";
    return {};
}

std::string HelpText()
{
    std::string text =
        "Usage: vireo2-sim LINK... [OPTION]...\n"
        "Plays the devices of one channel of the kit (control panels PU_1..32, interface units\n"
        "PI, CPI, PIN, the MyPin unit and PAS_1..24) as one Modbus slave: 65,536 holding\n"
        "registers, functions 3, 4 (the same registers), 6 and 16. Exceptions: 01 unsupported\n"
        "function, 02 a register outside the device maps, 03 a bad quantity or length, 04 a\n"
        "command refused for want of the write password. Requests for another slave address\n"
        "get no reply.\n"
        "\n"
        "Links (any combination; PORT 0 picks a free port, the one taken is printed):\n"
        "  --tcp [ADDR:]PORT      Modbus TCP (MBAP), many connections at once\n"
        "  --udp [ADDR:]PORT      RTU frames in UDP datagrams, answered to the sender\n"
        "  --udp-other-port PORT  second UDP port, for the udp-other-port fault (default: free)\n"
        "  --serial DEVICE        RTU on a serial device, 8 data bits, 1 stop bit\n"
        "  --baud N               1200 .. 230400 (19200)\n"
        "  --parity P             none, even or odd (none)\n"
        "  --pty                  RTU on a new pseudo-terminal; its path is printed\n"
        "  --pty-link PATH        also make PATH a symbolic link to it (removed at exit)\n"
        "ADDR defaults to 0.0.0.0 (every interface).\n"
        "\n"
        "Device:\n"
        "  --slave N              own slave address, 1..247 (1)\n"
        "  --static               fixed values (listed in SimRegisters.h: kernel versions and\n"
        "                         models, loop, sensor and zone states, CRCs); nothing changes\n"
        "                         by itself\n"
        "  --period MS            without --static, loop, sensor, zone and group states move on\n"
        "                         every MS ms (1000), and the CRC fields follow them\n"
        "  --churn                every period also gives each register that takes no writes a\n"
        "                         new value of its own (most items change; for load tests)\n"
        "  --pas-models LIST      models of PAS_1..PAS_24, comma-separated: 0 \"ПАС\" (reduced\n"
        "                         status block), other values \"ПАС-300\" (full); a short list\n"
        "                         repeats its last value (all 0)\n"
        "  --password N           write password, a 32-bit number (1234)\n"
        "  --key TEXT             packet envelope key: TEXT in code page 1251, at most 16 bytes\n"
        "                         (an empty TEXT is the all-zero key)\n"
        "  --key-hex HEX          the key as 32 hex digits\n"
        "With a key every frame is unwrapped and wrapped through libmardelCrypto.so from the\n"
        "program's folder; a packet under another key gets no reply.\n"
        "\n"
        "Commands: registers 2000..2075 (Pribor_Comm1..76) and 2500..2515 (Pin_Control_1..256)\n"
        "take writes only while 2600 (low word) and 2601 (high word) hold the password, else\n"
        "exception 04. 2600/2601 take any write and read as 0. An accepted write sets bit 3\n"
        "(State.command_mode) of register 500 and reads back.\n"
        "\n"
        "Faults:\n"
        "  --fault SPEC           switch a fault on (repeatable); SPEC is one of\n";
    text += FaultHelp();
    text +=
        "\n"
        "Control while running:\n"
        "  --control PATH         UNIX stream socket taking one command per line, each answered\n"
        "                         with a line \"ok ...\" or \"error ...\":\n"
        "      fault SPEC           as --fault\n"
        "      clear                every fault off\n"
        "      faults               the faults now\n"
        "      stats                requests, drops, accepted and refused commands, tick\n"
        "      get ADDR [COUNT]     register values\n"
        "      set ADDR VALUE...    set registers; they keep that value until unpinned\n"
        "      unpin ADDR [COUNT]   let the period change them again\n"
        "      tick                 move the changing values on by one period now\n"
        "      help\n"
        "    e.g.  echo 'fault delay=500' | socat - UNIX-CONNECT:PATH\n"
        "  Signals: SIGUSR1 switches silence on and off, SIGUSR2 clears every fault,\n"
        "  SIGINT and SIGTERM end the program (exit status 0).\n"
        "\n"
        "Output:\n"
        "  --log FILE             request log, '-' for standard output; one line per frame,\n"
        "                         t in ms since the start:\n"
        "      req t=MS link=tcp|udp|serial unit=U fc=F start=S count=C result=R\n"
        "          R: ok, exception=NN, ignored (another slave address), silent (fault)\n"
        "      drop t=MS link=L reason=crc|mbap|envelope|envelope-checksum|key|incomplete\n"
        "  Standard output first shows the links, then \"ready\":\n"
        "      tcp ADDR:PORT / udp ADDR:PORT / udp-other ADDR:PORT / pty PATH /\n"
        "      serial DEVICE / control PATH / ready\n"
        "Exit status: 0 after SIGINT/SIGTERM, 1 when a link cannot be opened (port in use ...),\n"
        "2 for a bad command line.\n"
        "\n"
        "  -h, --help             this text\n";
    return text;
}

}  // namespace VireoSim
