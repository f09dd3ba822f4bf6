#pragma once
#include "config/LevelChannel.h"

#include <atomic>
#include <string>
#include <vector>

// A channel without a transport: records which transport operations ran.
class TestChannel : public CLevelChannel {
   public:
    explicit TestChannel(uint8_t kind = kKindChannelCOM, const char* name = nullptr) : CLevelChannel(kind)
    {
        SetName(name);
    }
    ~TestChannel() override { Shutdown(); }

    int Open() override
    {
        m_calls.push_back("Open");
        SetState(kChannelOpen);
        return 0;
    }
    void Close() override
    {
        m_calls.push_back("Close");
        SetState(kChannelClosed);
    }
    int Send(uint8_t*, uint32_t*) override { return 1; }
    int Receive(uint8_t*, uint32_t*) override { return 1; }

    std::vector<std::string> m_calls;
};
