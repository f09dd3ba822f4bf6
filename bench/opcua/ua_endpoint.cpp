// The OPC UA endpoint measured from a client of ours, the server in a process
// of its own (ua-bench-host), side by side with a node-opcua server holding the
// same 10,000 UInt16 variables when bench/opcua/js has it installed (npm ci).
//
//   bench_ua_endpoint [READS]
//
// 1. One Read of 10,000 cached items: round trip, the server's CPU per Read
//    (its threads' run time from /proc), and items per second read on end.
// 2. Browse of every folder (Browse + BrowseNext, 1,000 references per call):
//    the 10,000 variables, then a whole channel of the real item space.
// 3. Resident memory with 32 channels defined (1.4 million items) before and
//    after the endpoint started and served a whole channel's browse and reads.
// 4. 200 connect/session/read/close cycles: the server's resident drift.
// 5. A Read answer of more than 5 MB, in chunks.
#include "UaBenchServer.h"
#include "opcua/protocol/UaClient.h"
#include "platform/Paths.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace ua;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kRoot = "Каналы связи";
constexpr int kFlatItems = 10000;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

bool OpenSession(CUaClient& client, uint16_t port)
{
    return client.Connect("127.0.0.1", port) == kGood && client.OpenSession("bench") == kGood;
}

std::vector<ReadValueId> FlatNodes()
{
    std::vector<ReadValueId> nodes;
    for (int i = 1; i <= kFlatItems; ++i)
        nodes.push_back(ReadValueId{NodeId::String(1, kRoot + ".Bench.v_" + std::to_string(i)), 13, "", {}});
    return nodes;
}

struct ReadFigures {
    double roundTripMs = 0;  // median
    double serverCpuMs = 0;  // per Read
    double itemsPerSecond = 0;
    bool ok = false;
};

ReadFigures MeasureRead(CBenchServer& server, int reads)
{
    ReadFigures f;
    CUaClient client;
    if (!OpenSession(client, server.Port())) return f;
    ReadRequest read;
    read.maxAge = 1e9;  // cached values
    read.timestampsToReturn = TimestampsToReturn::Both;
    read.nodesToRead = FlatNodes();
    ReadResponse response;
    // The first reads take the items; from then on they are cached.
    for (int i = 0; i < 3; ++i)
        if (client.Call(enc::kReadRequest, read, enc::kReadResponse, &response) != kGood) return f;
    for (const DataValue& dv : response.results)
        if (!dv.hasValue || dv.status != kGood) return f;
    std::vector<double> times;
    const double cpu0 = server.CpuMs();
    const auto start = Clock::now();
    for (int i = 0; i < reads; ++i) {
        auto t0 = Clock::now();
        if (client.Call(enc::kReadRequest, read, enc::kReadResponse, &response) != kGood) return f;
        times.push_back(Ms(Clock::now() - t0));
    }
    const double wall = Ms(Clock::now() - start);
    f.serverCpuMs = (server.CpuMs() - cpu0) / reads;
    std::sort(times.begin(), times.end());
    f.roundTripMs = times[times.size() / 2];
    f.itemsPerSecond = kFlatItems * reads / (wall / 1000);
    f.ok = true;
    return f;
}

// Every folder below a node, one Browse per folder and BrowseNext until done.
// Answers the milliseconds, or -1; *variables counts the variables met.
double BrowseAll(uint16_t port, const NodeId& start, size_t* variables)
{
    CUaClient client;
    *variables = 0;
    if (!OpenSession(client, port)) {
        std::fprintf(stderr, "Browse: no session\n");
        return -1;
    }
    std::deque<NodeId> folders{start};
    const auto t0 = Clock::now();
    while (!folders.empty()) {
        BrowseRequest browse;
        browse.requestedMaxReferencesPerNode = 1000;
        browse.nodesToBrowse = {BrowseDescription{folders.front(), BrowseDirection::Forward,
                                                  NodeId::Numeric(id::kHierarchicalReferences), true, 3,
                                                  0x3F}};
        folders.pop_front();
        BrowseResponse response;
        if (StatusCode s = client.Call(enc::kBrowseRequest, browse, enc::kBrowseResponse, &response);
            s != kGood) {
            std::fprintf(stderr, "Browse: 0x%08X\n", s);
            return -1;
        }
        BrowseResult result = response.results.at(0);
        for (;;) {
            for (const ReferenceDescription& r : result.references) {
                if (r.nodeClass == NodeClass::Object)
                    folders.push_back(r.nodeId.nodeId);
                else
                    ++*variables;
            }
            if (result.continuationPoint.bytes.empty()) break;
            BrowseNextRequest next;
            next.continuationPoints = {result.continuationPoint};
            if (StatusCode s =
                    client.Call(enc::kBrowseNextRequest, next, enc::kBrowseNextResponse, &response);
                s != kGood) {
                std::fprintf(stderr, "BrowseNext: 0x%08X\n", s);
                return -1;
            }
            result = response.results.at(0);
        }
    }
    return Ms(Clock::now() - t0);
}

}  // namespace

