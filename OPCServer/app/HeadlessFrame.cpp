#include "app/HeadlessFrame.h"

#include "app/AppLoop.h"

void CHeadlessFrame::RunWithProgress(std::string_view /*caption*/, const std::function<void()>& work)
{
    if (work) {
        work();
    }
}

void CHeadlessFrame::Exec(CAppLoop& loop)
{
    while (!m_closed) {
        loop.RunOnce();
    }
}

void CHeadlessFrame::Close()
{
    m_closed = true;
    m_visible = false;
}
