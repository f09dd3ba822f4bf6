#include "config/LevelChannel.h"

#include <system_error>

CLevelChannel::~CLevelChannel()
{
    // The concrete channel has shut down already; this only makes sure no
    // thread outlives the object.
    StopThread();
}

void CLevelChannel::Initialise()
{
    m_state.store(kChannelClosed);
    m_runFlag.store(1);
}

void CLevelChannel::Shutdown()
{
    ClearRunFlag();
    StopThread();
    Teardown();
    Close();
}

bool CLevelChannel::Describe(uint32_t /*row*/, std::string& /*label*/, std::string& /*value*/)
{
    return false;
}

void CLevelChannel::Teardown()
{
    DeleteItem();
    DeleteTags();
    DeleteLevels();
}

int CLevelChannel::StartThread(ThreadRoutine routine)
{
    if (routine == nullptr) {
        return 0;
    }
    if (m_thread.joinable()) {
        return 1;
    }
    m_runFlag.store(1);
    try {
        m_thread = std::thread(routine, this);
        m_threadId = m_thread.get_id();
    } catch (const std::system_error&) {
        // No thread: the handle stays empty and a later start may succeed.
    }
    return 1;
}

void CLevelChannel::StopThread()
{
    if (m_thread.joinable()) {
        m_runFlag.store(0);
        m_thread.join();
        m_threadId = {};
    }
}

void CLevelChannel::SetKey(const char* text)
{
    if (text != nullptr) {
        SetKey(std::string_view(text));
    }
}

void CLevelChannel::SetKey(std::string_view text)
{
    m_key.assign(text);
}
