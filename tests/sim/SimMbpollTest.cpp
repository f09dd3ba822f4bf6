// mbpoll (a Modbus master nobody here wrote) against the simulator.
#include "SimRegisters.h"
#include "sim/SimHarness.h"

#include <gtest/gtest.h>
#include <map>
#include <regex>

using namespace SimTest;
using namespace VireoSim;

namespace {

class SimMbpoll : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_sim.Start({"--static", "--tcp", "127.0.0.1:0", "--pty"})) << m_sim.Error();
    }
    void TearDown() override
    {
        if (m_sim.Pid() > 0) {
            EXPECT_EQ(m_sim.Stop(), 0) << m_sim.Error();
        }
    }
    // mbpoll once, 0-based references; the link options come first.
    ChildResult Tcp(std::vector<std::string> args)
    {
        std::vector<std::string> argv{"mbpoll", "-m", "tcp", "-p", std::to_string(m_sim.TcpPort()),
                                      "-0",     "-1"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.begin() + 7, "127.0.0.1");
        return RunProgram(Reorder(argv));
    }
    ChildResult Rtu(std::vector<std::string> args)
    {
        std::vector<std::string> argv{"mbpoll", "-m", "rtu", "-b", "19200", "-P", "none", "-0", "-1"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.begin() + 9, m_sim.PtyPath());
        return RunProgram(Reorder(argv));
    }
    // mbpoll wants options before the device and the values after it.
    static std::vector<std::string> Reorder(std::vector<std::string> argv)
    {
        std::vector<std::string> options, values;
        std::string device;
        for (size_t i = 1; i < argv.size(); ++i) {
            const std::string& a = argv[i];
            if (a[0] == '-' && a.size() > 1 && !std::isdigit(static_cast<unsigned char>(a[1]))) {
                options.push_back(a);
                if (a != "-0" && a != "-1" && i + 1 < argv.size()) options.push_back(argv[++i]);
            } else if (device.empty()) {
                device = a;
            } else {
                values.push_back(a);
            }
        }
        std::vector<std::string> out{argv[0]};
        out.insert(out.end(), options.begin(), options.end());
        out.push_back(device);
        out.insert(out.end(), values.begin(), values.end());
        return out;
    }
    // "[addr]: \tvalue" lines of a read.
    static std::map<int, long> Values(const std::string& out)
    {
        std::map<int, long> values;
        std::regex line(R"(\[(\d+)\]:\s+(-?\d+))");
        for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) {
            values[std::stoi((*it)[1])] = std::stol((*it)[2]);
        }
        return values;
    }

    SimProcess m_sim;
};

TEST_F(SimMbpoll, ReadsSeveralMapsOverTcpAndRtu)
{
    ChildResult pu = Tcp({"-r", "6011", "-c", "3"});
    ASSERT_EQ(pu.exitCode, 0) << pu.err;
    std::map<int, long> v = Values(pu.out);
    ASSERT_EQ(v.size(), 3u) << pu.out;
    EXPECT_EQ(v[6011] >> 8, kPuKernelVersion);
    EXPECT_EQ(v[6012] & 0xFF, kPuKernelModel);

    ChildResult pin = Rtu({"-r", "4310", "-c", "18"});  // PIN_2, offsets 1..18
    ASSERT_EQ(pin.exitCode, 0) << pin.err;
    v = Values(pin.out);
    ASSERT_EQ(v.size(), 18u) << pin.out;
    EXPECT_EQ(v[4326] >> 8, kPinKernelVersion);
    EXPECT_EQ(v[4327] & 0xFF, kPinKernelModel);

    ChildResult mypin = Rtu({"-r", "516", "-c", "2"});
    ASSERT_EQ(mypin.exitCode, 0) << mypin.err;
    v = Values(mypin.out);
    EXPECT_EQ(v[516], kMyPinModelVersion << 8 | kMyPinKernelVersion);
    EXPECT_EQ(v[517] & 1, 1);

    ChildResult outside = Tcp({"-r", "5036", "-c", "1"});
    EXPECT_NE((outside.out + outside.err).find("Illegal data address"), std::string::npos);
}

TEST_F(SimMbpoll, WritesCommandsOnlyWithThePassword)
{
    ChildResult refused = Tcp({"-r", "2010", "1029"});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("Slave device or server failure"), std::string::npos) << refused.err;
    EXPECT_EQ(Values(Tcp({"-r", "2010"}).out)[2010], 0);

    // The 32-bit password, low word first, over RTU.
    ChildResult password = Rtu({"-t", "4:int", "-r", "2600", std::to_string(kDefaultPassword)});
    ASSERT_EQ(password.exitCode, 0) << password.err;
    EXPECT_NE(password.out.find("Written 1 references"), std::string::npos);

    ChildResult command = Tcp({"-r", "2010", "1029"});
    ASSERT_EQ(command.exitCode, 0) << command.err;
    ChildResult control = Rtu({"-r", "2515", "32768"});  // Pin_Control_256
    ASSERT_EQ(control.exitCode, 0) << control.err;
    EXPECT_EQ(Values(Rtu({"-r", "2010"}).out)[2010], 1029);
    EXPECT_EQ(Values(Tcp({"-r", "2515"}).out)[2515], 32768);
    EXPECT_EQ(Values(Tcp({"-r", "500"}).out)[500] >> 3 & 1, 1);
}

}  // namespace
