#include "config/LevelRoot.h"

CLevelRoot::CLevelRoot() : CLevelElementBase(kKindRoot)
{
    SetName(kRootName);
}

void CLevelRoot::UseServices(const CExchangeServices& services)
{
    m_services = &services;
    for (size_t i = 0; i < LevelCount(); ++i) {
        if (CLevelChannel* channel = ChannelAt(i)) {
            channel->Exchange().SetServices(services);
        }
    }
}

void CLevelRoot::LevelAdded(CLevelElementBase& level)
{
    if (auto* channel = dynamic_cast<CLevelChannel*>(&level)) {
        channel->Exchange().SetServices(*m_services);
    }
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
