// The simulator's command line, start-up errors and exit.
#include "sim/SimHarness.h"
#include "support/TempFolder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>

using namespace SimTest;

namespace {

ChildResult Sim(std::vector<std::string> args)
{
    args.insert(args.begin(), BinFolder() + "/vireo2-sim");
    return RunProgram(args);
}

TEST(SimCli, BadArgumentsAreNamedAndExitWithStatus2)
{
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--tcp", "0", "--frobnicate"}, "unknown option '--frobnicate'"},
        {{}, "no link"},
        {{"--tcp"}, "--tcp needs a value"},
        {{"--tcp", "70000"}, "bad port '70000'"},
        {{"--tcp", "1.2.3:502"}, "bad IPv4 address"},
        {{"--tcp", "0", "--key", "0123456789abcdefg"}, "bad key length: 17 bytes"},
        {{"--tcp", "0", "--key", "ДлинныйКлючНа17Бт"}, "bad key length"},
        {{"--tcp", "0", "--key", "ключ☃"}, "outside code page 1251"},
        {{"--tcp", "0", "--key-hex", "00112233"}, "bad key length: 8 hex digits"},
        {{"--tcp", "0", "--key-hex", "0011223344556677889900aabbccddzz"}, "not a hex digit"},
        {{"--tcp", "0", "--slave", "0"}, "is not 1..247"},
        {{"--tcp", "0", "--slave", "248"}, "is not 1..247"},
        {{"--tcp", "0", "--period", "5"}, "10..3600000"},
        {{"--tcp", "0", "--baud", "12345"}, "unsupported rate"},
        {{"--tcp", "0", "--parity", "mark"}, "not none, even or odd"},
        {{"--tcp", "0", "--pas-models", "0,1,x"}, "bad model 'x'"},
        {{"--tcp", "0", "--pas-models", "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0"}, "more than 24"},
        {{"--tcp", "0", "--fault", "delay=abc"}, "bad fault 'delay=abc'"},
        {{"--tcp", "0", "--fault", "meteor"}, "unknown fault 'meteor'"},
        {{"--tcp", "0", "--pty-link", "x"}, "--pty-link needs --pty"},
        {{"--serial", "/dev/null", "--pty"}, "exclude each other"},
        {{"--tcp", "0", "--static=1"}, "--static takes no value"},
        {{"--tcp", "0", "--static", "--churn"}, "exclude each other"},
    };
    for (const Case& c : cases) {
        ChildResult r = Sim(c.args);
        SCOPED_TRACE(c.message);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(SimCli, HelpDocumentsEveryOptionFaultAndControlCommand)
{
    ChildResult r = Sim({"--help"});
    ASSERT_EQ(r.exitCode, 0);
    for (const char* word : {"--tcp",      "--udp",        "--udp-other-port", "--serial",   "--baud",
                             "--parity",   "--pty",        "--pty-link",       "--slave",    "--static",
                             "--period",   "--pas-models", "--churn",          "--password", "--key",
                             "--key-hex",  "--fault",      "--control",        "--log",      "silence",
                             "delay=MS",   "crc",          "truncate",         "split=",     "foreign=",
                             "exception=", "close-after=", "udp-other-port",   "limit=",     "clear",
                             "faults",     "stats",        "get ADDR",         "set ADDR",   "unpin",
                             "tick",       "SIGUSR1",      "SIGUSR2",          "SIGTERM",    "ready",
                             "req t=",     "drop t="}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
}

TEST(SimCli, PortInUseIsReportedWithStatus1)
{
    SimProcess first;
    ASSERT_TRUE(first.Start({"--tcp", "127.0.0.1:0", "--udp", "127.0.0.1:0"})) << first.Error();
    std::string tcp = "127.0.0.1:" + std::to_string(first.TcpPort());
    ChildResult r = Sim({"--tcp", tcp});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("TCP " + tcp + ": Address already in use"), std::string::npos) << r.err;
    std::string udp = "127.0.0.1:" + std::to_string(first.UdpPort());
    r = Sim({"--udp", udp});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("UDP " + udp + ": Address already in use"), std::string::npos) << r.err;
    r = Sim({"--serial", "/nonexistent/tty"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("serial /nonexistent/tty: No such file"), std::string::npos) << r.err;
    EXPECT_EQ(first.Stop(), 0) << first.Error();
}

TEST(SimCli, ExitsCleanlyOnSigintAndSigtermAndTidiesUp)
{
    CTempFolder temp;
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        std::string control = temp.File("control");
        std::string link = temp.File("com1");
        SimProcess sim;
        ASSERT_TRUE(sim.Start({"--pty", "--pty-link", link, "--control", control})) << sim.Error();
        EXPECT_TRUE(std::filesystem::is_symlink(link));
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.PtyPath());
        EXPECT_TRUE(std::filesystem::exists(control));
        EXPECT_EQ(sim.Stop(signal), 0) << sim.Error();
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
        EXPECT_FALSE(std::filesystem::exists(control));
    }
}

TEST(SimCli, ControlSocketOfARunningSimulatorIsNotTakenOver)
{
    CTempFolder temp;
    std::string control = temp.File("control");
    SimProcess first;
    ASSERT_TRUE(first.Start({"--tcp", "127.0.0.1:0", "--control", control})) << first.Error();
    ChildResult r = Sim({"--tcp", "127.0.0.1:0", "--control", control});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("in use by a running program"), std::string::npos) << r.err;
    EXPECT_EQ(Control(control, "stats").rfind("ok requests=0", 0), 0u);
    EXPECT_EQ(first.Stop(), 0) << first.Error();
}

TEST(SimCli, KeyWithoutTheCipherLibraryFailsClearly)
{
    // A copy of the program in a folder of its own has no library beside it.
    CTempFolder temp;
    std::string copy = temp.File("vireo2-sim");
    std::filesystem::copy_file(BinFolder() + "/vireo2-sim", copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
    // Libraries it links at load time go with it (sanitizer builds keep the toolkit's).
    if (std::filesystem::exists(BinFolder() + "/libZellDAServer.so"))
        std::filesystem::copy_file(BinFolder() + "/libZellDAServer.so", temp.File("libZellDAServer.so"));
    ChildResult r = RunProgram({copy, "--tcp", "127.0.0.1:0", "--key", "abc"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("a key needs the cipher library"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(temp.File("libmardelCrypto.so")), std::string::npos) << r.err;
}

}  // namespace
