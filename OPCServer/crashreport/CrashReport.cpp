#include "crashreport/CrashReport.h"

#include "app/Version.h"
#include "crashreport/CrashClock.h"
#include "crashreport/CrashText.h"
#include "platform/ElfModule.h"

#include <cstring>

namespace {

constexpr size_t kMaxPath = 4096;
// Bounds the walk of a runaway recursion; the innermost frames are the useful ones.
constexpr int kMaxFrames = 512;
constexpr uint64_t kWord = sizeof(uint64_t);

struct ExceptionNameEntry {
    uint32_t code;
    const char* name;
};

constexpr ExceptionNameEntry kExceptionNames[] = {
    {0x80000001u, "GUARD_PAGE"},
    {0x80000002u, "DATATYPE_MISALIGNMENT"},
    {0x80000003u, "BREAKPOINT"},
    {0x80000004u, "SINGLE_STEP"},
    {0xC0000005u, "ACCESS_VIOLATION"},
    {0xC0000006u, "IN_PAGE_ERROR"},
    {0xC0000008u, "INVALID_HANDLE"},
    {0xC000001Du, "ILLEGAL_INSTRUCTION"},
    {0xC0000025u, "NONCONTINUABLE_EXCEPTION"},
    {0xC0000026u, "INVALID_DISPOSITION"},
    {0xC000008Cu, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008Du, "FLT_DENORMAL_OPERAND"},
    {0xC000008Eu, "FLT_DIVIDE_BY_ZERO"},
    {0xC000008Fu, "FLT_INEXACT_RESULT"},
    {0xC0000090u, "FLT_INVALID_OPERATION"},
    {0xC0000091u, "FLT_OVERFLOW"},
    {0xC0000092u, "FLT_STACK_CHECK"},
    {0xC0000093u, "FLT_UNDERFLOW"},
    {0xC0000094u, "INT_DIVIDE_BY_ZERO"},
    {0xC0000095u, "INT_OVERFLOW"},
    {0xC0000096u, "PRIV_INSTRUCTION"},
    {0xC00000FDu, "STACK_OVERFLOW"},
};

// Everything the filter needs, prepared at installation. Zero-initialised
// before any constructor runs, so the order of static objects does not matter.
struct ReportState {
    char programPath[kMaxPath];
    char reportPath[kMaxPath + 8];
    VS_FIXEDFILEINFO version;
    CrashLocalClock clock;
    bool prepared;
};

ReportState g_state;

void Prepare()
{
    if (g_state.prepared) {
        return;
    }
    if (ReadProgramPath(g_state.programPath, kMaxPath)) {
        // Linux programs have no extension to replace: the suffix is appended.
        strcpy(g_state.reportPath, g_state.programPath);
        strcat(g_state.reportPath, ".RPT");
    }
    g_state.version = ProgramVersion();
    g_state.clock.Build();
    g_state.prepared = true;
}

void WriteDateTime(CrashTextWriter& w, uint64_t fileTime)
{
    SYSTEMTIME local{};
    g_state.clock.ToLocal(fileTime, &local);
    g_state.clock.WriteLongDate(w, local);
    w.Text(" ");
    CrashLocalClock::WriteTime(w, local);
}

void WriteFileInformation(CrashTextWriter& w)
{
    FILETIME creation{}, lastAccess{}, lastWrite{};
    if (!ReadProgramFileTimes(&creation, &lastAccess, &lastWrite)) {
        return;
    }
    char path[kMaxPath];
    if (!ReadProgramPath(path, sizeof(path))) {
        strcpy(path, g_state.programPath);
    }
    const char* const kStars = "**********************************************************\n";
    w.Text(kStars);
    w.Flush();
    w.Text("File information:\n");
    w.Flush();
    w.Text("\nDirectory and file name: ").Text(path).Text("\n");
    w.Flush();
    w.Text("\nCreation Time : ");
    WriteDateTime(w, FileTimeToUInt64(creation));
    w.Text("\n");
    w.Flush();
    w.Text("Last Access Time : ");
    WriteDateTime(w, FileTimeToUInt64(lastAccess));
    w.Text("\n");
    w.Flush();
    w.Text("Last Write Time : ");
    WriteDateTime(w, FileTimeToUInt64(lastWrite));
    w.Text("\n");
    w.Flush();
    const VS_FIXEDFILEINFO& v = g_state.version;
    w.Text("\nSignature : ").Hex(v.dwSignature, 8);
    w.Text("\nStrucVersion : ").Hex(v.dwStrucVersion, 8);
    w.Text("\nFileVersionMS : ").Hex(v.dwFileVersionMS, 8);
    w.Text("\nFileVersionLS : ").Hex(v.dwFileVersionLS, 8);
    w.Text("\nProductVersionMS : ").Hex(v.dwProductVersionMS, 8);
    w.Text("\nProductVersionLS : ").Hex(v.dwProductVersionLS, 8);
    w.Text("\nFileFlagsMask : ").Hex(v.dwFileFlagsMask, 8);
    w.Text("\nFileFlags : ").Hex(v.dwFileFlags, 8);
    w.Text("\nFileOS : ").Hex(v.dwFileOS, 8);
    w.Text("\nFileType : ").Hex(v.dwFileType, 8);
    w.Text("\nFileSubtype : ").Hex(v.dwFileSubtype, 8);
    w.Text("\nFileDateMS : ").Hex(v.dwFileDateMS, 8);
    w.Text("\nFileDateLS : ").Hex(v.dwFileDateLS, 8).Text("\n");
    w.Flush();
    w.Text(kStars);
    w.Flush();
}

void WriteRegisters(CrashTextWriter& w, const CrashContext& c)
{
    w.Text("\nRegisters:\n");
    w.Flush();
    w.Text("RAX:").Hex(c.rax, 16).Text("\nRBX:").Hex(c.rbx, 16).Text("\nRCX:").Hex(c.rcx, 16);
    w.Text("\nRDX:").Hex(c.rdx, 16).Text("\nRSI:").Hex(c.rsi, 16).Text("\nRDI:").Hex(c.rdi, 16).Text("\n");
    w.Flush();
    w.Text("R8:").Hex(c.r8, 16).Text("\nR9:").Hex(c.r9, 16).Text("\nR10:").Hex(c.r10, 16);
    w.Text("\nR11:").Hex(c.r11, 16).Text("\nR12:").Hex(c.r12, 16).Text("\nR13:").Hex(c.r13, 16);
    w.Text("\nR14:").Hex(c.r14, 16).Text("\nR15:").Hex(c.r15, 16).Text("\n");
    w.Flush();
    w.Text("CS:RIP:").Hex(c.cs, 4).Text(":").Hex(c.rip, 16).Text("\n");
    w.Flush();
    w.Text("SS:RSP:").Hex(c.ss, 4).Text(":").Hex(c.rsp, 16).Text("  RBP:").Hex(c.rbp, 16).Text("\n");
    w.Flush();
    w.Text("DS:").Hex(c.ds, 4).Text("  ES:").Hex(c.es, 4).Text("  FS:").Hex(c.fs, 4).Text("  GS:").Hex(c.gs,
                                                                                                       4);
    w.Text("\n");
    w.Flush();
    w.Text("Flags:").Hex(c.eflags, 8).Text("\n");
    w.Flush();
}

void WriteModuleAddress(CrashTextWriter& w, const ModuleAddress& where, int sectionDigits)
{
    w.Hex(where.section, sectionDigits).Text(":").Hex(where.offset, 8).Text(" ").Text(where.path);
}

// Follows the saved frame pointers from the interrupted frame outwards: the
// return address sits one word above a frame's saved pointer. The walk ends at
// a pointer that is unaligned, does not go up the stack, or points to memory
// that is not two writable words.
void WriteCallStack(CrashTextWriter& w, const CrashContext& c)
{
    w.Text("\nCall stack:\n");
    w.Flush();
    w.Text("Address   Frame     Logical addr  Module\n");
    w.Flush();
    CrashMemoryProbe probe;
    uint64_t pc = c.rip;
    uint64_t frame = c.rbp;
    // The interrupted frame pointer itself may be garbage: checked like the rest.
    bool frameUsable =
        frame % kWord == 0 && probe.IsWritable(reinterpret_cast<const void*>(frame), 2 * kWord);
    ModuleAddress where;
    for (int n = 0; n < kMaxFrames; ++n) {
        FindModuleAddress(pc, &where);
        w.Hex(pc, 16).Text("  ").Hex(frame, 16).Text("  ");
        WriteModuleAddress(w, where, 4);
        w.Text("\n");
        w.Flush();
        if (!frameUsable) {
            break;
        }
        // Copied by the kernel: a frame unmapped since the check ends the walk instead of faulting.
        uint64_t words[2];
        if (!probe.Read(reinterpret_cast<const void*>(frame), words, sizeof(words))) {
            break;
        }
        const uint64_t next = words[0];
        pc = words[1];
        if (next % kWord != 0 || next <= frame ||
            !probe.IsWritable(reinterpret_cast<const void*>(next), 2 * kWord)) {
            break;
        }
        frame = next;
    }
}

void ReportFilter(const CrashException& exception)
{
    const int handle = CrashFileOpenAppend(g_state.reportPath);
    WriteCrashReport(handle, exception);
    CrashFileClose(handle);
}

class CrashReportInstaller {
   public:
    CrashReportInstaller() { CrashReportInstall(); }
    ~CrashReportInstaller() { CrashReportRemove(); }
};

CrashReportInstaller g_installer;

}  // namespace

