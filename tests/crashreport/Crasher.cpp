// A program that faults on purpose, in the way its first argument names, so
// that the tests can read the crash report it leaves beside itself. Before it
// faults it prints its load address and the addresses of the functions that
// will fault, one "name=hex" per line.
#include "crashreport/CrashReport.h"

#include <atomic>
#include <cfenv>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <link.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

extern "C" char __executable_start;  // the first byte of the program's image, put there by the linker

namespace {

volatile int g_sink = 0;
volatile int g_depthLimit = INT_MAX;

void Announce(const char* name, const void* address)
{
    std::printf("%s=%llx\n", name, static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
    std::fflush(stdout);
}

// Hidden from the optimiser, which would drop a store it can prove to be a null write.
[[gnu::noinline]] volatile int* HiddenNull()
{
    volatile int* pointer = nullptr;
    __asm__ volatile("" : "+r"(pointer));
    return pointer;
}

// Not a leaf: GCC gives a leaf that needs no stack no frame of its own, and
// the walk would then skip its caller.
[[gnu::noinline]] void NullWrite()
{
    volatile int* target = HiddenNull();
    *target = 0x5A;
}

[[gnu::noinline]] void CallNullWrite()
{
    NullWrite();
    g_sink = 1;  // keeps the call from becoming a jump
}

[[gnu::noinline]] void ProtectedWrite()
{
    const long page = sysconf(_SC_PAGESIZE);
    void* mapping = mmap(nullptr, static_cast<size_t>(page), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        std::_Exit(3);
    }
    *static_cast<volatile int*>(mapping) = 1;
}

[[gnu::noinline]] void DivideByZero()
{
    volatile int zero = 0;
    volatile int result = 100 / zero;
    g_sink = result;
}

[[gnu::noinline]] void FloatDivideByZero()
{
    volatile double zero = 0.0;
    volatile double result = 1.0 / zero;
    g_sink = static_cast<int>(result);
}

[[gnu::noinline]] void IllegalInstruction()
{
    __builtin_trap();
}

[[gnu::noinline]] void Breakpoint()
{
    __asm__ volatile("int3");
    g_sink = 2;
}

// With EFLAGS.AC set the processor refuses an unaligned access in user mode.
[[gnu::noinline]] void MisalignedWrite()
{
    alignas(16) static char buffer[32];
    volatile uint32_t* target = reinterpret_cast<volatile uint32_t*>(buffer + 1);
    __asm__ volatile("pushfq\n\torq $0x40000, (%%rsp)\n\tpopfq" : : : "cc", "memory");
    *target = 7;
    __asm__ volatile("pushfq\n\tandq $~0x40000, (%%rsp)\n\tpopfq" : : : "cc", "memory");
}

// A page of a mapped file beyond the file's end cannot be read in.
[[gnu::noinline]] void ReadBeyondMappedFile()
{
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        std::_Exit(3);
    }
    const long page = sysconf(_SC_PAGESIZE);
    void* mapping = mmap(nullptr, static_cast<size_t>(page), PROT_READ, MAP_SHARED, fileno(file), 0);
    if (mapping == MAP_FAILED) {
        std::_Exit(3);
    }
    g_sink = *static_cast<volatile char*>(mapping);
}

[[gnu::noinline]] int Recurse(int depth)
{
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    if (depth >= g_depthLimit) {
        return pad[0];
    }
    return Recurse(depth + 1) + pad[0];
}

// The caller's saved frame pointer is spoilt, then a callee faults: the walk
// must stop after this function's own frame.
[[gnu::noinline]] void BreakChainThenCrash(bool unaligned)
{
    auto** frame = static_cast<void**>(__builtin_frame_address(0));
    const uintptr_t saved = reinterpret_cast<uintptr_t>(frame[0]);
    frame[0] = reinterpret_cast<void*>(unaligned ? saved | 4 : reinterpret_cast<uintptr_t>(frame) - 64);
    __asm__ volatile("" : : : "memory");
    NullWrite();
    g_sink = 3;
}

void PreviousHandler(int signalNumber, siginfo_t* info, void*)
{
    char line[128];
    const int length = std::snprintf(
        line, sizeof(line), "previous handler: signal %d code %d address %llx\n", signalNumber, info->si_code,
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(info->si_addr)));
    (void)!write(STDOUT_FILENO, line, static_cast<size_t>(length));
    _exit(42);
}

