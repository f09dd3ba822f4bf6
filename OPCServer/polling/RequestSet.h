#pragma once
// The request set of the device exchange, shared by its source files only.
#include "polling/DeviceExchange.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <unordered_map>
#include <vector>

inline constexpr uint8_t kDirectionRead = 1;
inline constexpr uint8_t kDirectionWrite = 2;
inline constexpr uint8_t kProtocolModbus = 1;

// The items of one read or write, with the transactions of the current pass.
struct CDeviceExchange::RequestSet {
    uint8_t m_slaveAddress = 1;
    uint8_t m_direction = kDirectionRead;
    uint8_t m_protocol = kProtocolModbus;
    bool m_sorted = false;

    // Items still to be served from m_head on; served ones are marked gone.
    std::vector<CDATag*> m_items;
    std::vector<uint8_t> m_gone;
    size_t m_head = 0;

    // The current pass: indices into m_items, and its transactions.
    std::vector<size_t> m_pass;
    std::vector<std::unique_ptr<CTransaction>> m_transactions;

    // Writes: what became of every item of the set.
    std::unordered_map<CDATag*, WriteResult> m_outcomes;

    bool Contains(const CDATag* item) const
    {
        return std::find(m_items.begin(), m_items.end(), item) != m_items.end();
    }
};
