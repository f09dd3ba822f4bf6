#include "TransportPeers.h"

Bytes ReceiveReply(const std::function<int(uint8_t*, uint32_t*)>& receive, const CModbusFrame& frame)
{
    const size_t expected = frame.ExpectedReplyLength();
    Bytes reply(expected);
    size_t have = 0;
    while (have < expected) {
        uint32_t n = static_cast<uint32_t>(expected - have);
        (void)receive(reply.data() + have, &n);
        if (n == 0) break;
        have += n;
        if (frame.CheckReply(reply.data(), have) != CModbusFrame::kCheckIncomplete) break;
    }
    reply.resize(have);
    return reply;
}

int64_t ElapsedMs(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
        .count();
}
