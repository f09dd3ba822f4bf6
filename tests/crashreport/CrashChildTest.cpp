// The report as a faulting child process leaves it beside its executable.
#include "ReportTestSupport.h"
#include "app/Version.h"
#include "support/ChildProcess.h"
#include "support/TempFolder.h"

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* kImagehlpLine = "IMAGEHLP.DLL or its exported procs not found\n";
// Every function the child faults in is far smaller than this.
constexpr uint64_t kFunctionReach = 256;

bool Within(uint64_t address, uint64_t start, uint64_t reach = kFunctionReach)
{
    return address >= start && address - start < reach;
}

class CrashChild : public ::testing::Test {
   protected:
    void SetUp() override
    {
        const char* bin = std::getenv("VIREO_TEST_BIN");
        ASSERT_NE(bin, nullptr) << "VIREO_TEST_BIN names the folder of the test programs";
        m_program = m_dir.Path() + "/OpcVireo2";
        fs::copy_file(fs::path(bin) / "crashreport_crasher", m_program);
        m_report = m_program + ".RPT";
        ASSERT_TRUE(FindElfSection(m_program, ".text", &m_text));
    }

    ChildResult Run(const std::string& mode)
    {
        ChildResult run = RunProgram({m_program, mode}, std::chrono::seconds(30), {"TZ=UTC", "LC_ALL=C"});
        EXPECT_FALSE(run.timedOut) << mode;
        m_announced = ParseAnnouncements(run.out);
        return run;
    }

    uint64_t Announced(const std::string& name)
    {
        const auto it = m_announced.find(name);
        EXPECT_NE(it, m_announced.end()) << name << " not announced";
        return it == m_announced.end() ? 0 : it->second;
    }

    std::vector<ParsedReport> Reports()
    {
        std::string text;
        EXPECT_TRUE(Utf16LeToUtf8(ReadBytes(m_report), &text)) << "not UTF-16LE";
        std::vector<ParsedReport> parsed;
        for (const std::string& report : SplitReports(text)) {
            ParsedReport p;
            std::string error;
            EXPECT_TRUE(ParseReport(report, &p, &error)) << error;
            parsed.push_back(p);
        }
        return parsed;
    }

    // The address lies in the child's own code: its path, its .text section
    // and the offset that the load address gives.
    void ExpectInProgramText(uint64_t address, uint32_t section, uint64_t offset, const std::string& module)
    {
        EXPECT_EQ(module, m_program);
        EXPECT_EQ(section, m_text.index);
        EXPECT_EQ(offset, address - Announced("base") - m_text.address);
    }

    std::string CodeBytes(uint64_t offsetInText, size_t count)
    {
        return ReadBytes(m_program).substr(m_text.fileOffset + offsetInText, count);
    }

    CTempFolder m_dir;
    std::string m_program;
    std::string m_report;
    ElfSection m_text;
    std::map<std::string, uint64_t> m_announced;
};

TEST_F(CrashChild, NullWriteReportsAccessViolationInTheProgramText)
{
    const ChildResult run = Run("null");
    EXPECT_TRUE(run.signaled);
    EXPECT_EQ(run.signalNumber, SIGSEGV);
    EXPECT_NE(run.out.find("report=" + m_report + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(kImagehlpLine), std::string::npos) << run.err;

    const std::vector<ParsedReport> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    const ParsedReport& r = reports[0];
    EXPECT_EQ(r.code, 0xC0000005u);
    EXPECT_EQ(r.name, "ACCESS_VIOLATION");
    EXPECT_TRUE(Within(r.faultAddress, Announced("NullWrite"))) << std::hex << r.faultAddress;
    ExpectInProgramText(r.faultAddress, r.faultSection, r.faultOffset, r.faultModule);

    const auto& regs = r.registers;
    EXPECT_EQ(regs.at("RIP"), r.faultAddress);
    EXPECT_EQ(regs.at("CS"), 0x33u);
    EXPECT_EQ(regs.at("SS"), 0x2Bu);
    EXPECT_NE(regs.at("Flags") & 0x2u, 0u) << "bit 1 of RFLAGS always reads 1";
    EXPECT_LE(regs.at("RSP"), regs.at("RBP"));

    // NullWrite <- CallNullWrite <- RunMode <- main, all in the program.
    ASSERT_GE(r.frames.size(), 4u);
    EXPECT_EQ(r.frames[0].pc, r.faultAddress);
    EXPECT_EQ(r.frames[0].frame, regs.at("RBP"));
    EXPECT_TRUE(Within(r.frames[1].pc, Announced("CallNullWrite") + 1)) << std::hex << r.frames[1].pc;
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        ExpectInProgramText(r.frames[i].pc, r.frames[i].section, r.frames[i].offset, r.frames[i].module);
        if (i > 0) {
            EXPECT_GT(r.frames[i].frame, r.frames[i - 1].frame);
        }
    }
}

