// OPC UA subscriptions measured from a client of ours.
//
//   bench_ua_subscription [SECONDS]
//
// 1. The real OpcVireo2 polling the kit simulator over TCP (vireo2-sim --churn:
//    every register new every 100 ms; poll period 100 ms), one subscription to
//    every readable item of the channel (all but one write-only):
//    CreateMonitoredItems (round trip and the server's CPU), notifications per
//    second delivered and the server's CPU share over SECONDS, resident memory
//    per monitored item (retransmission queue and heap included).
// 2. End-to-end latency from a register set in the simulator to the client's
//    data change, poll period and publishing interval 100 ms: median, 99th
//    percentile.
// 3. The bytes a monitored item holds, with unchanging items and the heap
//    trimmed before measuring. Side by side, without devices: the toolkit's
//    endpoint in front of a stand-in program (ua-bench-host) and a node-opcua
//    server (bench/opcua/js, npm ci), each holding 43,737 UInt16 variables
//    that all change every 100 ms; the same subscription against both, with
//    the ratios.
#include "UaBenchServer.h"
#include "opcua/protocol/UaClient.h"
#include "opcua/protocol/UaSubscriptionMessages.h"
#include "platform/Paths.h"
#include "sim/SimHarness.h"
#include "support/TempFolder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace ua;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kRoot = "Каналы связи";
constexpr double kIntervalMs = 100;
constexpr int kPipeline = 5;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

struct ListedItem {
    std::string id;  // below the channel
    uint32_t address = 0;
    int code = 0;
    std::string access;  // R, RW or W
};

// The channel's items as vireo-itemlist prints them (every PAS unit the full model).
std::vector<ListedItem> ChannelItems(const std::string& bin)
{
    ChildResult listed =
        RunProgram({bin + "/vireo-itemlist", "--all-pas-models", "1"}, std::chrono::seconds(60));
    std::vector<ListedItem> items;
    std::istringstream in(listed.out);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        const size_t close = line.find('"', 1);
        if (line.empty() || line[0] != '"' || close == std::string::npos) continue;
        std::vector<std::string> f;
        std::istringstream rest(line.substr(close + 2));
        for (std::string field; std::getline(rest, field, ',');) f.push_back(field);
        if (f.size() < 6) continue;
        items.push_back(
            {line.substr(1, close - 1), static_cast<uint32_t>(std::stoul(f[0])), std::stoi(f[2]), f[5]});
    }
    return items;
}

bool OpenSession(CUaClient& client, uint16_t port)
{
    return client.Connect("127.0.0.1", port) == kGood && client.OpenSession("bench", 600000) == kGood;
}

uint32_t Subscribe(CUaClient& client)
{
    CreateSubscriptionRequest r;
    r.requestedPublishingInterval = kIntervalMs;
    r.requestedMaxKeepAliveCount = 10;
    r.requestedLifetimeCount = 3000;
    CreateSubscriptionResponse response;
    return client.Call(enc::kCreateSubscriptionRequest, r, enc::kCreateSubscriptionResponse, &response) ==
                   kGood
               ? response.subscriptionId
               : 0;
}

// Creates the items in calls as large as the server allows; answers how many it took.
size_t MonitorAll(CUaClient& client, uint32_t subscription, const std::vector<std::string>& ids)
{
    ReadRequest read;
    read.nodesToRead = {ReadValueId{NodeId::Numeric(id::kMaxMonitoredItemsPerCall), 13, "", {}}};
    ReadResponse limit;
    size_t perCall = ids.size();
    if (client.Call(enc::kReadRequest, read, enc::kReadResponse, &limit) == kGood && !limit.results.empty())
        if (const auto* v = std::get_if<uint64_t>(&limit.results[0].value.scalar); v && *v != 0) perCall = *v;
    size_t created = 0;
    for (size_t first = 0; first < ids.size(); first += perCall) {
        CreateMonitoredItemsRequest r;
        r.subscriptionId = subscription;
        r.timestampsToReturn = TimestampsToReturn::Both;
        for (size_t i = first; i < std::min(ids.size(), first + perCall); ++i) {
            MonitoredItemCreateRequest item;
            item.itemToMonitor = ReadValueId{NodeId::String(1, ids[i]), 13, "", {}};
            item.requestedParameters =
                MonitoringParameters{static_cast<uint32_t>(i), kIntervalMs, {}, 1, true};
            r.itemsToCreate.push_back(std::move(item));
        }
        CreateMonitoredItemsResponse response;
        if (client.Call(enc::kCreateMonitoredItemsRequest, r, enc::kCreateMonitoredItemsResponse,
                        &response) != kGood)
            break;
        for (size_t i = 0; i < response.results.size(); ++i) {
            if (response.results[i].statusCode == kGood)
                ++created;
            else
                std::fprintf(stderr, "CreateMonitoredItems %s: 0x%08X\n", ids[first + i].c_str(),
                             response.results[i].statusCode);
        }
    }
    return created;
}

