#include "gui/Thread.h"

#include <system_error>
#include <utility>

CThread::~CThread()
{
    Stop();
}

bool CThread::Start(Routine routine)
{
    Stop();
    m_stopRequest.store(0);
    m_running.store(1);
    try {
        m_thread = std::thread([this, routine = std::move(routine)] {
            routine(Flags{m_stopRequest, m_running});
            m_running.store(0);
        });
    } catch (const std::system_error&) {
        m_running.store(0);
        return false;
    }
    return true;
}

void CThread::Stop()
{
    if (!m_thread.joinable()) {
        return;
    }
    m_stopRequest.store(1);
    m_thread.join();
    m_running.store(0);
}
