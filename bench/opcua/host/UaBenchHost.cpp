// The benchmarks' server: the toolkit's endpoint in front of a stand-in
// program, so that the endpoint is measured without devices behind it.
//
//   ua-bench-host (--flat N | --ids FILE [--channels N]) [--changing MS] [--listen ADDRESS:PORT]
//
// --flat N N read-write UInt16 items in one folder, "Каналы связи.Bench.v_<i>";
// --changing every item of the first channel (or every flat item) takes a new
//          value every MS ms, the period the program then reports it polls at;
// --ids    the item space vireo-itemlist printed into FILE, as channels
//          Vireo-2_1 .. Vireo-2_N; the first has item objects, the others are
//          only defined (enough to measure what the endpoint adds).
// Prints "ready <port> <resident kB before the endpoint started>" once it
// listens; ends when stdin closes. The line "trim" on stdin answers
// "resident <kB>" after the heap gave its free pages back.
#include "UaFakeProgram.h"
#include "platform/HeapTuning.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <malloc.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kChannel = kRoot + ".Vireo-2_1";

void DefineFlatItems(CUaFakeProgram& program, int count)
{
    for (int i = 1; i <= count; ++i) {
        CFakeTag* tag = program.Add(kRoot + ".Bench.v_" + std::to_string(i));
        program.Set(tag, static_cast<uint16_t>(i));
    }
}

VARTYPE TypeNamed(const std::string& name)
{
    if (name == "VT_BOOL") return VT_BOOL;
    if (name == "VT_UI1") return VT_UI1;
    if (name == "VT_UI4") return VT_UI4;
    return VT_UI2;
}

// vireo-itemlist's CSV: "ID",address,registers,code,type,mode,access.
bool DefineListedItems(CUaFakeProgram& program, const std::string& file, int channels)
{
    std::ifstream in(file);
    std::string line;
    if (!std::getline(in, line)) return false;
    std::vector<std::pair<std::string, VARTYPE>> items;
    while (std::getline(in, line)) {
        size_t close = line.find('"', 1);
        if (line.empty() || line[0] != '"' || close == std::string::npos) continue;
        std::vector<std::string> fields;
        std::istringstream rest(line.substr(close + 2));
        for (std::string f; std::getline(rest, f, ',');) fields.push_back(f);
        if (fields.size() < 6) continue;
        items.emplace_back(line.substr(1, close - 1), TypeNamed(fields[3]));
        uint32_t rights = fields[5] == "R"   ? OPC_READABLE
                          : fields[5] == "W" ? OPC_WRITEABLE
                                             : OPC_READABLE | OPC_WRITEABLE;
        if (channels >= 1) {
            CFakeTag* tag = program.Add(kChannel + "." + items.back().first, items.back().second, rights);
            program.Set(tag, 1);
        }
    }
    for (int c = 2; c <= channels; ++c) {
        const std::string prefix = kRoot + ".Vireo-2_" + std::to_string(c) + ".";
        for (const auto& [id, type] : items) DefineDAItem((prefix + id).c_str());
    }
    return !items.empty();
}

long ResidentKb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string listen = "127.0.0.1:0", ids;
    int flat = 0, channels = 1, changingMs = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool more = i + 1 < argc;
        if (arg == "--flat" && more)
            flat = std::atoi(argv[++i]);
        else if (arg == "--ids" && more)
            ids = argv[++i];
        else if (arg == "--channels" && more)
            channels = std::atoi(argv[++i]);
        else if (arg == "--changing" && more)
            changingMs = std::atoi(argv[++i]);
        else if (arg == "--listen" && more)
            listen = argv[++i];
    }
    if (flat <= 0 && ids.empty()) {
        std::fprintf(stderr,
                     "usage: ua-bench-host (--flat N | --ids FILE [--channels N]) [--changing MS] "
                     "[--listen ADDRESS:PORT]\n");
        return 2;
    }
    ReturnFreedMemoryPromptly();  // as the program does
    CUaFakeProgram program;
    SetCallbackObject(&program);
    if (!StartDAServer(nullptr, &kTestClsid)) {
        std::fprintf(stderr, "the toolkit did not start\n");
        return 1;
    }
    if (flat > 0) DefineFlatItems(program, flat);
    if (!ids.empty() && !DefineListedItems(program, ids, channels)) {
        std::fprintf(stderr, "no items in %s\n", ids.c_str());
        return 1;
    }
    const long before = ResidentKb();
    UaEndpointOptions options{};
    options.listen = listen.c_str();
    options.listenSocket = -1;
    options.applicationName = "OpcVireo2";
    char error[256] = {};
    if (StartUaEndpoint(&options, error, sizeof error) != S_OK) {
        std::fprintf(stderr, "%s\n", error);
        return 1;
    }
    std::cout << "ready " << UaEndpointPort() << " " << before << std::endl;
    std::atomic<bool> stop{false};
    std::thread changer;
    if (changingMs > 0) {
        program.m_pollPeriod = static_cast<float>(changingMs);
        changer = std::thread([&] {
            for (uint16_t round = 1; !stop; ++round) {
                program.SetAll(round);
                std::this_thread::sleep_for(std::chrono::milliseconds(changingMs));
            }
        });
    }
    // "trim": the heap hands its free pages back, then the resident size, so
    // that memory figures count what is held rather than what was once used.
    for (std::string line; std::getline(std::cin, line);) {
        if (line != "trim") continue;
        malloc_trim(0);
        std::cout << "resident " << ResidentKb() << std::endl;
    }
    stop = true;
    if (changer.joinable()) changer.join();
    StopDAServer();
    DeleteDAItem(kRoot.c_str());
    SetCallbackObject(nullptr);
    return 0;
}