// Publish requests kept in flight, each answer acknowledged on the next.
class CPublisher {
   public:
    explicit CPublisher(CUaClient& client) : m_client(client)
    {
        for (int i = 0; i < kPipeline; ++i) Post();
    }
    // The next answer; false when none came.
    bool Next(PublishResponse* response)
    {
        if (m_inFlight.empty()) return false;
        const uint32_t id = m_inFlight.front();
        m_inFlight.pop_front();
        const StatusCode s = m_client.Await(id, enc::kPublishResponse, response);
        if (s == kGood && !response->notificationMessage.notificationData.empty())
            m_acks.push_back({response->subscriptionId, response->notificationMessage.sequenceNumber});
        if (s != kGood) std::fprintf(stderr, "Publish: 0x%08X\n", s);
        Post();
        return s == kGood;
    }

   private:
    void Post()
    {
        PublishRequest r;
        r.subscriptionAcknowledgements.swap(m_acks);
        uint32_t id;
        if (m_client.Post(enc::kPublishRequest, r, &id) == kGood) m_inFlight.push_back(id);
    }
    CUaClient& m_client;
    std::deque<uint32_t> m_inFlight;
    std::vector<SubscriptionAcknowledgement> m_acks;
};

// Data changes in a message, without taking their values apart.
size_t CountChanges(const NotificationMessage& m)
{
    size_t n = 0;
    for (const ExtensionObject& e : m.notificationData) {
        int32_t count = 0;
        if (e.typeId.Is(enc::kDataChangeNotification) && e.body.size() >= 4)
            std::memcpy(&count, e.body.data(), 4);
        n += static_cast<size_t>(std::max(count, 0));
    }
    return n;
}

struct Figures {
    size_t created = 0;
    double createMs = 0;
    double createCpuMs = 0;
    double firstBytesPerItem = 0;  // the first subscription after the start
    double bytesPerItem = 0;       // a subscription made after one was dropped
    double perSecond = 0;
    double cpuShare = 0;  // of one core
    bool ok = false;
};

struct Created {
    size_t items = 0;
    double ms = 0;
    double cpuMs = 0;
    double bytesPerItem = 0;
};

// Opens a session with one subscription to the items and takes Publish
// answers until every item has reported and the clocks have settled.
bool Subscribe(CBenchServer& server, CUaClient& client, const std::vector<std::string>& ids,
               std::unique_ptr<CPublisher>* publisher, Created* c)
{
    uint32_t subscription;
    if (!OpenSession(client, server.Port()) || (subscription = Subscribe(client)) == 0) return false;
    const long rss0 = server.HeldKb();
    const double cpu0 = server.CpuMs();
    const auto t0 = Clock::now();
    c->items = MonitorAll(client, subscription, ids);
    c->ms = Ms(Clock::now() - t0);
    c->cpuMs = server.CpuMs() - cpu0;
    *publisher = std::make_unique<CPublisher>(client);
    PublishResponse response;
    for (auto until = Clock::now() + std::chrono::seconds(3); Clock::now() < until;)
        if (!(*publisher)->Next(&response)) return false;
    c->bytesPerItem = (server.HeldKb() - rss0) * 1024.0 / std::max<size_t>(c->items, 1);
    return true;
}

