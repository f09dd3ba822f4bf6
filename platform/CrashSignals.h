#pragma once
#include "platform/FileTime.h"

#include <cstddef>
#include <cstdint>

// Fatal processor faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP) turned into
// an exception record with the Windows exception code, so that the crash report
// can be written as for an unhandled exception. Everything declared here may be
// called from the filter: no allocation, no locks, no stdio.

// Exception codes that the fault signals map to.
inline constexpr uint32_t kExceptionGuardPage = 0x80000001u;
inline constexpr uint32_t kExceptionDatatypeMisalignment = 0x80000002u;
inline constexpr uint32_t kExceptionBreakpoint = 0x80000003u;
inline constexpr uint32_t kExceptionSingleStep = 0x80000004u;
inline constexpr uint32_t kExceptionAccessViolation = 0xC0000005u;
inline constexpr uint32_t kExceptionInPageError = 0xC0000006u;
inline constexpr uint32_t kExceptionIllegalInstruction = 0xC000001Du;
inline constexpr uint32_t kExceptionArrayBoundsExceeded = 0xC000008Cu;
inline constexpr uint32_t kExceptionFltDenormalOperand = 0xC000008Du;
inline constexpr uint32_t kExceptionFltDivideByZero = 0xC000008Eu;
inline constexpr uint32_t kExceptionFltInexactResult = 0xC000008Fu;
inline constexpr uint32_t kExceptionFltInvalidOperation = 0xC0000090u;
inline constexpr uint32_t kExceptionFltOverflow = 0xC0000091u;
inline constexpr uint32_t kExceptionFltStackCheck = 0xC0000092u;
inline constexpr uint32_t kExceptionFltUnderflow = 0xC0000093u;
inline constexpr uint32_t kExceptionIntDivideByZero = 0xC0000094u;
inline constexpr uint32_t kExceptionIntOverflow = 0xC0000095u;
inline constexpr uint32_t kExceptionPrivInstruction = 0xC0000096u;
inline constexpr uint32_t kExceptionStackOverflow = 0xC00000FDu;

// The x86-64 registers of the interrupted thread.
struct CrashContext {
    uint64_t rax, rbx, rcx, rdx, rsi, rdi;
    uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
    uint64_t rip, rsp, rbp;
    uint32_t eflags;
    uint16_t cs, ss, ds, es, fs, gs;
};

struct CrashException {
    uint32_t code;         // one of the kException... codes
    uint64_t address;      // the instruction that faulted (for a breakpoint: the int3 itself)
    uint64_t dataAddress;  // the memory address the fault names, 0 when none
    int signalNumber;
    int signalCode;
    CrashContext context;
};

using CrashFilter = void (*)(const CrashException& exception);

// Installs the filter for the fault signals on an alternate stack (the calling
// thread gets one unless it has one already) and remembers the handlers that
// were installed before. After the filter the previous handling takes over: a
// default action lets the process die with its signal. False when already
// installed or the system refused.
bool InstallCrashFilter(CrashFilter filter);
// Reinstalls the previous handlers and releases the alternate stack it made.
void RemoveCrashFilter();
// Gives the calling thread its own alternate signal stack (released when the
// thread ends) so that a stack overflow in it reaches the filter too. Every
// thread the program starts calls it first; one that skips it still reaches
// the filter for every other fault.
bool PrepareCrashStackForThread();

// Signal-safe helpers for the filter.

// The running program's path ("" and false when it cannot be read).
bool ReadProgramPath(char* buffer, size_t size);
// Creation (birth time when the file system keeps it, else the last status
// change), last access and last write time of the running program's file.
bool ReadProgramFileTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite);
// Opens a file for appending, creating it when missing; -1 on failure.
int CrashFileOpenAppend(const char* path);
// Writes everything or gives up silently; nothing happens for a handle of -1.
void CrashFileWrite(int handle, const void* data, size_t size);
// Flushes to the disk and closes.
void CrashFileClose(int handle);
void CrashWriteStderr(const char* text);

// Looks at memory of the process without touching it: whether a range may be
// read and written (from the list of mappings), and a copy of its bytes made
// by the kernel, which answers an error where a plain read would fault.
// Neither writes to the memory looked at, so another thread's data is safe.
class CrashMemoryProbe {
   public:
    CrashMemoryProbe();
    ~CrashMemoryProbe();
    CrashMemoryProbe(const CrashMemoryProbe&) = delete;
    CrashMemoryProbe& operator=(const CrashMemoryProbe&) = delete;

    bool IsWritable(const void* address, size_t size);
    // Copies size bytes (at most 64) from address; false when they cannot be read.
    bool Read(const void* address, void* into, size_t size);

   private:
    int m_fds[2];
};
