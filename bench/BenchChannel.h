#pragma once
// A channel whose device is never asked: for benchmarks of what happens
// before any transaction. Every PAS unit is of the full model, so its item
// space is the largest a channel has (43,737 items).
#include "config/LevelChannel.h"

#include <string>

class BenchChannel : public CLevelChannel {
   public:
    explicit BenchChannel(const std::string& name = "Vireo-2_1") : CLevelChannel(kKindChannelTCP)
    {
        SetName(name);
        for (auto& model : Settings().m_pasModels) model = 1;
    }
    ~BenchChannel() override { Shutdown(); }
    int Open() override { return 0; }
    void Close() override {}
    int Send(uint8_t*, uint32_t*) override { return 1; }
    int Receive(uint8_t*, uint32_t*) override { return 1; }
};
