#include "support/PtyPair.h"

#include "support/Deadline.h"

#include <fcntl.h>
#include <unistd.h>

bool CPtyPair::Start()
{
    Stop();
    if (!m_socat.Start({"socat", "-d", "-d", "pty,raw,echo=0", "pty,raw,echo=0"}, CChildProcess::kStderr)) {
        return false;
    }
    const auto deadline = TestSupport::Clock::now() + std::chrono::seconds(5);
    int found = 0;
    std::string line;
    while (m_socat.ReadLine(true, &line, std::chrono::milliseconds(TestSupport::LeftMs(deadline)))) {
        const size_t at = line.find("PTY is ");
        if (at != std::string::npos && found < 2) {
            m_ends[found++] = line.substr(at + 7);
        }
        if (line.find("starting data transfer loop") != std::string::npos) {
            break;
        }
    }
    if (found != 2) {
        Stop();
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        m_keepers[i] = ::open(m_ends[i].c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_keepers[i] < 0) {
            Stop();
            return false;
        }
    }
    return true;
}

void CPtyPair::Stop()
{
    m_socat.Stop();
    for (int& fd : m_keepers) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}