Figures MeasureSubscription(CBenchServer& server, const std::vector<std::string>& ids, int seconds)
{
    Figures f;
    std::unique_ptr<CPublisher> publisher;
    Created first, again;
    {
        // The first subscription pays for what the heap keeps of its large
        // requests and messages; the second one shows what the items hold.
        CUaClient client(CUaClientChannel::Options(), 180000);
        if (!Subscribe(server, client, ids, &publisher, &first)) return f;
        publisher.reset();
        client.CloseSession(true);
    }
    CUaClient client(CUaClientChannel::Options(), 180000);
    if (!Subscribe(server, client, ids, &publisher, &again)) return f;
    f.created = first.items;
    f.createMs = first.ms;
    f.createCpuMs = first.cpuMs;
    f.firstBytesPerItem = first.bytesPerItem;
    f.bytesPerItem = again.bytesPerItem;
    size_t changes = 0;
    PublishResponse response;
    const double cpu1 = server.CpuMs();
    const auto t1 = Clock::now();
    while (Clock::now() - t1 < std::chrono::seconds(seconds)) {
        if (!publisher->Next(&response)) return f;
        changes += CountChanges(response.notificationMessage);
    }
    const double wallMs = Ms(Clock::now() - t1);
    f.perSecond = changes / (wallMs / 1000);
    f.cpuShare = (server.CpuMs() - cpu1) / wallMs;
    f.ok = f.created == ids.size() && again.items == ids.size();
    return f;
}

void Print(const char* who, const Figures& f)
{
    std::printf(
        "%-11s CreateMonitoredItems of %zu items: %.0f ms round trip, %.0f ms server CPU; %.0f "
        "notifications/s "
        "at %.1f %% of one core; resident per monitored item %.0f bytes (first subscription %.0f)%s\n",
        who, f.created, f.createMs, f.createCpuMs, f.perSecond, 100 * f.cpuShare, f.bytesPerItem,
        f.firstBytesPerItem, f.ok ? "" : " (incomplete)");
}

struct Latency {
    double medianMs = 0;
    double p99Ms = 0;
    size_t samples = 0;
};

// A register set through the simulator's control socket, until the client's data change.
Latency MeasureLatency(uint16_t port, const std::string& control, const ListedItem& item, int samples)
{
    Latency l;
    CUaClient client;
    uint32_t subscription;
    if (!OpenSession(client, port) || (subscription = Subscribe(client)) == 0) return l;
    const std::string address = std::to_string(item.address);
    SimTest::Control(control, "set " + address + " 0");
    if (MonitorAll(client, subscription, {kRoot + ".Vireo-2_1." + item.id}) != 1) return l;
    CPublisher publisher(client);
    std::mt19937 random(42);
    std::vector<double> times;
    int missed = 0;
    PublishResponse response;
    for (int i = 1; i <= samples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 200));
        const uint64_t value = static_cast<uint64_t>(i % 200 + 1);  // the register's low byte is the item
        const auto t0 = Clock::now();
        SimTest::Control(control, "set " + address + " " + std::to_string(value));
        bool seen = false;
        while (!seen && Clock::now() - t0 < std::chrono::seconds(5)) {
            if (!publisher.Next(&response)) return l;
            for (const ExtensionObject& e : response.notificationMessage.notificationData) {
                DataChangeNotification d;
                if (!Unwrap(e, enc::kDataChangeNotification, &d)) continue;
                for (const auto& n : d.monitoredItems)
                    if (const auto* v = std::get_if<uint64_t>(&n.value.value.scalar); v && *v == value)
                        seen = true;
            }
        }
        if (seen)
            times.push_back(Ms(Clock::now() - t0));
        else if (++missed == 3)
            break;  // the changes do not arrive: no figure rather than a long wait
    }
    if (times.empty()) return l;
    std::sort(times.begin(), times.end());
    l.samples = times.size();
    l.medianMs = times[times.size() / 2];
    l.p99Ms = times[std::min(times.size() - 1, times.size() * 99 / 100)];
    return l;
}

