#include "platform/CrashSignals.h"

#include "platform/ProcessMaps.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr size_t kSignalCount = sizeof(kFaultSignals) / sizeof(kFaultSignals[0]);
// The kernel keeps SS of the interrupted context in the old padding when it says so.
constexpr unsigned long kUcSigcontextSs = 0x2;
constexpr uint32_t kEflagsAlignmentCheck = 0x40000u;
// A fault this close to the stack pointer is taken for a run into the end of the stack.
constexpr uint64_t kStackReach = 64 * 1024;

struct sigaction g_previous[kSignalCount];
std::atomic<CrashFilter> g_filter{nullptr};
bool g_installed = false;

// An alternate signal stack with a guard page below it, so that an overflow
// of the handler itself ends in a plain fault instead of corrupting memory.
class AltStack {
   public:
    AltStack() = default;
    AltStack(const AltStack&) = delete;
    AltStack& operator=(const AltStack&) = delete;
    ~AltStack() { Release(); }

    // False when the thread has an alternate stack already (ours or another's).
    bool Make()
    {
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) {
            return false;
        }
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t size = 64 * 1024;
        const long minimum = sysconf(_SC_MINSIGSTKSZ);
        if (minimum > 0 && static_cast<size_t>(minimum) * 4 > size) {
            size = static_cast<size_t>(minimum) * 4;
        }
        size = (size + page - 1) / page * page;
        void* mapping =
            mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) {
            return false;
        }
        mprotect(mapping, page, PROT_NONE);
        stack_t stack{};
        stack.ss_sp = static_cast<char*>(mapping) + page;
        stack.ss_size = size;
        if (sigaltstack(&stack, nullptr) != 0) {
            munmap(mapping, size + page);
            return false;
        }
        m_mapping = mapping;
        m_length = size + page;
        m_stack = stack.ss_sp;
        return true;
    }

    bool Active() const { return m_mapping != nullptr; }

    // Only the thread that made the stack can switch it off; any other leaves it mapped.
    void Release()
    {
        if (m_mapping == nullptr) {
            return;
        }
        stack_t current{};
        if (sigaltstack(nullptr, &current) != 0 || current.ss_sp != m_stack) {
            return;
        }
        if ((current.ss_flags & SS_ONSTACK) != 0) {
            return;  // still running on it
        }
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        munmap(m_mapping, m_length);
        m_mapping = nullptr;
        m_stack = nullptr;
        m_length = 0;
    }

   private:
    void* m_mapping = nullptr;
    void* m_stack = nullptr;
    size_t m_length = 0;
};

AltStack g_installerStack;
thread_local AltStack t_threadStack;

