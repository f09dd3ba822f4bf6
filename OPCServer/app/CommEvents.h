#pragma once
#include <cstdint>
#include <string>
#include <string_view>

class CLogFile;
class CCriticalSection;

// Communication event codes recorded in the statistics log.
enum CommEvent : uint32_t {
    kCommBadPacket = 2,
    kCommChecksumMismatch = 3,  // never raised
    kCommNoAnswer = 4,
    kCommLinkUp = 7,
    kCommLinkDown = 8,
    kCommTimeSyncError = 9,  // never raised
    kCommTimeSync = 10,      // never raised
    kCommPortOpenError = 11,
    kCommKeyMismatch = 12,
    kCommBadRequest = 20,  // never raised
    kCommNoData = 21,      // never raised
};

// The event's text; an unknown code gives "Ошибка #<code>".
std::string CommEventText(uint32_t code);

// "<channel path>: text", the statistics line of one event.
std::string CommEventLine(uint32_t code, std::string_view channelPath);

// Appends the event's line to the statistics log under the statistics lock;
// nothing when there is no log. The singleton's RecordCommEvent passes the
// channel's full path.
bool RecordCommEventTo(CLogFile* log, CCriticalSection& statisticsLock, uint32_t code,
                       std::string_view channelPath);