TEST_F(CrashChild, FileInformationDescribesTheProgramFileAndItsVersion)
{
    const int64_t before = std::time(nullptr);
    Run("null");
    const int64_t after = std::time(nullptr);
    const std::vector<ParsedReport> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    const ParsedReport& r = reports[0];
    ASSERT_TRUE(r.hasFileInformation);
    EXPECT_EQ(r.programPath, m_program);

    const VS_FIXEDFILEINFO& v = ProgramVersion();
    const uint32_t expected[] = {
        v.dwSignature,        v.dwStrucVersion,  v.dwFileVersionMS, v.dwFileVersionLS, v.dwProductVersionMS,
        v.dwProductVersionLS, v.dwFileFlagsMask, v.dwFileFlags,     v.dwFileOS,        v.dwFileType,
        v.dwFileSubtype,      v.dwFileDateMS,    v.dwFileDateLS};
    ASSERT_EQ(r.version.size(), 13u);
    for (size_t i = 0; i < 13; ++i) {
        EXPECT_EQ(r.version[i].second, expected[i]) << r.version[i].first;
    }
    EXPECT_EQ(r.version[0].second, 0xFEEF04BDu);

    // The times are those of the program file (the child runs with TZ=UTC).
    struct stat info {};
    ASSERT_EQ(stat(m_program.c_str(), &info), 0);
    EXPECT_EQ(ParseReportTime(r.lastWriteTime), static_cast<int64_t>(info.st_mtim.tv_sec)) << r.lastWriteTime;
    const int64_t access = ParseReportTime(r.lastAccessTime);
    EXPECT_GE(access, static_cast<int64_t>(info.st_mtim.tv_sec) - 1) << r.lastAccessTime;
    EXPECT_LE(access, after);
    const int64_t creation = ParseReportTime(r.creationTime);
    EXPECT_GE(creation, before - 1) << r.creationTime;  // the copy was made by this test
    EXPECT_LE(creation, after);

    const int64_t reported = ParseReportTime(r.reportTime);
    EXPECT_GE(reported, before) << r.reportTime;
    EXPECT_LE(reported, after);
}

TEST_F(CrashChild, SecondCrashAppendsAfterTheFirstReport)
{
    Run("null");
    const std::string first = ReadBytes(m_report);
    ASSERT_GE(first.size(), 4u);
    EXPECT_EQ(first.substr(0, 4), std::string("\n\0\n\0", 4)) << "no byte-order mark, lines end in LF";
    EXPECT_EQ(first.find(std::string("\r\0", 2)), std::string::npos);

    const ChildResult second = Run("divide");
    EXPECT_EQ(second.signalNumber, SIGFPE);
    const std::string both = ReadBytes(m_report);
    ASSERT_GT(both.size(), first.size());
    EXPECT_EQ(both.substr(0, first.size()), first) << "the first report must stay as it was";

    const std::vector<ParsedReport> reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].name, "ACCESS_VIOLATION");
    EXPECT_EQ(reports[1].name, "INT_DIVIDE_BY_ZERO");
}

