// What tracing costs a caller when its category is off, and what one written
// line costs when it is on.
#include "app/DebugLog.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string BenchFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "vireo-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
}

// The hex-dump call site: ask, and only then format.
void DumpFrame(CDebugLog& log, const uint8_t* frame, size_t size)
{
    if (!log.IsEnabled(kDebugCommon, 1)) {
        return;
    }
    std::string hex;
    char byte[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(byte, sizeof byte, " %02X", frame[i]);
        hex += byte;
    }
    log.Trace(kDebugCommon, 1, "Write<%u>:%s", static_cast<unsigned>(size), hex.c_str());
}

void BM_DisabledIsEnabled(benchmark::State& state)
{
    CDebugLog log;
    log.ApplySettings("DBG_COMMON=0");
    for (auto _ : state) {
        benchmark::DoNotOptimize(log.IsEnabled(kDebugCommon, 1));
    }
}
BENCHMARK(BM_DisabledIsEnabled);

void BM_DisabledHexDumpCallSite(benchmark::State& state)
{
    CDebugLog log;
    log.ApplySettings("DBG_COMMON=0");
    uint8_t frame[256] = {1, 3, 0, 0, 0, 120};
    for (auto _ : state) {
        benchmark::DoNotOptimize(frame);
        DumpFrame(log, frame, sizeof frame);
    }
}
BENCHMARK(BM_DisabledHexDumpCallSite);

void BM_DisabledTraceNullFormat(benchmark::State& state)
{
    CDebugLog log;
    log.ApplySettings("DBG_DA=0");
    for (auto _ : state) {
        benchmark::DoNotOptimize(log.Trace(kDebugDa, 1, nullptr));
    }
}
BENCHMARK(BM_DisabledTraceNullFormat);

void BM_EnabledLineWritten(benchmark::State& state)
{
    const std::string folder = BenchFolder();
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    {
        CDebugLog log(folder + "/OpcVireo2_dbg.log");
        log.ApplySettings("DBG_DA=1");
        for (auto _ : state) {
            benchmark::DoNotOptimize(log.Trace(kDebugDa, 1, "CDACallback::AddTag(%d)", 7));
        }
    }
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_EnabledLineWritten);

}  // namespace