int SignalIndex(int signalNumber)
{
    for (size_t i = 0; i < kSignalCount; ++i) {
        if (kFaultSignals[i] == signalNumber) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// With EFLAGS.AC still set from a misaligned access, every unaligned access
// of the handler itself would fault again.
inline void ClearAlignmentCheck()
{
    __asm__ volatile("pushfq\n\tandq %0, (%%rsp)\n\tpopfq"
                     :
                     : "i"(~static_cast<int64_t>(kEflagsAlignmentCheck))
                     : "cc", "memory");
}

inline uint16_t ReadDs()
{
    uint16_t value;
    __asm__ volatile("mov %%ds, %0" : "=r"(value));
    return value;
}
inline uint16_t ReadEs()
{
    uint16_t value;
    __asm__ volatile("mov %%es, %0" : "=r"(value));
    return value;
}
inline uint16_t ReadSs()
{
    uint16_t value;
    __asm__ volatile("mov %%ss, %0" : "=r"(value));
    return value;
}

bool NearStackPointer(uint64_t address, uint64_t stackPointer)
{
    const uint64_t low = stackPointer > kStackReach ? stackPointer - kStackReach : 0;
    return address >= low && address - low < 2 * kStackReach;
}

uint32_t ExceptionCodeOf(int signalNumber, int code, uint64_t dataAddress, uint64_t stackPointer)
{
    switch (signalNumber) {
        case SIGSEGV:
            if ((code == SEGV_MAPERR || code == SEGV_ACCERR) && NearStackPointer(dataAddress, stackPointer)) {
                return kExceptionStackOverflow;
            }
            if (code == SEGV_BNDERR) {
                return kExceptionArrayBoundsExceeded;
            }
            return kExceptionAccessViolation;
        case SIGBUS:
            // A page of a mapped file that cannot be read in is what IN_PAGE_ERROR means.
            if (code == BUS_ADRERR || code == BUS_OBJERR || code == BUS_MCEERR_AR || code == BUS_MCEERR_AO) {
                return kExceptionInPageError;
            }
            return kExceptionDatatypeMisalignment;
        case SIGFPE:
            switch (code) {
                case FPE_INTOVF:
                    return kExceptionIntOverflow;
                case FPE_FLTDIV:
                    return kExceptionFltDivideByZero;
                case FPE_FLTOVF:
                    return kExceptionFltOverflow;
                case FPE_FLTUND:
                    return kExceptionFltUnderflow;
                case FPE_FLTRES:
                    return kExceptionFltInexactResult;
                case FPE_FLTINV:
                    return kExceptionFltInvalidOperation;
                case FPE_FLTUNK:
                    return kExceptionFltInvalidOperation;
                case FPE_FLTSUB:
                    return kExceptionArrayBoundsExceeded;
                default:
                    return kExceptionIntDivideByZero;
            }
        case SIGILL:
            if (code == ILL_PRVOPC || code == ILL_PRVREG) {
                return kExceptionPrivInstruction;
            }
            return kExceptionIllegalInstruction;
        case SIGTRAP:
            return code == TRAP_TRACE ? kExceptionSingleStep : kExceptionBreakpoint;
        default:
            return kExceptionAccessViolation;
    }
}

void FillException(int signalNumber, const siginfo_t* info, const ucontext_t* uc, CrashException* out)
{
    const greg_t* r = uc->uc_mcontext.gregs;
    CrashContext& c = out->context;
    c.rax = static_cast<uint64_t>(r[REG_RAX]);
    c.rbx = static_cast<uint64_t>(r[REG_RBX]);
    c.rcx = static_cast<uint64_t>(r[REG_RCX]);
    c.rdx = static_cast<uint64_t>(r[REG_RDX]);
    c.rsi = static_cast<uint64_t>(r[REG_RSI]);
    c.rdi = static_cast<uint64_t>(r[REG_RDI]);
    c.r8 = static_cast<uint64_t>(r[REG_R8]);
    c.r9 = static_cast<uint64_t>(r[REG_R9]);
    c.r10 = static_cast<uint64_t>(r[REG_R10]);
    c.r11 = static_cast<uint64_t>(r[REG_R11]);
    c.r12 = static_cast<uint64_t>(r[REG_R12]);
    c.r13 = static_cast<uint64_t>(r[REG_R13]);
    c.r14 = static_cast<uint64_t>(r[REG_R14]);
    c.r15 = static_cast<uint64_t>(r[REG_R15]);
    c.rip = static_cast<uint64_t>(r[REG_RIP]);
    c.rsp = static_cast<uint64_t>(r[REG_RSP]);
    c.rbp = static_cast<uint64_t>(r[REG_RBP]);
    c.eflags = static_cast<uint32_t>(r[REG_EFL]);
    const uint64_t segments = static_cast<uint64_t>(r[REG_CSGSFS]);
    c.cs = static_cast<uint16_t>(segments);
    c.gs = static_cast<uint16_t>(segments >> 16);
    c.fs = static_cast<uint16_t>(segments >> 32);
    c.ss = (uc->uc_flags & kUcSigcontextSs) != 0 ? static_cast<uint16_t>(segments >> 48) : ReadSs();
    c.ds = ReadDs();
    c.es = ReadEs();

    out->signalNumber = signalNumber;
    out->signalCode = info->si_code;
    const bool fromKernel = info->si_code > 0;
    out->dataAddress = fromKernel && signalNumber != SIGTRAP ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
    out->code = ExceptionCodeOf(signalNumber, info->si_code, out->dataAddress, c.rsp);
    // An int3 leaves the instruction pointer after itself; the exception names the int3.
    if (signalNumber == SIGTRAP && info->si_code == SI_KERNEL && c.rip != 0 &&
        *reinterpret_cast<const volatile uint8_t*>(c.rip - 1) == 0xCC) {
        c.rip -= 1;
    }
    out->address = c.rip;
}

// The previous handling gets the signal as if we had never been there: the
// previous action is put back and the faulting instruction runs again. A
// breakpoint, a single step or a signal sent by a process would not come back
// that way, so it is sent again (it stays pending until this handler returns).
void HandOver(int signalNumber, const siginfo_t* info)
{
    const int index = SignalIndex(signalNumber);
    if (index < 0) {
        return;
    }
    sigaction(signalNumber, &g_previous[index], nullptr);
    if (signalNumber == SIGTRAP || info->si_code <= 0) {
        raise(signalNumber);
    }
}

void FaultHandler(int signalNumber, siginfo_t* info, void* raw)
{
    ClearAlignmentCheck();
    const int savedErrno = errno;
    CrashException exception{};
    FillException(signalNumber, info, static_cast<const ucontext_t*>(raw), &exception);
    const CrashFilter filter = g_filter.load(std::memory_order_acquire);
    if (filter != nullptr) {
        filter(exception);
    }
    HandOver(signalNumber, info);
    errno = savedErrno;
}

uint64_t ToFileTime(const struct statx_timestamp& t)
{
    if (t.tv_sec < 0) {
        return 0;
    }
    return kFileTimeUnixEpoch + static_cast<uint64_t>(t.tv_sec) * 10000000ull + t.tv_nsec / 100u;
}

}  // namespace

bool InstallCrashFilter(CrashFilter filter)
{
    if (g_installed || filter == nullptr) {
        return false;
    }
    g_installerStack.Make();
    g_filter.store(filter, std::memory_order_release);

    struct sigaction action {};
    action.sa_sigaction = FaultHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // A second fault while the report is written kills the process at once.
    sigemptyset(&action.sa_mask);
    for (int signalNumber : kFaultSignals) {
        sigaddset(&action.sa_mask, signalNumber);
    }
    for (size_t i = 0; i < kSignalCount; ++i) {
        if (sigaction(kFaultSignals[i], &action, &g_previous[i]) != 0) {
            for (size_t j = 0; j < i; ++j) {
                sigaction(kFaultSignals[j], &g_previous[j], nullptr);
            }
            g_filter.store(nullptr, std::memory_order_release);
            g_installerStack.Release();
            return false;
        }
    }
    g_installed = true;
    return true;
}

void RemoveCrashFilter()
{
    if (!g_installed) {
        return;
    }
    for (size_t i = 0; i < kSignalCount; ++i) {
        sigaction(kFaultSignals[i], &g_previous[i], nullptr);
    }
    g_filter.store(nullptr, std::memory_order_release);
    g_installerStack.Release();
    g_installed = false;
}

bool PrepareCrashStackForThread()
{
    if (t_threadStack.Active()) {
        return true;
    }
    if (t_threadStack.Make()) {
        return true;
    }
    stack_t current{};
    return sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0;
}

bool ReadProgramPath(char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0) {
        return false;
    }
    buffer[0] = '\0';
    const ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
    if (length <= 0) {
        return false;
    }
    buffer[length] = '\0';
    return true;
}