std::vector<std::string> FlatIds(size_t count)
{
    std::vector<std::string> ids;
    for (size_t i = 1; i <= count; ++i) ids.push_back(kRoot + ".Bench.v_" + std::to_string(i));
    return ids;
}

}  // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 10;
    const std::string bin = ProgramFolder();
    setenv("VIREO_TEST_BIN", bin.c_str(), 0);
    const std::vector<ListedItem> listed = ChannelItems(bin);
    std::vector<std::string> ids;
    for (const ListedItem& i : listed)
        if (i.access != "W") ids.push_back(kRoot + ".Vireo-2_1." + i.id);
    std::printf(
        "OPC UA subscriptions: publishing and sampling %.0f ms, the %zu readable items of one channel (of "
        "%zu), "
        "%d s measured\n",
        kIntervalMs, ids.size(), listed.size(), seconds);

    // 1 and 2: the real program and the simulator.
    CTempFolder folder;
    const std::vector<std::string> env = {"XDG_DATA_HOME=" + folder.Path(),
                                          "XDG_CONFIG_HOME=" + folder.Path(),
                                          "XDG_RUNTIME_DIR=" + folder.Path(),
                                          // Configuration mode without its window, as a server runs.
                                          "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
    const std::string control = folder.File("sim.sock");
    SimTest::SimProcess sim;
    if (!sim.Start({"--churn", "--period", "100", "--pas-models", "1", "--key", "", "--tcp", "127.0.0.1:0",
                    "--control", control})) {
        std::fprintf(stderr, "the simulator did not start: %s\n", sim.Error().c_str());
        return 1;
    }
    ChildResult configured =
        RunProgram({bin + "/vireo-config", "add", "tcp", "Vireo-2_1", "address=127.0.0.1",
                    "port=" + std::to_string(sim.TcpPort()), "pollPeriodMs=100", "pauseMs=0",
                    "responseTimeoutMs=1000", "pasModels=1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1"},
                   std::chrono::seconds(60), env);
    if (configured.Status() != 0) {
        std::fprintf(stderr, "vireo-config: %s%s\n", configured.out.c_str(), configured.err.c_str());
        return 1;
    }
    Figures program;
    Latency latency;
    {
        CBenchServer server;
        const uint16_t port = FreePort();
        if (!server.StartListening(
                {bin + "/OpcVireo2", "/cfg", "--listen", "127.0.0.1:" + std::to_string(port)}, env, port)) {
            std::fprintf(stderr, "OpcVireo2 did not open its endpoint\n");
            return 1;
        }
        program = MeasureSubscription(server, ids, seconds);
        Print("OpcVireo2:", program);
        const auto byte = std::find_if(listed.begin(), listed.end(),
                                       [](const ListedItem& i) { return i.code == 39 && i.access == "R"; });
        latency = MeasureLatency(port, control, *byte, 200);
        std::printf(
            "latency register -> data change (poll %.0f ms, publishing %.0f ms, %zu samples): median %.0f "
            "ms, 99th percentile %.0f ms\n",
            kIntervalMs, kIntervalMs, latency.samples, latency.medianMs, latency.p99Ms);
    }

    // 3: side by side without devices.
    const std::vector<std::string> flat = FlatIds(listed.size());
    {
        // What the items hold, with no changes (and so no messages) in flight.
        CBenchServer quiet;
        CUaClient client(CUaClientChannel::Options(), 180000);
        std::unique_ptr<CPublisher> publisher;
        Created c;
        if (quiet.Start({bin + "/ua-bench-host", "--flat", std::to_string(flat.size())})) {
            quiet.TrimsOnRequest();
            if (Subscribe(quiet, client, flat, &publisher, &c))
                std::printf("endpoint:   %zu unchanging items: %.0f bytes held per monitored item\n", c.items,
                            c.bytesPerItem);
        }
    }
    CBenchServer ours;
    if (!ours.Start({bin + "/ua-bench-host", "--flat", std::to_string(flat.size()), "--changing", "100"})) {
        std::fprintf(stderr, "the bench host did not start\n");
        return 1;
    }
    ours.TrimsOnRequest();
    const Figures our = MeasureSubscription(ours, flat, seconds);
    Print("endpoint:", our);
    const std::string js = VIREO_UA_BENCH_JS;
    if (!std::filesystem::exists(js + "/node_modules/node-opcua-server")) {
        std::printf("node-opcua: not installed (npm ci in %s)\n", js.c_str());
        return program.ok && our.ok ? 0 : 1;
    }
    CBenchServer theirs;
    const uint16_t port = FreePort();
    if (!theirs.Start(
            {"node", js + "/server.js", std::to_string(port), std::to_string(flat.size()), "100"})) {
        std::printf("node-opcua: the server did not start\n");
        return 1;
    }
    const Figures their = MeasureSubscription(theirs, flat, seconds);
    Print("node-opcua:", their);
    std::printf(
        "ratio node-opcua / ours: CreateMonitoredItems %.1f, server CPU per notification %.1f, resident per "
        "item "
        "%.1f; notifications/s ours / node-opcua %.1f\n",
        their.createMs / our.createMs, (their.cpuShare / their.perSecond) / (our.cpuShare / our.perSecond),
        their.bytesPerItem / our.bytesPerItem, our.perSecond / their.perSecond);
    return program.ok && our.ok ? 0 : 1;
}
