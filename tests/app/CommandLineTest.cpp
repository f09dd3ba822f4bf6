// The program's arguments: the "/" command line and the options of its own.
#include "app/CommandLine.h"
#include "app/SingleVectors.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

struct ModeCase {
    const char* m_line;
    uint8_t m_startMode;
    RunAction m_action;
};

class CommandLineModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(CommandLineModes, FirstTokenGivesTheStartModeAndTheWalkTheAction)
{
    EXPECT_EQ(StartModeOf(GetParam().m_line), GetParam().m_startMode) << GetParam().m_line;
    EXPECT_EQ(RunActionOf(GetParam().m_line), GetParam().m_action) << GetParam().m_line;
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, CommandLineModes,
    ::testing::Values(ModeCase{"", kStartModeNormal, RunAction::Server},
                      ModeCase{"-Embedding", kStartModeNormal, RunAction::Server},
                      ModeCase{"/regserver", kStartModeRegistration, RunAction::Register},
                      ModeCase{"/RegServer", kStartModeRegistration, RunAction::Register},
                      // "unregserver" holds "regserver": it is looked for first.
                      ModeCase{"/unregserver", kStartModeRegistration, RunAction::Unregister},
                      ModeCase{"/UnregServer", kStartModeRegistration, RunAction::Unregister},
                      ModeCase{"/cfg", kStartModeConfiguration, RunAction::Configuration},
                      ModeCase{"cfg", kStartModeConfiguration, RunAction::Configuration},
                      // Configuration mode from a later token: start mode stays 0 (no progress window).
                      ModeCase{"/x/cfg", kStartModeNormal, RunAction::Configuration},
                      ModeCase{"//x//CFG//", kStartModeNormal, RunAction::Configuration},
                      // The walk stops at the first token that names an action.
                      ModeCase{"/cfg/regserver", kStartModeConfiguration, RunAction::Configuration},
                      ModeCase{"/x/regserver/cfg", kStartModeNormal, RunAction::Register},
                      // Within one token "cfg" is tested after "regserver" for the mode, not for the action.
                      ModeCase{"/regservercfg", kStartModeConfiguration, RunAction::Register}));

TEST(CommandLine, TokensAreTheNonEmptyPiecesBetweenSlashes)
{
    EXPECT_EQ(CommandTokens("/a//b c/"), (std::vector<std::string_view>{"a", "b c"}));
    EXPECT_TRUE(CommandTokens("///").empty());
}

struct OptionsCase {
    std::vector<const char*> m_args;
    const char* m_commandLine;
    const char* m_listen;
    bool m_error;
};

class ProgramOptions : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(ProgramOptions, SplitIntoOwnOptionsAndTheCommandLine)
{
    std::vector<const char*> argv{"OpcVireo2"};
    argv.insert(argv.end(), GetParam().m_args.begin(), GetParam().m_args.end());
    const CAppOptions options = ParseAppOptions(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(!options.m_error.empty(), GetParam().m_error) << options.m_error;
    if (!GetParam().m_error) {
        EXPECT_EQ(options.m_commandLine, GetParam().m_commandLine);
        EXPECT_EQ(options.m_listen, GetParam().m_listen);
    }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, ProgramOptions,
    ::testing::Values(
        OptionsCase{{"/x", "/cfg"}, "/x /cfg", "", false},
        OptionsCase{{"--listen", "0.0.0.0:4841", "/cfg"}, "/cfg", "0.0.0.0:4841", false},
        OptionsCase{{"/cfg", "--listen=plc-host.local:48400"}, "/cfg", "plc-host.local:48400", false},
        // Port 0: any free port.
        OptionsCase{{"--listen", "[::1]:0"}, "", "[::1]:0", false}, OptionsCase{{"--listen"}, "", "", true},
        OptionsCase{{"--listen", "4840"}, "", "", true},
        OptionsCase{{"--listen", "127.0.0.1:65536"}, "", "", true},
        OptionsCase{{"--listen", ":4840"}, "", "", true}, OptionsCase{{"--listen", "::1:4840"}, "", "", true},
        OptionsCase{{"--what"}, "", "", true}));

}  // namespace
