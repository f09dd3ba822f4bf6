// The polling engine on full item spaces: one poll over all 43,737 items of a
// channel in use against a device that answers from memory at once, with the
// time spent in the transport taken out; and the CPU time of 32 channels
// whose items nobody uses, over 10 s of their polling threads.
#include "app/SingleVectors.h"
#include "config/LevelRoot.h"
#include "opcda/DATag.h"
#include "polling/Crc16.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// An RTU device in memory: every read is answered from a register bank at
// once. The time spent in Send and Receive is counted as the transport's.
class MemoryChannel : public CLevelChannel {
   public:
    explicit MemoryChannel(const std::string& name) : CLevelChannel(kKindChannelUDP), m_registers(65536, 0)
    {
        SetName(name);
        for (auto& model : Settings().m_pasModels) model = 1;  // the full variant: 43,737 items
        Settings().m_pauseBeforeRequest = 0;
        for (size_t r = 0; r < m_registers.size(); ++r) m_registers[r] = static_cast<uint16_t>(r * 31u);
    }
    ~MemoryChannel() override { Shutdown(); }

    int Open() override
    {
        SetState(kChannelOpen);
        return 0;
    }
    void Close() override { SetState(kChannelClosed); }

    int Send(uint8_t* bytes, uint32_t* length) override
    {
        const auto start = Clock::now();
        if (bytes != nullptr && length != nullptr && *length == 8 && bytes[1] == 3) {
            ++m_requests;
            const uint16_t first = static_cast<uint16_t>((bytes[2] << 8) | bytes[3]);
            const uint16_t count = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
            m_reply.assign({bytes[0], 3, static_cast<uint8_t>(2 * count)});
            for (uint16_t i = 0; i < count; ++i) {
                const uint16_t v = m_registers[static_cast<uint16_t>(first + i)];
                m_reply.push_back(static_cast<uint8_t>(v >> 8));
                m_reply.push_back(static_cast<uint8_t>(v & 0xFF));
            }
            const uint16_t crc = ModbusCrc16(m_reply.data(), m_reply.size());
            m_reply.push_back(static_cast<uint8_t>(crc & 0xFF));
            m_reply.push_back(static_cast<uint8_t>(crc >> 8));
            m_offset = 0;
        }
        m_io += Clock::now() - start;
        return 0;
    }

    int Receive(uint8_t* bytes, uint32_t* length) override
    {
        const auto start = Clock::now();
        if (bytes != nullptr && length != nullptr) {
            const size_t n = std::min<size_t>(*length, m_reply.size() - m_offset);
            std::memcpy(bytes, m_reply.data() + m_offset, n);
            m_offset += n;
            *length = static_cast<uint32_t>(n);
        }
        m_io += Clock::now() - start;
        return 0;
    }

    std::vector<uint16_t> m_registers;
    std::vector<uint8_t> m_reply;
    size_t m_offset = 0;
    size_t m_requests = 0;
    Clock::duration m_io{};
};

MemoryChannel& AddChannel(CLevelRoot& root, const std::string& name)
{
    auto owned = std::make_unique<MemoryChannel>(name);
    MemoryChannel& channel = *owned;
    channel.Initialise();
    (void)channel.Open();
    root.AddLevel(std::move(owned));
    (void)channel.Build();
    // Frames plain, as without the cipher library.
    static const CExchangeServices plain =
        CSingleVectors::Instance().ExchangeServices().WithCipher(nullptr, nullptr);
    channel.Exchange().SetServices(plain);
    return channel;
}

void BM_PollAllItemsInUse(benchmark::State& state)
{
    CLevelRoot& root = *CSingleVectors::Instance().Root();
    MemoryChannel& channel = AddChannel(root, "Vireo-2_1");
    const std::vector<CDATag*> items = channel.Exchange().Items();
    if (items.size() != 43737) state.SkipWithError("wrong item count");
    for (CDATag* item : items) item->AddRef();

    double totalMs = 0;
    double ioMs = 0;
    for (auto _ : state) {
        channel.m_io = {};
        channel.m_requests = 0;
        const auto start = Clock::now();
        if (channel.Exchange().Poll() != 0) state.SkipWithError("poll failed");
        const auto took = Clock::now() - start;
        totalMs += std::chrono::duration<double, std::milli>(took).count();
        ioMs += std::chrono::duration<double, std::milli>(channel.m_io).count();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["items"] = static_cast<double>(items.size());
    state.counters["requests"] = static_cast<double>(channel.m_requests);
    state.counters["poll_ms"] = totalMs / n;
    state.counters["transport_ms"] = ioMs / n;
    state.counters["without_transport_ms"] = (totalMs - ioMs) / n;
    for (CDATag* item : items) item->Release();
    root.RemoveLevel(channel.FullPath());
}
BENCHMARK(BM_PollAllItemsInUse)->Unit(benchmark::kMillisecond)->MinTime(2.0);

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void BM_ThirtyTwoIdleChannels(benchmark::State& state)
{
    CLevelRoot& root = *CSingleVectors::Instance().Root();
    std::vector<MemoryChannel*> channels;
    for (int i = 0; i < 32; ++i) channels.push_back(&AddChannel(root, "Vireo-2_" + std::to_string(i + 1)));
    const auto window = std::chrono::seconds(10);
    double cpuPercent = 0;
    size_t requests = 0;
    for (auto _ : state) {
        if (!root.StartAll()) state.SkipWithError("start failed");
        // Let every thread reach its loop before measuring.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const double cpuStart = ProcessCpuSeconds();
        const auto start = Clock::now();
        std::this_thread::sleep_for(window);
        const double cpu = ProcessCpuSeconds() - cpuStart;
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        root.StopAll();
        cpuPercent = 100.0 * cpu / wall;
        state.SetIterationTime(wall);
    }
    for (MemoryChannel* channel : channels) requests += channel->m_requests;
    state.counters["cpu_percent_of_one_core"] = cpuPercent;
    state.counters["requests"] = static_cast<double>(requests);
    state.counters["items"] = 32.0 * 43737.0;
    while (root.LevelCount() > 0) root.RemoveLevel(root.LevelAt(0)->FullPath());
}
BENCHMARK(BM_ThirtyTwoIdleChannels)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