const char* CrashReportPath()
{
    return g_state.reportPath;
}

bool CrashReportInstall()
{
    Prepare();
    return InstallCrashFilter(ReportFilter);
}

void CrashReportRemove()
{
    RemoveCrashFilter();
}

bool CrashReportPrepareThread()
{
    return PrepareCrashStackForThread();
}

const char* CrashExceptionName(uint32_t code)
{
    for (const ExceptionNameEntry& entry : kExceptionNames) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return "";
}

void WriteCrashReport(int handle, const CrashException& exception)
{
    CrashTextWriter w(handle);
    w.Text("\n\n//=====================================================\n");
    w.Flush();
    WriteFileInformation(w);

    w.Text("\n");
    WriteDateTime(w, SystemTimeNow());
    w.Text("\n");
    w.Flush();

    w.Text("Exception code: ")
        .Hex(exception.code, 8)
        .Text(" ")
        .Text(CrashExceptionName(exception.code))
        .Text("\n");
    w.Flush();

    ModuleAddress where;
    FindModuleAddress(exception.address, &where);
    w.Text("Fault address:  ").Hex(exception.address, 16).Text(" ");
    WriteModuleAddress(w, where, 2);
    w.Text("\n");
    w.Flush();

    WriteRegisters(w, exception.context);
    // The report's debugger output goes to stderr.
    CrashWriteStderr("IMAGEHLP.DLL or its exported procs not found\n");
    WriteCallStack(w, exception.context);
}
