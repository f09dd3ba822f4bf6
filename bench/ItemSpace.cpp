// A channel's real item space from the device maps: building it (maps, tree,
// toolkit definitions, polling list), finding every item by its ID, and the
// resident memory of 32 such channels.
#include "BenchChannel.h"
#include "app/SingleVectors.h"
#include "config/LevelRoot.h"
#include "config/LevelTag.h"
#include "devicemaps/DeviceMaps.h"
#include "opcda/DATag.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::size_t ResidentBytes()
{
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<std::size_t>(resident) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

void BM_BuildDefineCollectOneChannel(benchmark::State& state)
{
    CLevelRoot& root = *CSingleVectors::Instance().Root();
    auto owned = std::make_unique<BenchChannel>("Vireo-2_1");
    BenchChannel* channel = owned.get();
    root.AddLevel(std::move(owned));
    for (auto _ : state) {
        channel->Build();
        state.PauseTiming();
        if (channel->Exchange().Items().size() != 43737) state.SkipWithError("wrong item count");
        channel->Teardown();
        state.ResumeTiming();
    }
    state.counters["items"] = 43737;
    state.SetItemsProcessed(state.iterations() * 43737);
    root.RemoveLevel(channel->FullPath());
}
BENCHMARK(BM_BuildDefineCollectOneChannel)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly();

void BM_FindEveryItemFromTheRoot(benchmark::State& state)
{
    CLevelRoot& root = *CSingleVectors::Instance().Root();
    auto owned = std::make_unique<BenchChannel>("Vireo-2_1");
    BenchChannel* channel = owned.get();
    root.AddLevel(std::move(owned));
    channel->Build();
    std::vector<std::string> ids;
    for (const CDATag* item : channel->Exchange().Items()) ids.push_back(item->FullName());
    for (auto _ : state) {
        for (const std::string& id : ids) {
            CLevelElementBase* found = root.FindTag(id);
            if (found == nullptr || found->Kind() != kKindTag) {
                state.SkipWithError("lookup failed");
                break;
            }
            benchmark::DoNotOptimize(found);
        }
    }
    state.counters["lookups"] = static_cast<double>(ids.size());
    state.SetItemsProcessed(state.iterations() * ids.size());
    root.RemoveLevel(channel->FullPath());
}
BENCHMARK(BM_FindEveryItemFromTheRoot)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly();

// Resident memory growth of 32 full channels, toolkit registry included.
void BM_ThirtyTwoChannelsResident(benchmark::State& state)
{
    CLevelRoot& root = *CSingleVectors::Instance().Root();
    double perItem = 0;
    std::size_t items = 0;
    for (auto _ : state) {
        const std::size_t before = ResidentBytes();
        std::vector<BenchChannel*> channels;
        for (int n = 1; n <= 32; ++n) {
            auto owned = std::make_unique<BenchChannel>("Vireo-2_" + std::to_string(n));
            channels.push_back(owned.get());
            root.AddLevel(std::move(owned));
            channels.back()->Build();
        }
        items = 0;
        for (const BenchChannel* c : channels) items += c->Exchange().Items().size();
        perItem = static_cast<double>(ResidentBytes() - before) / static_cast<double>(items);
        state.PauseTiming();
        for (BenchChannel* c : channels) root.RemoveLevel(c->FullPath());
        state.ResumeTiming();
    }
    state.counters["items"] = static_cast<double>(items);
    state.counters["resident_bytes_per_item"] = perItem;
    state.counters["sizeof_CDATag"] = sizeof(CDATag);
    state.counters["sizeof_CLevelTag"] = sizeof(CLevelTag);
}
BENCHMARK(BM_ThirtyTwoChannelsResident)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
