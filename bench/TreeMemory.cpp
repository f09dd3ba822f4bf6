// Memory and speed of one channel's item space: 43,737 tags, as many as the
// largest channel carries, in device / block / item groups.
#include "config/LevelRoot.h"
#include "config/LevelTag.h"
#include "opcda/DATag.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <malloc.h>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kTagsPerChannel = 43737;

class BenchChannel : public CLevelChannel {
   public:
    BenchChannel() : CLevelChannel(kKindChannelTCP) { SetName("Vireo-2_1"); }
    ~BenchChannel() override { Shutdown(); }
    int Open() override { return 0; }
    void Close() override {}
    int Send(uint8_t*, uint32_t*) override { return 1; }
    int Receive(uint8_t*, uint32_t*) override { return 1; }
};

// Item paths shaped like the device maps': a device, a register block, an
// item name (e.g. PAS_7.pas_status.err_rs485).
std::vector<std::string> ItemPaths()
{
    static const char* kDevices[] = {"PU", "PI", "CPI", "PIN", "MyPin", "PAS"};
    static const char* kBlocks[] = {"Sh_State", "Sh_Signal", "pas_status", "Zone_State", "Const"};
    static const char* kItems[] = {"shl_", "err_rs485_", "kernel_version_", "alarm_", "z"};
    std::vector<std::string> paths;
    paths.reserve(kTagsPerChannel);
    for (size_t i = 0; paths.size() < kTagsPerChannel; ++i) {
        const size_t device = i / 1500;  // about 30 devices of 1500 items
        const size_t block = (i / 60) % 25;
        char path[96];
        std::snprintf(path, sizeof path, "%s_%zu.%s%zu.%s%zu", kDevices[device % 6], device + 1,
                      kBlocks[block % 5], block, kItems[i % 5], i % 60 + 1);
        paths.emplace_back(path);
    }
    return paths;
}

size_t HeapInUse()
{
    return mallinfo2().uordblks;
}

void BM_BuildChannelItemSpace(benchmark::State& state)
{
    const std::vector<std::string> paths = ItemPaths();
    double bytesPerTag = 0;
    for (auto _ : state) {
        const size_t before = HeapInUse();
        auto channel = std::make_unique<BenchChannel>();
        for (const std::string& path : paths) {
            benchmark::DoNotOptimize(channel->CreatePath(path));
        }
        bytesPerTag = static_cast<double>(HeapInUse() - before) / paths.size();
        state.PauseTiming();
        channel.reset();
        state.ResumeTiming();
    }
    state.counters["bytes_per_tag"] = bytesPerTag;
    state.counters["sizeof_CLevelTag"] = sizeof(CLevelTag);
    state.counters["sizeof_CDATag"] = sizeof(CDATag);
    state.SetItemsProcessed(state.iterations() * paths.size());
}
BENCHMARK(BM_BuildChannelItemSpace)->Unit(benchmark::kMillisecond);

void BM_FindTagFromTheRoot(benchmark::State& state)
{
    const std::vector<std::string> paths = ItemPaths();
    CLevelRoot root;
    auto channel = std::make_unique<BenchChannel>();
    for (const std::string& path : paths) {
        channel->CreatePath(path);
    }
    root.AddLevel(std::move(channel));
    std::vector<std::string> ids;
    for (size_t i = 0; i < paths.size(); i += 97) {
        ids.push_back(std::string(CLevelRoot::kRootName) + ".Vireo-2_1." + paths[i]);
    }
    size_t next = 0;
    for (auto _ : state) {
        CLevelElementBase* found = root.FindTag(ids[next]);
        if (found == nullptr || found->Kind() != kKindTag) {
            state.SkipWithError("lookup failed");
            break;
        }
        benchmark::DoNotOptimize(found);
        next = (next + 1) % ids.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindTagFromTheRoot);

}  // namespace
