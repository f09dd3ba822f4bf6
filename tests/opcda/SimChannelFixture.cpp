#include "opcda/SimChannelFixture.h"

#include "transports/ChannelFactory.h"
#include "transports/LevelChannelTCP.h"

#include <sstream>
#include <stdexcept>

CLevelChannel& SimChannelTest::AddSimChannel(const std::function<void(CLevelChannel&)>& adjust)
{
    if (!m_sim.Start({"--static", "--tcp", "127.0.0.1:0", "--control", m_folder.File("sim")})) {
        throw std::runtime_error("kit simulator: " + m_sim.Error());
    }
    std::unique_ptr<CLevelChannel> owned = CreateChannel(kKindChannelTCP);
    CLevelChannel& channel = *owned;
    channel.SetName("Vireo-2_1");
    channel.Settings().m_pauseBeforeRequest = 0;
    static_cast<CLevelChannelTCP&>(channel).ConnectionSettings() = {0x7F000001, uint32_t(m_sim.TcpPort()),
                                                                    1000};
    if (adjust) {
        adjust(channel);
    }
    channel.Initialise();
    App().Root()->AddLevel(std::move(owned));
    EXPECT_EQ(channel.Build(), 1);
    channel.Exchange().SetServices(*m_services);
    return channel;
}

std::string SimChannelTest::Sim(const std::string& command)
{
    const std::string reply = SimTest::Control(m_folder.File("sim"), command);
    EXPECT_EQ(reply.rfind("ok", 0), 0u) << command << ": " << reply;
    return reply.size() > 3 ? reply.substr(3) : std::string();
}

uint64_t SimChannelTest::SimCount(const std::string& name)
{
    std::istringstream words(Sim("stats"));
    for (std::string word; words >> word;) {
        if (word.rfind(name + "=", 0) == 0) return std::stoull(word.substr(name.size() + 1));
    }
    throw std::runtime_error("no " + name + " in the simulator's statistics");
}