bool ReadProgramFileTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite)
{
    struct statx info {};
    // The running image itself, even when its file was replaced after the start.
    if (statx(AT_FDCWD, "/proc/self/exe", 0, STATX_BTIME | STATX_ATIME | STATX_MTIME | STATX_CTIME, &info) !=
        0) {
        return false;
    }
    if ((info.stx_mask & (STATX_ATIME | STATX_MTIME)) != (STATX_ATIME | STATX_MTIME)) {
        return false;
    }
    const bool hasBirth = (info.stx_mask & STATX_BTIME) != 0;
    if (!hasBirth && (info.stx_mask & STATX_CTIME) == 0) {
        return false;
    }
    *creation = UInt64ToFileTime(ToFileTime(hasBirth ? info.stx_btime : info.stx_ctime));
    *lastAccess = UInt64ToFileTime(ToFileTime(info.stx_atime));
    *lastWrite = UInt64ToFileTime(ToFileTime(info.stx_mtime));
    return true;
}

int CrashFileOpenAppend(const char* path)
{
    // Non-blocking so that a FIFO in the report's place cannot hold the crash up.
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    return fd >= 0 ? fd : -1;
}

void CrashFileWrite(int handle, const void* data, size_t size)
{
    if (handle < 0) {
        return;
    }
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(handle, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
}

void CrashFileClose(int handle)
{
    if (handle < 0) {
        return;
    }
    fdatasync(handle);
    close(handle);
}

void CrashWriteStderr(const char* text)
{
    CrashFileWrite(STDERR_FILENO, text, strlen(text));
}

CrashMemoryProbe::CrashMemoryProbe()
{
    if (pipe2(m_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_fds[0] = m_fds[1] = -1;
    }
}

CrashMemoryProbe::~CrashMemoryProbe()
{
    if (m_fds[0] >= 0) {
        close(m_fds[0]);
        close(m_fds[1]);
    }
}

bool CrashMemoryProbe::IsWritable(const void* address, size_t size)
{
    return MemoryIsWritable(address, size);
}

bool CrashMemoryProbe::Read(const void* address, void* into, size_t size)
{
    if (m_fds[0] < 0 || size == 0 || size > 64) {
        return false;
    }
    // The kernel copies the bytes into the pipe: EFAULT instead of a fault
    // when they cannot be read.
    const ssize_t out = write(m_fds[1], address, size);
    if (out <= 0) {
        return false;
    }
    const ssize_t back = read(m_fds[0], into, static_cast<size_t>(out));
    return out == static_cast<ssize_t>(size) && back == out;
}
