#include "config/LevelChannel.h"

#include "platform/CrashSignals.h"
#include "polling/FrameTrace.h"

#include <algorithm>
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
    m_exchange.SetChannel(this);
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
    // The toolkit drops its client references before the items go.
    DeleteItem();
    {
        // A toolkit thread may still be inside a pass of this exchange.
        CCriticalSectionLock lock(m_exchangeLock);
        m_exchange.ClearItems();
    }
    DeleteTags();
    DeleteLevels();
}

int CLevelChannel::Restart(const std::function<void(CLevelChannel&)>& applySettings, ThreadRoutine routine)
{
    StopThread();
    Close();
    Teardown();
    if (applySettings) {
        applySettings(*this);
    }
    (void)Build();
    (void)Open();
    return StartThread(routine);
}

int CLevelChannel::Send(uint8_t* bytes, uint32_t* length)
{
    if (bytes != nullptr && length != nullptr) {
        TraceFrameWrite(m_exchange.Services().m_events, bytes, *length);
    }
    return 1;
}

int CLevelChannel::Receive(uint8_t* bytes, uint32_t* length)
{
    if (bytes != nullptr && length != nullptr) {
        TraceFrameRead(m_exchange.Services().m_events, bytes, *length);
    }
    return 1;
}

void CLevelChannel::DropPendingInput()
{
    (void)Receive(nullptr, nullptr);
    (void)Send(nullptr, nullptr);
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
        m_thread = std::thread([routine, this] {
            // A stack overflow in the channel's thread is reported too.
            PrepareCrashStackForThread();
            routine(this);
        });
        m_threadId = m_thread.get_id();
    } catch (const std::system_error&) {
        // No thread: the handle stays empty and a later start may succeed.
    }
    return 1;
}

void CLevelChannel::StopThread()
{
    if (m_thread.joinable()) {
        ClearRunFlag();
        m_thread.join();
        m_threadId = {};
    }
}

uint32_t CLevelChannel::ResponseTimeoutMs() const
{
    return std::clamp(m_settings.m_responseTimeout, kMinResponseTimeoutMs, MaxResponseTimeoutMs());
}

uint32_t CLevelChannel::PauseBeforeRequestMs() const
{
    return std::min(m_settings.m_pauseBeforeRequest, kMaxPauseBeforeRequestMs);
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
