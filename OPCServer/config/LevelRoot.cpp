#include "config/LevelRoot.h"

CLevelRoot::CLevelRoot() : CLevelElementBase(kKindRoot)
{
    SetName(kRootName);
}

CLevelChannel* CLevelRoot::ChannelAt(size_t index) const
{
    return dynamic_cast<CLevelChannel*>(LevelAt(index));
}

bool CLevelRoot::StartAll(CLevelChannel::ThreadRoutine routine)
{
    bool all = true;
    for (size_t i = 0; i < LevelCount(); ++i) {
        if (CLevelChannel* channel = ChannelAt(i)) {
            if (channel->StartThread(routine) == 0) {
                all = false;
            }
        }
    }
    return all;
}

size_t CLevelRoot::StopAll()
{
    for (size_t i = 0; i < LevelCount(); ++i) {
        if (CLevelChannel* channel = ChannelAt(i)) {
            channel->ClearRunFlag();
        }
    }
    for (size_t i = 0; i < LevelCount(); ++i) {
        if (CLevelChannel* channel = ChannelAt(i)) {
            channel->StopThread();
        }
    }
    return LevelCount();
}

void CLevelRoot::BuildAll()
{
    for (size_t i = 0; i < LevelCount(); ++i) {
        if (CLevelChannel* channel = ChannelAt(i)) {
            (void)channel->Build();
        }
    }
}

void CLevelRoot::TeardownAll()
{
    for (size_t i = 0; i < LevelCount(); ++i) {
        if (CLevelChannel* channel = ChannelAt(i)) {
            channel->Teardown();
        }
    }
}