TEST_F(CrashChild, ReportThatCannotBeOpenedIsLostAndTheSignalStillKills)
{
    // A folder in the report's place: opening it for writing fails even for root.
    fs::create_directory(m_report);
    const ChildResult run = Run("null");
    EXPECT_TRUE(run.signaled);
    EXPECT_EQ(run.signalNumber, SIGSEGV);
    EXPECT_NE(run.err.find(kImagehlpLine), std::string::npos) << "the report ran: " << run.err;
    EXPECT_TRUE(fs::is_directory(m_report));
    EXPECT_TRUE(fs::is_empty(m_report));

    // A link into a folder that does not exist.
    fs::remove(m_report);
    fs::create_symlink(m_dir.Path() + "/missing/report", m_report);
    const ChildResult again = Run("divide");
    EXPECT_EQ(again.signalNumber, SIGFPE);
    EXPECT_FALSE(fs::exists(m_dir.Path() + "/missing"));
}

struct FaultCase {
    const char* mode;
    int signalNumber;
    uint32_t code;
    const char* name;
    const char* function;  // announced by the child; the fault lies in it
};

void PrintTo(const FaultCase& c, std::ostream* os)
{
    *os << c.mode;
}

class CrashChildFault : public CrashChild, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(CrashChildFault, ReportsTheExceptionOfTheSignal)
{
    const FaultCase& c = GetParam();
    const ChildResult run = Run(c.mode);
    EXPECT_TRUE(run.signaled) << run.err;
    EXPECT_EQ(run.signalNumber, c.signalNumber);
    const std::vector<ParsedReport> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    const ParsedReport& r = reports[0];
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.name, c.name);
    EXPECT_TRUE(Within(r.faultAddress, Announced(c.function))) << std::hex << r.faultAddress;
    ExpectInProgramText(r.faultAddress, r.faultSection, r.faultOffset, r.faultModule);
    EXPECT_EQ(r.registers.at("RIP"), r.faultAddress);
    ASSERT_FALSE(r.frames.empty());
    EXPECT_EQ(r.frames[0].pc, r.faultAddress);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, CrashChildFault,
    ::testing::Values(FaultCase{"protected", SIGSEGV, 0xC0000005u, "ACCESS_VIOLATION", "ProtectedWrite"},
                      FaultCase{"thread-null", SIGSEGV, 0xC0000005u, "ACCESS_VIOLATION", "NullWrite"},
                      FaultCase{"loader-locked", SIGSEGV, 0xC0000005u, "ACCESS_VIOLATION", "NullWrite"},
                      FaultCase{"divide", SIGFPE, 0xC0000094u, "INT_DIVIDE_BY_ZERO", "DivideByZero"},
                      FaultCase{"float", SIGFPE, 0xC000008Eu, "FLT_DIVIDE_BY_ZERO", "FloatDivideByZero"},
                      FaultCase{"illegal", SIGILL, 0xC000001Du, "ILLEGAL_INSTRUCTION", "IllegalInstruction"},
                      FaultCase{"breakpoint", SIGTRAP, 0x80000003u, "BREAKPOINT", "Breakpoint"},
                      FaultCase{"misaligned", SIGBUS, 0x80000002u, "DATATYPE_MISALIGNMENT",
                                "MisalignedWrite"},
                      FaultCase{"inpage", SIGBUS, 0xC0000006u, "IN_PAGE_ERROR", "ReadBeyondMappedFile"},
                      FaultCase{"overflow", SIGSEGV, 0xC00000FDu, "STACK_OVERFLOW", "Recurse"},
                      FaultCase{"overflow-thread", SIGSEGV, 0xC00000FDu, "STACK_OVERFLOW", "Recurse"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) {
        std::string name = info.param.mode;
        for (char& ch : name) {
            ch = ch == '-' ? '_' : ch;
        }
        return name;
    });

TEST_F(CrashChild, FaultAddressNamesTheFaultingInstruction)
{
    // The report's section and offset lead back to the instruction in the file.
    Run("illegal");
    std::vector<ParsedReport> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(CodeBytes(reports[0].faultOffset, 2), "\x0F\x0B") << "ud2";

    fs::remove(m_report);
    Run("breakpoint");
    reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(CodeBytes(reports[0].faultOffset, 1), "\xCC")
        << "the int3 itself, not the instruction after it";
}

