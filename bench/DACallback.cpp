// The DA callback on a whole channel: AddTag of all 43,737 item IDs of a
// channel in one call, and RemoveTag of them, as a client adding its whole
// tag list at connect and dropping it at disconnect.
#include "BenchChannel.h"
#include "app/SingleVectors.h"
#include "config/LevelRoot.h"
#include "opcda/DATag.h"

#include <benchmark/benchmark.h>
#include <memory>
#include <string>
#include <vector>

namespace {

// A built channel and the IDs of its items, with what AddTag takes and gives.
struct WholeChannel {
    WholeChannel()
    {
        auto owned = std::make_unique<BenchChannel>();
        channel = owned.get();
        CSingleVectors::Instance().Root()->AddLevel(std::move(owned));
        channel->Build();
        for (const CDATag* item : channel->Exchange().Items()) ids.push_back(item->FullName());
        for (const std::string& id : ids) texts.push_back(id.c_str());
        types.assign(ids.size(), VT_EMPTY);
        tags.assign(ids.size(), nullptr);
        errors.assign(ids.size(), E_FAIL);
    }
    ~WholeChannel() { CSingleVectors::Instance().Root()->RemoveLevel(channel->FullPath()); }
    uint32_t Count() const { return static_cast<uint32_t>(ids.size()); }
    HRESULT Add(CDACallback& callback)
    {
        return callback.AddTag(0, Count(), texts.data(), nullptr, types.data(), tags.data(), errors.data());
    }

    BenchChannel* channel = nullptr;
    std::vector<std::string> ids;
    std::vector<const char*> texts;
    std::vector<VARTYPE> types;
    std::vector<COPCTag*> tags;
    std::vector<HRESULT> errors;
};

void BM_AddTagWholeChannel(benchmark::State& state)
{
    CDACallback& callback = CSingleVectors::Instance().DACallback();
    WholeChannel whole;
    for (auto _ : state) {
        if (whole.Add(callback) != S_OK) state.SkipWithError("AddTag refused an item");
        state.PauseTiming();
        (void)callback.RemoveTag(0, whole.Count(), whole.tags.data());
        state.ResumeTiming();
    }
    state.counters["items"] = whole.Count();
    state.SetItemsProcessed(state.iterations() * whole.Count());
}
BENCHMARK(BM_AddTagWholeChannel)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly();

void BM_RemoveTagWholeChannel(benchmark::State& state)
{
    CDACallback& callback = CSingleVectors::Instance().DACallback();
    WholeChannel whole;
    for (auto _ : state) {
        state.PauseTiming();
        if (whole.Add(callback) != S_OK) state.SkipWithError("AddTag refused an item");
        state.ResumeTiming();
        (void)callback.RemoveTag(0, whole.Count(), whole.tags.data());
    }
    if (whole.channel->Exchange().Items().front()->InUse()) state.SkipWithError("an item stayed in use");
    state.counters["items"] = whole.Count();
    state.SetItemsProcessed(state.iterations() * whole.Count());
}
BENCHMARK(BM_RemoveTagWholeChannel)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly();

}  // namespace
