#pragma once
// Reused message buffers. A subscription to every item of a channel sends a
// message of megabytes every publishing interval: its buffers are reused, so
// no interval lays a message out in fresh pages, and handed back once the
// messages shrink, so a quiet subscription does not keep a burst's room.

#include "opcua/UaLimits.h"

#include <algorithm>
#include <string>
#include <vector>

namespace ua {

// Whether a buffer has far more room than a message of need bytes wants.
inline bool RoomUnneeded(const std::string& buffer, size_t need)
{
    return buffer.capacity() > std::max<size_t>(kKeptBufferBytes, need * 4);
}

inline void FitRoom(std::string& buffer, size_t need)
{
    if (RoomUnneeded(buffer, need)) std::string().swap(buffer);
}

// Spare buffers for messages of about the size the last one had.
class CSpareBuffers {
   public:
    std::string Take()
    {
        if (m_spares.empty()) return {};
        std::string s = std::move(m_spares.back());
        m_spares.pop_back();
        s.clear();
        return s;
    }
    void Give(std::string&& s)
    {
        if (m_spares.size() < kKept && s.capacity() != 0 && !RoomUnneeded(s, m_need))
            m_spares.push_back(std::move(s));
    }
    // The size of the latest message: spares far larger go.
    void Expect(size_t need)
    {
        m_need = need;
        std::erase_if(m_spares, [need](const std::string& s) { return RoomUnneeded(s, need); });
    }
    size_t Bytes() const
    {
        size_t n = 0;
        for (const std::string& s : m_spares) n += s.capacity();
        return n;
    }

   private:
    // A message going out and one waiting for its acknowledgement.
    static constexpr size_t kKept = 2;
    std::vector<std::string> m_spares;
    size_t m_need = 0;
};

}  // namespace ua
