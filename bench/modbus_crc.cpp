// CRC-16 throughput over a short request, the longest frame and a long buffer.
#include "polling/Crc16.h"

#include <benchmark/benchmark.h>
#include <vector>

static void BM_ModbusCrc16(benchmark::State& state)
{
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ModbusCrc16(data.data(), data.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ModbusCrc16)->Arg(6)->Arg(258)->Arg(4096);
