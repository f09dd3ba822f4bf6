// OpcVireo2 with a configuration of CHANNELS TCP channels whose 24 units are
// all PAS-300 (32 channels: 1.4 million items): the time from the start of
// the process to the toolkit serving, the resident memory then, and the
// orderly shutdown right after a device transaction, with the program's own
// phases (the wait until 5 s after the last transaction, and the rest).
// Channel 1 talks to the kit simulator, the others to a closed port.
//
// usage: bench_program_lifecycle [CHANNELS] [ROUNDS]
#include "config/ConfigurationFile.h"
#include "config/LevelRoot.h"
#include "opcua/protocol/UaClient.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "sim/SimHarness.h"
#include "support/ChildProcess.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"
#include "transports/ChannelFactory.h"
#include "transports/LevelChannelTCP.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char kKey[] = "ключ";

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string ReadText(const std::string& path)
{
    std::string text;
    (void)ReadFileText(path, &text);
    return text;
}

// The number after `label` in the last line that holds `anchor`, or -1.
long long NumberAfter(const std::string& log, const std::string& anchor, const std::string& label)
{
    const size_t line = log.rfind(anchor);
    const size_t at = line == std::string::npos ? line : log.find(label, line);
    return at == std::string::npos ? -1 : std::atoll(log.c_str() + at + label.size());
}

long long ResidentKb(pid_t pid)
{
    const std::string status = ReadText("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + 6);
}

bool WriteConfiguration(const std::string& path, int channels, int simPort)
{
    CLevelRoot root;
    for (int n = 1; n <= channels; ++n) {
        std::unique_ptr<CLevelChannel> channel = CreateChannel(kKindChannelTCP);
        channel->SetName("Vireo-2_" + std::to_string(n));
        channel->SetKey(kKey);
        channel->Settings().m_pauseBeforeRequest = 0;
        for (uint32_t& model : channel->Settings().m_pasModels) model = 1;
        static_cast<CLevelChannelTCP&>(*channel).ConnectionSettings() = {
            0x7F000001, uint32_t(n == 1 ? simPort : 1), 1000};
        root.AddLevel(std::move(channel));
    }
    return WriteConfigurationFile(path, &root);
}

// A device read of one item of channel 1 through an OPC UA session.
bool ReadFromDevice(uint16_t port)
{
    ua::CUaClient client;
    if (client.Connect("127.0.0.1", port) != ua::kGood || client.OpenSession("bench", 60000) != ua::kGood) {
        return false;
    }
    ua::ReadRequest request;
    request.maxAge = 0;
    request.nodesToRead = {ua::ReadValueId{
        ua::NodeId::String(1, std::string(CLevelRoot::kRootName) + ".Vireo-2_1.MyPin.kernel_version"),
        static_cast<uint32_t>(ua::Attribute::Value),
        "",
        {}}};
    ua::ReadResponse response;
    const bool good =
        client.Call(ua::enc::kReadRequest, request, ua::enc::kReadResponse, &response) == ua::kGood &&
        response.results.size() == 1 && response.results[0].status == ua::kGood;
    (void)client.CloseSession();
    client.Disconnect();
    return good;
}

}  // namespace

int main(int argc, char** argv)
{
    const int channels = argc > 1 ? std::atoi(argv[1]) : 32;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::string bin = ProgramFolder();
    setenv("VIREO_TEST_BIN", bin.c_str(), 1);

    SimTest::SimProcess sim;
    if (!sim.Start({"--static", "--tcp", "127.0.0.1:0", "--key", kKey})) {
        std::fprintf(stderr, "kit simulator: %s\n", sim.Error().c_str());
        return 1;
    }
    CTempFolder data, config, runtime;
    const std::string folder = JoinPath(data.Path(), kDataFolderName);
    if (!CreateFolders(folder) || !WriteFileText(JoinPath(folder, "opcua.ini"), "listen=127.0.0.1:0\n") ||
        !WriteFileText(JoinPath(folder, "log.ini"), "DBG_COMMON=1") ||
        !WriteConfiguration(JoinPath(folder, "OpcVireo2.cfg"), channels, sim.TcpPort())) {
        std::fprintf(stderr, "cannot prepare %s\n", folder.c_str());
        return 1;
    }
    const std::string logPath = JoinPath(folder, "OpcVireo2_dbg.log");
    const std::vector<std::string> environment = {"XDG_DATA_HOME=" + data.Path(),
                                                  "XDG_CONFIG_HOME=" + config.Path(),
                                                  "XDG_RUNTIME_DIR=" + runtime.Path()};

    std::printf("%d channels; times in ms\n", channels);
    std::printf(
        "round  items    loaded  serving(own)  serving(seen)  RSS-MB  | shutdown  wait  without-wait"
        "  (monitor StopDAServer channels release)\n");
    for (int round = 1; round <= rounds; ++round) {
        (void)DeleteFile(logPath);
        CChildProcess child;
        const Clock::time_point spawned = Clock::now();
        if (!child.Start({bin + "/OpcVireo2"}, CChildProcess::kQuiet, environment) ||
            !WaitFor([&] { return ReadText(logPath).find("Start-up: serving") != std::string::npos; },
                     600s)) {
            std::fprintf(stderr, "the program did not start serving\n");
            return 1;
        }
        const Clock::time_point serving = Clock::now();
        const long long rss = ResidentKb(child.Pid());
        std::string log = ReadText(logPath);
        const long long port = NumberAfter(log, "OPC UA endpoint: ", ", port ");
        if (port <= 0 || !ReadFromDevice(static_cast<uint16_t>(port))) {
            std::fprintf(stderr, "no device read through OPC UA\n");
            return 1;
        }
        const Clock::time_point terminated = Clock::now();
        child.Signal(SIGTERM);
        const ChildResult result = child.Wait(600s);
        const Clock::time_point ended = Clock::now();
        if (result.Status() != 0) {
            std::fprintf(stderr, "exit status %d\n", result.Status());
            return 1;
        }
        log = ReadText(logPath);
        const long long wait = NumberAfter(log, "Shutdown: ", "wait after the last exchange ");
        const double shutdown = Ms(ended - terminated);
        std::printf(
            "%5d  %7lld  %6lld  %12lld  %13.0f  %6.0f  | %8.0f  %4lld  %12.0f  (%lld %lld %lld %lld)\n",
            round, NumberAfter(log, "configuration loaded in", "channels, "),
            NumberAfter(log, "Start-up: configuration", "loaded in "),
            NumberAfter(log, "Start-up: serving", "serving "), Ms(serving - spawned), rss / 1024.0, shutdown,
            wait, shutdown - static_cast<double>(wait), NumberAfter(log, "Shutdown: ", "monitor "),
            NumberAfter(log, "Shutdown: ", "StopDAServer "), NumberAfter(log, "Shutdown: ", "channels "),
            NumberAfter(log, "Shutdown: ", "release "));
    }
    return 0;
}