[[gnu::noinline]] int RunMode(const char* mode)
{
    if (strcmp(mode, "none") == 0) {
        return 0;
    }
    if (strcmp(mode, "null") == 0) {
        Announce("NullWrite", reinterpret_cast<const void*>(&NullWrite));
        Announce("CallNullWrite", reinterpret_cast<const void*>(&CallNullWrite));
        CallNullWrite();
    } else if (strcmp(mode, "protected") == 0) {
        Announce("ProtectedWrite", reinterpret_cast<const void*>(&ProtectedWrite));
        ProtectedWrite();
    } else if (strcmp(mode, "divide") == 0) {
        Announce("DivideByZero", reinterpret_cast<const void*>(&DivideByZero));
        DivideByZero();
    } else if (strcmp(mode, "float") == 0) {
        feenableexcept(FE_DIVBYZERO);
        Announce("FloatDivideByZero", reinterpret_cast<const void*>(&FloatDivideByZero));
        FloatDivideByZero();
    } else if (strcmp(mode, "illegal") == 0) {
        Announce("IllegalInstruction", reinterpret_cast<const void*>(&IllegalInstruction));
        IllegalInstruction();
    } else if (strcmp(mode, "breakpoint") == 0) {
        Announce("Breakpoint", reinterpret_cast<const void*>(&Breakpoint));
        Breakpoint();
    } else if (strcmp(mode, "misaligned") == 0) {
        Announce("MisalignedWrite", reinterpret_cast<const void*>(&MisalignedWrite));
        MisalignedWrite();
    } else if (strcmp(mode, "inpage") == 0) {
        Announce("ReadBeyondMappedFile", reinterpret_cast<const void*>(&ReadBeyondMappedFile));
        ReadBeyondMappedFile();
    } else if (strcmp(mode, "overflow") == 0) {
        Announce("Recurse", reinterpret_cast<const void*>(&Recurse));
        g_sink = Recurse(0);
    } else if (strcmp(mode, "overflow-thread") == 0) {
        Announce("Recurse", reinterpret_cast<const void*>(&Recurse));
        std::thread thread([] {
            if (!CrashReportPrepareThread()) {
                std::_Exit(4);
            }
            g_sink = Recurse(0);
        });
        thread.join();
    } else if (strcmp(mode, "thread-null") == 0) {
        Announce("NullWrite", reinterpret_cast<const void*>(&NullWrite));
        std::thread thread([] { NullWrite(); });
        thread.join();
    } else if (strcmp(mode, "loader-locked") == 0) {
        Announce("NullWrite", reinterpret_cast<const void*>(&NullWrite));
        // Another thread holds the loader's list of modules for good, as one inside dlopen may for a while.
        static std::atomic<bool> inside{false};
        std::thread([] {
            dl_iterate_phdr(
                [](dl_phdr_info*, size_t, void*) -> int {
                    inside = true;
                    for (;;) {
                        pause();
                    }
                },
                nullptr);
        }).detach();
        while (!inside) {
            usleep(1000);
        }
        CallNullWrite();
    } else if (strcmp(mode, "broken-unaligned") == 0 || strcmp(mode, "broken-down") == 0) {
        Announce("NullWrite", reinterpret_cast<const void*>(&NullWrite));
        Announce("BreakChainThenCrash", reinterpret_cast<const void*>(&BreakChainThenCrash));
        BreakChainThenCrash(strcmp(mode, "broken-unaligned") == 0);
    } else if (strcmp(mode, "raise") == 0) {
        raise(SIGSEGV);
    } else if (strcmp(mode, "chain") == 0) {
        Announce("NullWrite", reinterpret_cast<const void*>(&NullWrite));
        // A handler that was there before the report: it must still be called.
        CrashReportRemove();
        struct sigaction action {};
        action.sa_sigaction = PreviousHandler;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, nullptr);
        if (!CrashReportInstall()) {
            return 5;
        }
        CallNullWrite();
    } else if (strcmp(mode, "removed") == 0) {
        CrashReportRemove();
        CallNullWrite();
    } else {
        std::fprintf(stderr, "unknown mode %s\n", mode);
        return 2;
    }
    return 1;  // the fault did not happen
}

}  // namespace

int main(int argc, char** argv)
{
    // Dying by the signal is the point; a core file of every run is not.
    struct rlimit noCore {};
    setrlimit(RLIMIT_CORE, &noCore);
    Announce("base", &__executable_start);
    std::printf("report=%s\n", CrashReportPath());
    std::fflush(stdout);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s mode\n", argv[0]);
        return 2;
    }
    const int result = RunMode(argv[1]);
    std::fflush(stdout);  // and main keeps its frame: no jump into RunMode
    return result;
}
