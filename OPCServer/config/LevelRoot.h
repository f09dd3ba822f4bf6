#pragma once
#include "config/LevelChannel.h"
#include "config/LevelElementBase.h"
#include "polling/ExchangeServices.h"

#include <cstdint>

// The top of the configuration tree; holds the channels.
class CLevelRoot : public CLevelElementBase {
   public:
    static constexpr const char* kRootName = "Каналы связи";
    static constexpr uint32_t kDefaultStatisticsSizeLimit = 5000;  // kilobytes

    CLevelRoot();

    // The record adds the two statistics settings.
    size_t Save(CConfigWriter& out) const override;
    size_t Load(CConfigReader& in) override;

    // Starts every channel's polling thread on routine; all are attempted,
    // true only if every start succeeded.
    bool StartAll(CLevelChannel::ThreadRoutine routine = &ChannelPollingThread);
    // Clears every run flag first, so that all threads wind down together,
    // then waits for each thread in turn. Answers the number of levels.
    size_t StopAll();
    // Build on every channel: item spaces made, defined and collected.
    void BuildAll();
    // Teardown on every channel.
    void TeardownAll();

    // What the channels' exchanges use of the process: handed to every
    // channel now and to every channel that joins later. Given before the
    // channels' threads start; until then they have the detached services.
    void UseServices(const CExchangeServices& services);

    size_t ChannelCount() const { return LevelCount(); }
    // The level at index when it is a channel, else null.
    CLevelChannel* ChannelAt(size_t index) const;

    // Settings of the communication statistics log, stored with the root.
    uint32_t StatisticsEnabled() const { return m_statisticsEnabled; }
    void SetStatisticsEnabled(uint32_t enabled) { m_statisticsEnabled = enabled; }
    uint32_t StatisticsSizeLimit() const { return m_statisticsSizeLimit; }
    void SetStatisticsSizeLimit(uint32_t kilobytes) { m_statisticsSizeLimit = kilobytes; }

   protected:
    void LevelAdded(CLevelElementBase& level) override;

   private:
    const CExchangeServices* m_services = &DetachedExchangeServices();
    uint32_t m_statisticsEnabled = 1;
    uint32_t m_statisticsSizeLimit = kDefaultStatisticsSizeLimit;
};
