#pragma once
#include <cstdint>
#include <string>

class CLevelChannel;

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

// Where a channel and its device exchange report: communication events go to
// the statistics log, frame traces to the debug log. Called with the
// exchange lock held; an implementation takes only innermost locks.
class IExchangeEvents {
   public:
    // A communication event (CommEvent code) of the channel.
    virtual void RecordCommEvent(uint32_t code, const CLevelChannel& channel) = 0;
    // Whether frame traces are written now: the hex text is built only then.
    virtual bool TracesFrames() = 0;
    // One frame trace line ("Write<n>: .." or "Read<n>: ..").
    virtual void TraceFrame(const std::string& line) = 0;

   protected:
    ~IExchangeEvents() = default;
};
