#pragma once
#include "polling/ExchangeEvents.h"

#include <cstdint>
#include <string>
#include <string_view>

class CLogFile;
class CCriticalSection;

// The event codes are the exchange's (polling/ExchangeEvents.h); the texts are here.

// The event's text; an unknown code gives "Ошибка #<code>".
std::string CommEventText(uint32_t code);

// "<channel path>: text", the statistics line of one event.
std::string CommEventLine(uint32_t code, std::string_view channelPath);

// Appends the event's line to the statistics log under the statistics lock;
// nothing when there is no log. The singleton's RecordCommEvent passes the
// channel's full path.
bool RecordCommEventTo(CLogFile* log, CCriticalSection& statisticsLock, uint32_t code,
                       std::string_view channelPath);
