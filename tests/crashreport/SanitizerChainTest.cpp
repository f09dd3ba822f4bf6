// With AddressSanitizer in the program, its own fault handler was installed
// before the report: the report is written, then the sanitizer still reports.
#include "ReportTestSupport.h"
#include "support/ChildProcess.h"
#include "support/TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

TEST(CrashReportUnderAddressSanitizer, ReportIsWrittenAndTheSanitizerHandlerStillRuns)
{
    const char* bin = std::getenv("VIREO_TEST_BIN");
    ASSERT_NE(bin, nullptr);
    CTempFolder dir;
    const std::string program = dir.Path() + "/OpcVireo2";
    fs::copy_file(fs::path(bin) / "crashreport_crasher_asan", program);
    // Libraries it links at load time go with it.
    if (fs::exists(fs::path(bin) / "libZellDAServer.so"))
        fs::copy_file(fs::path(bin) / "libZellDAServer.so", dir.Path() + "/libZellDAServer.so");

    // UBSan would stop a null write itself; a write to a read-only page only the processor refuses.
    const ChildResult run =
        RunProgram({program, "protected"}, std::chrono::seconds(30), {"TZ=UTC", "LC_ALL=C"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_FALSE(run.exited && run.exitCode == 0);
    EXPECT_NE(run.err.find("AddressSanitizer: SEGV"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("IMAGEHLP.DLL or its exported procs not found\n"), std::string::npos);
    EXPECT_LT(run.err.find("IMAGEHLP.DLL"), run.err.find("AddressSanitizer: SEGV"))
        << "the report comes first";

    std::string text;
    ASSERT_TRUE(Utf16LeToUtf8(ReadBytes(program + ".RPT"), &text));
    const std::vector<std::string> reports = SplitReports(text);
    ASSERT_EQ(reports.size(), 1u);
    ParsedReport parsed;
    std::string error;
    ASSERT_TRUE(ParseReport(reports[0], &parsed, &error)) << error;
    EXPECT_EQ(parsed.name, "ACCESS_VIOLATION");
    EXPECT_EQ(parsed.faultModule, program);
    const std::map<std::string, uint64_t> announced = ParseAnnouncements(run.out);
    ASSERT_EQ(announced.count("ProtectedWrite"), 1u);
    EXPECT_GE(parsed.faultAddress, announced.at("ProtectedWrite"));
}

}  // namespace
