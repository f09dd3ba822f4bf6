#include "polling/ExchangeServices.h"

namespace {

class CNoEvents final : public IExchangeEvents {
   public:
    void RecordCommEvent(uint32_t /*code*/, const CLevelChannel& /*channel*/) override {}
    bool TracesFrames() override { return false; }
    void TraceFrame(const std::string& /*line*/) override {}
};

}  // namespace

const CExchangeServices& DetachedExchangeServices()
{
    static CCriticalSection itemLock;
    static CIntervalTimer lastExchange(5000);
    static CNoEvents events;
    static const CExchangeServices services{itemLock, lastExchange, events};
    return services;
}
