#pragma once
#include "platform/CriticalSection.h"
#include "platform/IntervalTimer.h"
#include "polling/ExchangeEvents.h"

#include <cstdint>

// Entry points of the packet cipher library (C calling convention).
using EncryptPacketFunction = void (*)(const uint8_t* key, const uint8_t* plain, int32_t plainLength,
                                       uint8_t* packet, int32_t* packetLength);
using DecryptPacketFunction = int32_t (*)(const uint8_t* key, const uint8_t* packet, int32_t packetLength,
                                          uint8_t* plain, int32_t* plainLength);

// What a channel's device exchange uses of the process. The application
// singleton owns one and hands it to its root, and the root to every channel
// that joins it; tests hand a channel one of their own (to choose the
// envelope, for instance). It must outlive the channels that use it and is
// not changed while their exchanges run.
struct CExchangeServices {
    // Guards item values, qualities and time stamps; taken inside the exchange lock.
    CCriticalSection& m_itemLock;
    // Restarted before and after every send; shutdown waits until it has elapsed.
    CIntervalTimer& m_lastExchangeTimer;
    IExchangeEvents& m_events;
    // Either may be null: frames then travel plain.
    EncryptPacketFunction m_encrypt = nullptr;
    DecryptPacketFunction m_decrypt = nullptr;

    // The same services with another envelope (both null: plain frames).
    CExchangeServices WithCipher(EncryptPacketFunction encrypt, DecryptPacketFunction decrypt) const
    {
        CExchangeServices services = *this;
        services.m_encrypt = encrypt;
        services.m_decrypt = decrypt;
        return services;
    }
};

// The services of a channel that has joined no root: an item lock and a
// timer of their own, no cipher, and events and traces that go nowhere.
const CExchangeServices& DetachedExchangeServices();
