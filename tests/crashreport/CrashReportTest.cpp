// The pieces of the crash report inside one process: the UTF-16 text, the
// local clock, the module lookup, the memory probe and a whole report for a
// made-up exception whose frame chain the test lays out itself.
#include "ReportTestSupport.h"
#include "app/Version.h"
#include "crashreport/CrashClock.h"
#include "crashreport/CrashReport.h"
#include "crashreport/CrashText.h"
#include "platform/CrashSignals.h"
#include "platform/ElfModule.h"
#include "support/ScopedEnv.h"
#include "support/TempFolder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>

extern "C" char __executable_start;

namespace fs = std::filesystem;

namespace {

const char kReadOnlyData[64] = "kept in .rodata";
int g_writableData = 7;  // .data
int g_zeroData[64];      // .bss

[[gnu::noinline]] int TextFunction(int x)
{
    return x * 3 + g_writableData;
}

std::string Written(const std::function<void(CrashTextWriter&)>& body)
{
    CTempFolder dir;
    const std::string path = dir.Path() + "/text";
    const int handle = CrashFileOpenAppend(path.c_str());
    EXPECT_GE(handle, 0);
    {
        CrashTextWriter writer(handle);
        body(writer);
    }
    CrashFileClose(handle);
    return ReadBytes(path);
}

std::string Utf16Bytes(const std::u16string& text)
{
    std::string bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

std::string ProgramFile()
{
    return fs::read_symlink("/proc/self/exe").string();
}

// ---- text ----

TEST(CrashText, NumbersAsPrintfWouldFormatThem)
{
    const std::string bytes = Written([](CrashTextWriter& w) {
        w.Hex(0xC0000005u, 8).Text("|").Hex(0x2B, 4).Text("|").Hex(0x123456789ull, 8).Text("|");
        w.Hex(0, 16).Text("|").Hex(0xFFFFFFFFFFFFFFFFull, 16).Text("|").Hex(0xabcdef, 2).Text("|");
        w.Dec(5, 2).Text("|").Dec(2024, 4).Text("|").Dec(0).Text("|").Dec(987654321);
    });
    EXPECT_EQ(bytes, Utf16Bytes(u"C0000005|002B|123456789|0000000000000000|FFFFFFFFFFFFFFFF|ABCDEF|05|2024|0|"
                                u"987654321"));
}

TEST(CrashText, Utf8BecomesUtf16)
{
    const std::string bytes = Written(
        [](CrashTextWriter& w) { w.Text("Каналы связи").Text(" € ").Text("\xF0\x9F\x98\x80").Text("!"); });
    EXPECT_EQ(bytes, Utf16Bytes(u"Каналы связи € \U0001F600!"));
    EXPECT_EQ(bytes.substr(bytes.size() - 6, 4), std::string("\x3D\xD8\x00\xDE", 4)) << "surrogate pair, LE";
}

TEST(CrashText, InvalidUtf8BecomesReplacementCharacters)
{
    const std::string bytes = Written(
        [](CrashTextWriter& w) { w.Text("a\xFF").Text("b\xC0\xAF").Text("c\xED\xA0\x80").Text("d\xD0"); });
    // A lone byte, an overlong form, an encoded surrogate and a cut sequence.
    EXPECT_EQ(bytes, Utf16Bytes(u"a\uFFFDb\uFFFD\uFFFDc\uFFFD\uFFFD\uFFFDd\uFFFD"));
}

TEST(CrashText, ConversionIntoAShortBufferNeverSplitsASurrogatePair)
{
    char16_t out[4] = {};
    EXPECT_EQ(Utf8ToUtf16("ab\xF0\x9F\x98\x80", out, 3), 2u);
    EXPECT_EQ(Utf8ToUtf16("ab\xF0\x9F\x98\x80", out, 4), 4u);
    EXPECT_EQ(out[2], 0xD83D);
}

TEST(CrashText, TextLongerThanTheBufferIsWrittenWhole)
{
    const std::string long_(3000, 'x');
    const std::string bytes = Written([&](CrashTextWriter& w) { w.Text(long_.c_str()).Text("\n"); });
    EXPECT_EQ(bytes, Utf16Bytes(std::u16string(3000, u'x') + u"\n"));
}

TEST(CrashText, AppendsToWhatTheFileHolds)
{
    CTempFolder dir;
    const std::string path = dir.Path() + "/text";
    for (const char* piece : {"one\n", "two\n"}) {
        const int handle = CrashFileOpenAppend(path.c_str());
        ASSERT_GE(handle, 0);
        CrashTextWriter(handle).Text(piece);
        CrashFileClose(handle);
    }
    EXPECT_EQ(ReadBytes(path), Utf16Bytes(u"one\ntwo\n"));
    EXPECT_EQ(CrashFileOpenAppend(dir.Path().c_str()), -1) << "a folder cannot be opened for writing";
}

// ---- clock ----

uint64_t FileTimeOfUnix(int64_t seconds, int milliseconds = 0)
{
    return kFileTimeUnixEpoch + static_cast<uint64_t>(seconds) * 10000000ull +
           static_cast<uint64_t>(milliseconds) * 10000ull;
}

TEST(CrashLocalClock, AgreesWithTheCLibraryInManyZones)
{
    for (const char* zone : {"UTC", "Europe/Berlin", "Europe/Moscow", "America/New_York", "Asia/Kolkata",
                             "Australia/Lord_Howe", "America/Sao_Paulo"}) {
        SCOPED_TRACE(zone);
        CScopedEnv tz("TZ", zone);
        auto clock = std::make_unique<CrashLocalClock>();
        clock->Build();
        int mismatches = 0;
        // Every 9 days and 7 hours, from 1971 to 2060: every season of every year.
        for (int64_t t = 31536000; t < 2840140800; t += 9 * 86400 + 7 * 3600 + 13) {
            const FILETIME ft = UInt64ToFileTime(FileTimeOfUnix(t, 250));
            SYSTEMTIME expected{}, actual{};
            ASSERT_TRUE(FileTimeToLocalSystemTime(ft, &expected));
            ASSERT_TRUE(clock->ToLocal(FileTimeToUInt64(ft), &actual));
            if (std::memcmp(&expected, &actual, sizeof(SYSTEMTIME)) != 0 && ++mismatches < 5) {
                ADD_FAILURE() << "at " << t << ": " << expected.wYear << "-" << expected.wMonth << "-"
                              << expected.wDay << " " << expected.wHour << ":" << expected.wMinute << " vs "
                              << actual.wYear << "-" << actual.wMonth << "-" << actual.wDay << " "
                              << actual.wHour << ":" << actual.wMinute;
            }
        }
        EXPECT_EQ(mismatches, 0);
    }
}

TEST(CrashLocalClock, SwitchesOffsetAtTheExactSecond)
{
    CScopedEnv tz("TZ", "Europe/Berlin");
    auto clock = std::make_unique<CrashLocalClock>();
    clock->Build();
    // Summer time began on 2024-03-31 at 01:00:00 UTC: 01:59:59 CET is followed by 03:00:00 CEST.
    SYSTEMTIME before{}, after{};
    ASSERT_TRUE(clock->ToLocal(FileTimeOfUnix(1711846799), &before));
    ASSERT_TRUE(clock->ToLocal(FileTimeOfUnix(1711846800), &after));
    EXPECT_EQ(before.wHour, 1);
    EXPECT_EQ(before.wMinute, 59);
    EXPECT_EQ(before.wSecond, 59);
    EXPECT_EQ(after.wHour, 3);
    EXPECT_EQ(after.wMinute, 0);
    EXPECT_EQ(after.wSecond, 0);
}

TEST(CrashLocalClock, WritesTheLongDateAndTheTime)
{
    CScopedEnv tz("TZ", "UTC");
    CScopedEnv locale("LC_ALL", "C");
    auto clock = std::make_unique<CrashLocalClock>();
    SYSTEMTIME local{};
    EXPECT_FALSE(clock->ToLocal(FileTimeOfUnix(0), &local)) << "not built yet";
    clock->Build();
    ASSERT_TRUE(clock->ToLocal(FileTimeOfUnix(1709647629, 123), &local));  // 2024-03-05 14:07:09.123 UTC
    EXPECT_EQ(local.wDayOfWeek, 2);
    EXPECT_EQ(local.wMilliseconds, 123);
    const std::string bytes = Written([&](CrashTextWriter& w) {
        clock->WriteLongDate(w, local);
        w.Text(" ");
        CrashLocalClock::WriteTime(w, local);
    });
    EXPECT_EQ(bytes, Utf16Bytes(u"5 March 2024 14:07:09"));
}

TEST(CrashLocalClock, UnknownLocaleFallsBackToEnglishMonthNames)
{
    CScopedEnv tz("TZ", "UTC");
    CScopedEnv locale("LC_ALL", "xx_NOWHERE.UTF-8");
    auto clock = std::make_unique<CrashLocalClock>();
    clock->Build();
    SYSTEMTIME local{};
    ASSERT_TRUE(clock->ToLocal(FileTimeOfUnix(1735689599), &local));  // 2024-12-31 23:59:59 UTC
    const std::string bytes = Written([&](CrashTextWriter& w) { clock->WriteLongDate(w, local); });
    EXPECT_EQ(bytes, Utf16Bytes(u"31 December 2024"));
}

// ---- module lookup ----

void ExpectInSection(const void* address, const char* sectionName)
{
    SCOPED_TRACE(sectionName);
    ModuleAddress where;
    ASSERT_TRUE(FindModuleAddress(reinterpret_cast<uint64_t>(address), &where));
    EXPECT_EQ(where.path, ProgramFile());
    ElfSection section;
    ASSERT_TRUE(FindElfSection(ProgramFile(), sectionName, &section));
    EXPECT_EQ(where.section, section.index);
    EXPECT_EQ(where.offset, reinterpret_cast<uint64_t>(address) -
                                reinterpret_cast<uint64_t>(&__executable_start) - section.address);
}

TEST(FindModuleAddress, NamesTheProgramAndTheSectionOfItsCodeAndData)
{
    ExpectInSection(reinterpret_cast<const void*>(&TextFunction), ".text");
    ExpectInSection(kReadOnlyData, ".rodata");
    ExpectInSection(&g_writableData, ".data");
    ExpectInSection(&g_zeroData[10], ".bss");
}

TEST(FindModuleAddress, SectionAndOffsetLeadToTheSameBytesInTheLibraryFile)
{
    ssize_t (*function)(int, const void*, size_t) = &::write;
    const auto address = reinterpret_cast<uint64_t>(function);
    ModuleAddress where;
    ASSERT_TRUE(FindModuleAddress(address, &where));
    // The C library's, or a sanitizer runtime's that stands in for it.
    EXPECT_NE(std::string(where.path).find(".so"), std::string::npos) << where.path;
    EXPECT_NE(where.path, ProgramFile());
    ElfSection text;
    ASSERT_TRUE(FindElfSection(where.path, ".text", &text));
    EXPECT_EQ(where.section, text.index);
    ASSERT_LT(where.offset, text.size);
    const std::string inFile = ReadBytes(where.path).substr(text.fileOffset + where.offset, 16);
    EXPECT_EQ(inFile, std::string(reinterpret_cast<const char*>(address), 16));
}

TEST(FindModuleAddress, AddressOutsideEveryModuleIsNotFound)
{
    const long page = sysconf(_SC_PAGESIZE);
    void* mapping =
        mmap(nullptr, static_cast<size_t>(page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    ModuleAddress where;
    EXPECT_FALSE(FindModuleAddress(reinterpret_cast<uint64_t>(mapping), &where));
    EXPECT_STREQ(where.path, "");
    EXPECT_EQ(where.section, 0u);
    EXPECT_EQ(where.offset, 0u);
    munmap(mapping, static_cast<size_t>(page));
    EXPECT_FALSE(FindModuleAddress(0, &where));
}

// ---- memory probe ----

class Pages {
   public:
    explicit Pages(size_t count) : m_size(count * static_cast<size_t>(sysconf(_SC_PAGESIZE)))
    {
        m_base = static_cast<char*>(
            mmap(nullptr, m_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    }
    ~Pages() { munmap(m_base, m_size); }
    char* Page(size_t i) const { return m_base + i * static_cast<size_t>(sysconf(_SC_PAGESIZE)); }
    void Protect(size_t i, int protection) const
    {
        mprotect(Page(i), static_cast<size_t>(sysconf(_SC_PAGESIZE)), protection);
    }

   private:
    size_t m_size;
    char* m_base;
};

TEST(CrashMemoryProbe, TellsWritableMemoryFromTheRestAndChangesNothing)
{
    Pages pages(3);
    std::memcpy(pages.Page(0), "writable bytes!!", 16);
    std::memcpy(pages.Page(1), "read-only bytes!", 16);
    pages.Protect(1, PROT_READ);
    pages.Protect(2, PROT_NONE);
    CrashMemoryProbe probe;
    EXPECT_TRUE(probe.IsWritable(pages.Page(0), 16));
    EXPECT_EQ(std::memcmp(pages.Page(0), "writable bytes!!", 16), 0);
    EXPECT_FALSE(probe.IsWritable(pages.Page(1), 16));
    EXPECT_EQ(std::memcmp(pages.Page(1), "read-only bytes!", 16), 0);
    EXPECT_FALSE(probe.IsWritable(pages.Page(2), 16));
    EXPECT_FALSE(probe.IsWritable(pages.Page(1) - 8, 16)) << "straddles into the read-only page";
    EXPECT_FALSE(probe.IsWritable(nullptr, 16));
    pages.Page(0)[100] = 'q';
    EXPECT_TRUE(probe.IsWritable(pages.Page(0) + 100, 1));
    EXPECT_EQ(pages.Page(0)[100], 'q');

    // Nothing of a refused read stays in the pipe to spoil the next one.
    char copy[16];
    EXPECT_FALSE(probe.Read(pages.Page(2), copy, sizeof(copy)));
    EXPECT_FALSE(probe.Read(pages.Page(2) - 8, copy, sizeof(copy)));
    EXPECT_FALSE(probe.Read(nullptr, copy, sizeof(copy)));
    EXPECT_TRUE(probe.Read(pages.Page(1), copy, sizeof(copy)));
    EXPECT_EQ(std::memcmp(copy, "read-only bytes!", 16), 0);
}

// The kilobytes of the process's own copies in the mapping that starts at the address.
long AnonymousKilobytes(const void* start)
{
    char head[32];
    std::snprintf(head, sizeof(head), "%lx-", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(start)));
    std::ifstream smaps("/proc/self/smaps");
    bool inMapping = false;
    for (std::string line; std::getline(smaps, line);) {
        if (line.rfind(head, 0) == 0) {
            inMapping = true;
        } else if (inMapping && line.rfind("Anonymous:", 0) == 0) {
            return std::stol(line.substr(10));
        }
    }
    return -1;
}

TEST(CrashMemoryProbe, LooksAtMemoryWithoutWritingIt)
{
    // A private mapping of a file: the first write to its page, even of the
    // same bytes, gives the process a copy of its own, and another thread's
    // store between a probe's read and write-back would be undone.
    CTempFolder dir;
    const std::string path = dir.File("page");
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::ofstream(path) << std::string(page, 'p');
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    auto* bytes = static_cast<char*>(mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0));
    close(fd);
    ASSERT_NE(bytes, MAP_FAILED);
    ASSERT_EQ(bytes[0], 'p');
    CrashMemoryProbe probe;
    EXPECT_TRUE(probe.IsWritable(bytes, 16));
    char copy[16];
    EXPECT_TRUE(probe.Read(bytes, copy, sizeof(copy)));
    EXPECT_EQ(std::string(copy, 16), std::string(16, 'p'));
    EXPECT_EQ(AnonymousKilobytes(bytes), 0);
    bytes[0] = 'q';
    EXPECT_GT(AnonymousKilobytes(bytes), 0) << "a write shows";
    munmap(bytes, page);
}

// ---- a whole report for a made-up exception ----

[[gnu::noinline]] int OuterFunction(int x)
{
    return TextFunction(x) + 1;
}

struct MadeUpReport {
    ParsedReport parsed;
    bool ok = false;
};

MadeUpReport ReportFor(const CrashException& exception)
{
    CTempFolder dir;
    const std::string path = dir.Path() + "/made-up.RPT";
    const int handle = CrashFileOpenAppend(path.c_str());
    EXPECT_GE(handle, 0);
    WriteCrashReport(handle, exception);
    CrashFileClose(handle);
    std::string text;
    EXPECT_TRUE(Utf16LeToUtf8(ReadBytes(path), &text));
    const std::vector<std::string> reports = SplitReports(text);
    MadeUpReport result;
    EXPECT_EQ(reports.size(), 1u);
    if (reports.size() == 1) {
        std::string error;
        result.ok = ParseReport(reports[0], &result.parsed, &error);
        EXPECT_TRUE(result.ok) << error;
    }
    return result;
}

// Frame records laid out in a page: each is {saved frame pointer, return address}.
class FrameChain {
   public:
    FrameChain() : m_pages(2) {}
    uint64_t* Frame(size_t i) const { return reinterpret_cast<uint64_t*>(m_pages.Page(0)) + 8 * i; }
    uint64_t Address(size_t i) const { return reinterpret_cast<uint64_t>(Frame(i)); }
    void Link(size_t i, uint64_t next, uint64_t returnAddress) const
    {
        Frame(i)[0] = next;
        Frame(i)[1] = returnAddress;
    }
    const Pages& Memory() const { return m_pages; }

   private:
    Pages m_pages;
};

CrashException MadeUpException(uint64_t framePointer)
{
    CrashException e{};
    e.code = kExceptionIntDivideByZero;
    e.address = reinterpret_cast<uint64_t>(&TextFunction) + 4;
    e.signalNumber = 8;
    CrashContext& c = e.context;
    c.rax = 0x0123456789ABCDEFull, c.rbx = 0x1111111111111111ull, c.rcx = 0x2222222222222222ull;
    c.rdx = 0x3333333333333333ull, c.rsi = 0x4444444444444444ull, c.rdi = 0x5555555555555555ull;
    c.r8 = 8, c.r9 = 9, c.r10 = 10, c.r11 = 11, c.r12 = 12, c.r13 = 13, c.r14 = 14,
    c.r15 = 0xF0F0F0F0F0F0F0F0ull;
    c.rip = e.address;
    c.rsp = framePointer - 0x20;
    c.rbp = framePointer;
    c.eflags = 0x10246;
    c.cs = 0x33, c.ss = 0x2B, c.ds = 1, c.es = 2, c.fs = 3, c.gs = 4;
    return e;
}

TEST(WriteCrashReport, WritesEveryLineInItsFormat)
{
    FrameChain chain;
    const uint64_t outer = reinterpret_cast<uint64_t>(&OuterFunction) + 9;
    chain.Link(0, chain.Address(1), outer);
    chain.Link(1, 0, reinterpret_cast<uint64_t>(&TextFunction) + 2);  // 0 is not above: the end
    const MadeUpReport report = ReportFor(MadeUpException(chain.Address(0)));
    ASSERT_TRUE(report.ok);
    const ParsedReport& r = report.parsed;

    ASSERT_TRUE(r.hasFileInformation);
    EXPECT_EQ(r.programPath, ProgramFile());
    ASSERT_EQ(r.version.size(), 13u);
    EXPECT_EQ(r.version[2].second, ProgramVersion().dwFileVersionMS);
    EXPECT_EQ(r.code, 0xC0000094u);
    EXPECT_EQ(r.name, "INT_DIVIDE_BY_ZERO");
    EXPECT_EQ(r.faultAddress, reinterpret_cast<uint64_t>(&TextFunction) + 4);
    EXPECT_EQ(r.faultModule, ProgramFile());

    const std::map<std::string, uint64_t> expected = {{"RAX", 0x0123456789ABCDEFull},
                                                      {"RBX", 0x1111111111111111ull},
                                                      {"RCX", 0x2222222222222222ull},
                                                      {"RDX", 0x3333333333333333ull},
                                                      {"RSI", 0x4444444444444444ull},
                                                      {"RDI", 0x5555555555555555ull},
                                                      {"R8", 8},
                                                      {"R9", 9},
                                                      {"R10", 10},
                                                      {"R11", 11},
                                                      {"R12", 12},
                                                      {"R13", 13},
                                                      {"R14", 14},
                                                      {"R15", 0xF0F0F0F0F0F0F0F0ull},
                                                      {"RIP", r.faultAddress},
                                                      {"RSP", chain.Address(0) - 0x20},
                                                      {"RBP", chain.Address(0)},
                                                      {"CS", 0x33},
                                                      {"SS", 0x2B},
                                                      {"DS", 1},
                                                      {"ES", 2},
                                                      {"FS", 3},
                                                      {"GS", 4},
                                                      {"Flags", 0x10246}};
    EXPECT_EQ(r.registers, expected);

    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_EQ(r.frames[0].pc, r.faultAddress);
    EXPECT_EQ(r.frames[0].frame, chain.Address(0));
    EXPECT_EQ(r.frames[1].pc, outer);
    EXPECT_EQ(r.frames[1].frame, chain.Address(1));
    ElfSection text;
    ASSERT_TRUE(FindElfSection(ProgramFile(), ".text", &text));
    for (const ReportFrame& f : r.frames) {
        EXPECT_EQ(f.module, ProgramFile());
        EXPECT_EQ(f.section, text.index);
        EXPECT_EQ(f.offset, f.pc - reinterpret_cast<uint64_t>(&__executable_start) - text.address);
    }
}

TEST(WriteCrashReport, CallStackStopsAtTheFirstBadFramePointer)
{
    struct Case {
        const char* what;
        int next;  // how the third frame's saved pointer is spoilt
    };
    for (const Case c :
         {Case{"unaligned", 0}, Case{"going down", 1}, Case{"same frame", 2},
          Case{"into read-only memory", 3}, Case{"into unmapped memory", 4}, Case{"good", 5}}) {
        SCOPED_TRACE(c.what);
        FrameChain chain;
        const uint64_t pc = reinterpret_cast<uint64_t>(&OuterFunction) + 9;
        chain.Link(0, chain.Address(1), pc);
        chain.Link(1, chain.Address(2), pc + 1);
        uint64_t next = 0;
        const auto secondPage = reinterpret_cast<uint64_t>(chain.Memory().Page(1));
        switch (c.next) {
            case 0:
                next = chain.Address(3) + 4;
                break;
            case 1:
                next = chain.Address(1);
                break;
            case 2:
                next = chain.Address(2);
                break;
            case 3:
                chain.Memory().Protect(1, PROT_READ);
                next = secondPage;
                break;
            case 4:
                chain.Memory().Protect(1, PROT_NONE);
                next = secondPage;
                break;
            default:
                next = secondPage;
                reinterpret_cast<uint64_t*>(secondPage)[0] = 0;  // ends there
                reinterpret_cast<uint64_t*>(secondPage)[1] = pc + 3;
                break;
        }
        chain.Link(2, next, pc + 2);
        const MadeUpReport report = ReportFor(MadeUpException(chain.Address(0)));
        ASSERT_TRUE(report.ok);
        const std::vector<ReportFrame>& frames = report.parsed.frames;
        ASSERT_EQ(frames.size(), c.next == 5 ? 4u : 3u);
        EXPECT_EQ(frames[2].pc, pc + 1);
        EXPECT_EQ(frames[2].frame, chain.Address(2));
        if (c.next == 5) {
            EXPECT_EQ(frames[3].pc, pc + 2);
            EXPECT_EQ(frames[3].frame, secondPage);
        }
        chain.Memory().Protect(1, PROT_READ | PROT_WRITE);
    }
}

TEST(WriteCrashReport, UnusableInterruptedFramePointerGivesOneLine)
{
    for (uint64_t framePointer : {uint64_t{0}, uint64_t{0x10}, uint64_t{0x7FFF0001}}) {
        SCOPED_TRACE(framePointer);
        const MadeUpReport report = ReportFor(MadeUpException(framePointer));
        ASSERT_TRUE(report.ok);
        ASSERT_EQ(report.parsed.frames.size(), 1u);
        EXPECT_EQ(report.parsed.frames[0].frame, framePointer);
        EXPECT_EQ(report.parsed.frames[0].module, ProgramFile());
    }
}

TEST(WriteCrashReport, AddressInNoModuleLeavesSectionOffsetAndPathEmpty)
{
    CrashException e = MadeUpException(0);
    e.address = e.context.rip = 0x10;
    const MadeUpReport report = ReportFor(e);
    ASSERT_TRUE(report.ok);
    EXPECT_EQ(report.parsed.faultAddress, 0x10u);
    EXPECT_EQ(report.parsed.faultSection, 0u);
    EXPECT_EQ(report.parsed.faultOffset, 0u);
    EXPECT_EQ(report.parsed.faultModule, "");
}

TEST(CrashReportPath, IsTheProgramPathFollowedByRpt)
{
    EXPECT_EQ(std::string(CrashReportPath()), ProgramFile() + ".RPT");
}

}  // namespace