TEST_F(CrashChild, MisalignedAccessShowsTheAlignmentCheckFlag)
{
    Run("misaligned");
    const std::vector<ParsedReport> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].registers.at("Flags") & 0x40000u, 0u);
}

TEST_F(CrashChild, StackOverflowWalkIsBoundedAndStaysInTheRecursion)
{
    for (const char* mode : {"overflow", "overflow-thread"}) {
        SCOPED_TRACE(mode);
        fs::remove(m_report);
        Run(mode);
        const std::vector<ParsedReport> reports = Reports();
        ASSERT_EQ(reports.size(), 1u);
        const ParsedReport& r = reports[0];
        EXPECT_GE(r.frames.size(), 100u);
        EXPECT_LE(r.frames.size(), 512u);
        for (size_t i = 0; i < r.frames.size(); ++i) {
            ASSERT_TRUE(Within(r.frames[i].pc, Announced("Recurse"))) << "frame " << i;
            if (i > 0) {
                ASSERT_GT(r.frames[i].frame, r.frames[i - 1].frame) << "frame " << i;
            }
        }
    }
}

TEST_F(CrashChild, BrokenFrameChainEndsTheCallStackAfterTheLastGoodFrame)
{
    for (const char* mode : {"broken-unaligned", "broken-down"}) {
        SCOPED_TRACE(mode);
        fs::remove(m_report);
        const ChildResult run = Run(mode);
        EXPECT_EQ(run.signalNumber, SIGSEGV);
        const std::vector<ParsedReport> reports = Reports();
        ASSERT_EQ(reports.size(), 1u);
        const ParsedReport& r = reports[0];
        ASSERT_EQ(r.frames.size(), 2u);
        EXPECT_TRUE(Within(r.frames[0].pc, Announced("NullWrite")));
        EXPECT_TRUE(Within(r.frames[1].pc, Announced("BreakChainThenCrash") + 1));
        EXPECT_GT(r.frames[1].frame, r.frames[0].frame);
        ExpectInProgramText(r.frames[1].pc, r.frames[1].section, r.frames[1].offset, r.frames[1].module);
    }
}

TEST_F(CrashChild, SignalSentByAProcessIsReportedAndStillKills)
{
    const ChildResult run = Run("raise");
    EXPECT_TRUE(run.signaled);
    EXPECT_EQ(run.signalNumber, SIGSEGV);
    const std::vector<ParsedReport> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].name, "ACCESS_VIOLATION");
    // The signal left the C library's raise: that module holds the address.
    EXPECT_NE(reports[0].faultModule.find("libc"), std::string::npos) << reports[0].faultModule;
    EXPECT_NE(reports[0].faultSection, 0u);
}

TEST_F(CrashChild, HandlerInstalledBeforeRunsAfterTheReport)
{
    const ChildResult run = Run("chain");
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 42) << run.err;
    // It gets the original fault: a write to the unmapped address 0 (SEGV_MAPERR).
    EXPECT_NE(run.out.find("previous handler: signal 11 code 1 address 0\n"), std::string::npos) << run.out;
    const std::vector<ParsedReport> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].name, "ACCESS_VIOLATION");
    EXPECT_TRUE(Within(reports[0].faultAddress, Announced("NullWrite")));
}

TEST_F(CrashChild, RemovedReportLeavesTheDefaultAction)
{
    const ChildResult run = Run("removed");
    EXPECT_TRUE(run.signaled);
    EXPECT_EQ(run.signalNumber, SIGSEGV);
    EXPECT_EQ(run.err.find(kImagehlpLine), std::string::npos);
    EXPECT_FALSE(fs::exists(m_report));
}

TEST_F(CrashChild, NormalExitWritesNoReport)
{
    const ChildResult run = Run("none");
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("report=" + m_report + "\n"), std::string::npos) << run.out;
    EXPECT_FALSE(fs::exists(m_report));
}

}  // namespace