int main(int argc, char** argv)
{
    const int reads = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    const std::string bin = ProgramFolder();
    const std::string host = bin + "/ua-bench-host";
    std::printf("OPC UA endpoint, %d Reads of %d cached UInt16 items each\n", reads, kFlatItems);

    CBenchServer ours;
    if (!ours.Start({host, "--flat", std::to_string(kFlatItems)})) {
        std::fprintf(stderr, "the bench host did not start (%s)\n", host.c_str());
        return 1;
    }
    ReadFigures our = MeasureRead(ours, reads);
    size_t ourVariables = 0;
    double ourBrowse = BrowseAll(ours.Port(), NodeId::String(1, kRoot), &ourVariables);
    std::printf(
        "ours:      Read round trip %.2f ms, server CPU %.2f ms per Read, %.0f items/s; Browse of %zu "
        "variables %.1f ms\n",
        our.roundTripMs, our.serverCpuMs, our.itemsPerSecond, ourVariables, ourBrowse);

    const std::string js = VIREO_UA_BENCH_JS;
    if (std::filesystem::exists(js + "/node_modules/node-opcua-server")) {
        CBenchServer theirs;
        const uint16_t port = FreePort();
        if (theirs.Start({"node", js + "/server.js", std::to_string(port), std::to_string(kFlatItems)})) {
            ReadFigures their = MeasureRead(theirs, std::max(10, reads / 10));
            size_t theirVariables = 0;
            double theirBrowse = BrowseAll(theirs.Port(), NodeId::String(1, kRoot), &theirVariables);
            std::printf(
                "node-opcua: Read round trip %.2f ms, server CPU %.2f ms per Read, %.0f items/s; Browse of "
                "%zu variables %.1f ms\n",
                their.roundTripMs, their.serverCpuMs, their.itemsPerSecond, theirVariables, theirBrowse);
            std::printf("ratio node-opcua / ours: Read round trip %.1f, server CPU %.1f, Browse %.1f\n",
                        their.roundTripMs / our.roundTripMs, their.serverCpuMs / our.serverCpuMs,
                        theirBrowse / ourBrowse);
        } else {
            std::printf("node-opcua: the server did not start\n");
        }
    } else {
        std::printf("node-opcua: not installed (npm ci in %s)\n", js.c_str());
    }

    // A whole channel of the real item space, and 32 of them for memory.
    const std::string list = std::filesystem::temp_directory_path() / "vireo-bench-items.csv";
    ChildResult listed =
        RunProgram({bin + "/vireo-itemlist", "--all-pas-models", "1"}, std::chrono::seconds(60));
    std::ofstream(list) << listed.out;
    CBenchServer big;
    if (!big.Start({host, "--ids", list, "--channels", "32"})) {
        std::fprintf(stderr, "the bench host did not start with 32 channels\n");
        return 1;
    }
    const long beforeKb = big.ResidentBeforeKb();
    const long startedKb = big.ResidentKb();
    size_t channelVariables = 0;
    double channelBrowse = BrowseAll(big.Port(), NodeId::String(1, kRoot + ".Vireo-2_1"), &channelVariables);
    const long browsedKb = big.ResidentKb();
    std::printf("Browse of a whole channel (%zu variables, every folder, 1,000 per call): %.1f ms\n",
                channelVariables, channelBrowse);
    const double items = 32.0 * channelVariables;
    std::printf(
        "resident with 32 channels (%.0f items): %ld kB before the endpoint, %ld kB started (%+.2f "
        "bytes/item), "
        "%ld kB after browsing a channel (%+.2f bytes/item)\n",
        items, beforeKb, startedKb, (startedKb - beforeKb) * 1024.0 / items, browsedKb,
        (browsedKb - beforeKb) * 1024.0 / items);
    std::filesystem::remove(list);

    // Connect/close cycles.
    {
        CBenchServer cycled;
        cycled.Start({host, "--flat", "100"});
        auto cycle = [&] {
            CUaClient c;
            if (!OpenSession(c, cycled.Port())) return false;
            ReadRequest read;
            read.nodesToRead = {ReadValueId{NodeId::String(1, kRoot + ".Bench.v_1"), 13, "", {}}};
            ReadResponse response;
            bool ok = c.Call(enc::kReadRequest, read, enc::kReadResponse, &response) == kGood;
            ok = c.CloseSession() == kGood && ok;
            c.Disconnect();
            return ok;
        };
        for (int i = 0; i < 10; ++i) cycle();
        const long startKb = cycled.ResidentKb();
        int good = 0;
        const auto t0 = Clock::now();
        for (int i = 0; i < 200; ++i) good += cycle() ? 1 : 0;
        std::printf(
            "200 connect/session/read/close cycles (%d good) in %.0f ms: resident %ld kB -> %ld kB (%+ld "
            "kB)\n",
            good, Ms(Clock::now() - t0), startKb, cycled.ResidentKb(), cycled.ResidentKb() - startKb);
    }

    // More than 5 MB in one answer.
    {
        CUaClient c;
        if (OpenSession(c, ours.Port())) {
            ReadRequest read;
            read.nodesToRead.assign(60000, ReadValueId{NodeId::Numeric(id::kServerStatus), 13, "", {}});
            read.requestHeader.authenticationToken = c.Token();
            std::string body, reply;
            Encoder e(body);
            e(NodeId::Numeric(enc::kReadRequest), read);
            const auto t0 = Clock::now();
            StatusCode s = c.Exchange(body, &reply);
            std::printf("Read answer of %.2f MB in chunks of %u bytes: %s, %.0f ms\n", reply.size() / 1e6,
                        c.Channel().Acknowledge().sendBufferSize, s == kGood ? "received" : "failed",
                        Ms(Clock::now() - t0));
        }
    }
    return our.ok ? 0 : 1;
}
