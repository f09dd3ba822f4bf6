#pragma once
// The text commands of the control socket.
#include "SimBank.h"
#include "SimDevice.h"
#include "SimEngine.h"

#include <functional>
#include <string>

namespace VireoSim {

class CSimControl {
   public:
    CSimControl(CSimEngine& engine, CSimBank& bank, CSimDevice& device, std::function<void()> tick)
        : m_engine(engine), m_bank(bank), m_device(device), m_tick(std::move(tick))
    {
    }

    // One command line (without its newline) in, one answer line out:
    // "ok ..." or "error ...".
    std::string Execute(const std::string& line);

   private:
    CSimEngine& m_engine;
    CSimBank& m_bank;
    CSimDevice& m_device;
    std::function<void()> m_tick;
};

}  // namespace VireoSim
