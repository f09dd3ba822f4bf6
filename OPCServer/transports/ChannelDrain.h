#pragma once
#include <cstdint>

// Reads away input that belongs to no request, without waiting. A peer that
// never stops sending must not hold the drain for ever, hence the limit.
template <class Endpoint>
void DrainPending(Endpoint& endpoint, int resultOk)
{
    constexpr uint32_t kChunk = 100;
    constexpr int kLimit = 1000;
    uint8_t scratch[kChunk];
    uint32_t chunk = kChunk;
    for (int i = 0; i < kLimit && endpoint.ReceiveBytes(scratch, &chunk, 0) == resultOk; ++i) {
        chunk = kChunk;
    }
}
