// The toolkit's store of defined item IDs at full size: 32 channels of 43,737
// items, 1.4 million IDs. Define time and heap bytes per ID, the withdrawal of
// one channel, and the lookup of an ID already defined.
#include "ZellDAServer.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <malloc.h>
#include <string>
#include <vector>

namespace {

constexpr int kChannels = 32;
constexpr int kItemsPerChannel = 43737;
const char* const kRoot = "Каналы связи";

// IDs shaped like the device maps': channel, device, register block, item name.
void FormatId(int channel, int item, std::string* id)
{
    static const char* kDevices[] = {"PU", "PI", "CPI", "PIN", "MyPin", "PAS"};
    static const char* kBlocks[] = {"Sh_State", "Sh_Signal", "pas_status", "Zone_State", "Const"};
    static const char* kItems[] = {"shl_", "err_rs485_", "kernel_version_", "alarm_", "z"};
    const int device = item / 1500;
    const int block = (item / 60) % 25;
    char text[160];
    int n = std::snprintf(text, sizeof text, "%s.Vireo-2_%d.%s_%d.%s%d.%s%d", kRoot, channel + 1,
                          kDevices[device % 6], device + 1, kBlocks[block % 5], block, kItems[item % 5],
                          item % 60 + 1);
    id->assign(text, static_cast<size_t>(n));
}

size_t HeapInUse()
{
    // Small blocks from the arenas plus the large ones malloc maps on its own.
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

void DefineAll()
{
    std::string id;
    for (int c = 0; c < kChannels; ++c)
        for (int i = 0; i < kItemsPerChannel; ++i) {
            FormatId(c, i, &id);
            DefineDAItem(id.c_str());
        }
}

void BM_DefineAllIds(benchmark::State& state)
{
    double bytesPerId = 0, textBytesPerId = 0;
    for (auto _ : state) {
        const size_t before = HeapInUse();
        DefineAll();
        // The first pass counts: later passes reuse the records the withdrawal kept.
        if (bytesPerId == 0)
            bytesPerId = static_cast<double>(HeapInUse() - before) / (kChannels * kItemsPerChannel);
        state.PauseTiming();
        DeleteDAItem(kRoot);
        state.ResumeTiming();
    }
    // What the IDs weigh as plain text, for comparison.
    std::string id;
    size_t text = 0;
    for (int i = 0; i < kItemsPerChannel; ++i) {
        FormatId(0, i, &id);
        text += id.size() + 1;
    }
    textBytesPerId = static_cast<double>(text) / kItemsPerChannel;
    state.SetItemsProcessed(state.iterations() * kChannels * kItemsPerChannel);
    state.counters["heap_bytes_per_id"] = bytesPerId;
    state.counters["text_bytes_per_id"] = textBytesPerId;
}
BENCHMARK(BM_DefineAllIds)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_DeleteOneChannel(benchmark::State& state)
{
    DefineAll();
    std::string id;
    int channel = 0;
    for (auto _ : state) {
        char path[64];
        std::snprintf(path, sizeof path, "%s.Vireo-2_%d", kRoot, channel + 1);
        DeleteDAItem(path);
        state.PauseTiming();
        for (int i = 0; i < kItemsPerChannel; ++i) {
            FormatId(channel, i, &id);
            DefineDAItem(id.c_str());
        }
        channel = (channel + 1) % kChannels;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kItemsPerChannel);
    DeleteDAItem(kRoot);
}
BENCHMARK(BM_DeleteOneChannel)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_RedefineExistingId(benchmark::State& state)
{
    DefineAll();
    std::vector<std::string> ids(4096);
    for (size_t n = 0; n < ids.size(); ++n)
        FormatId(static_cast<int>(n % kChannels), static_cast<int>((n * 7919) % kItemsPerChannel), &ids[n]);
    size_t n = 0;
    for (auto _ : state) benchmark::DoNotOptimize(DefineDAItem(ids[n++ & 4095].c_str()));
    DeleteDAItem(kRoot);
}
BENCHMARK(BM_RedefineExistingId);

}  // namespace
