#include "platform/DesktopOpen.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

bool StartDetached(const std::vector<std::string>& argv)
{
    if (argv.empty()) {
        return false;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
        return false;
    }
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    (void)posix_spawnattr_setsigmask(&attributes, &none);
    // Only what is ignored survives exec; putting every signal back to its
    // default undoes the program's SIGPIPE.
    (void)posix_spawnattr_setsigdefault(&attributes, &all);
    (void)posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int result = posix_spawnp(&pid, args[0], nullptr, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        return false;
    }
    // The opener usually ends at once; a thread of its own waits for it so
    // that no zombie is left, however long it takes.
    std::thread([pid] { (void)waitpid(pid, nullptr, 0); }).detach();
    return true;
}

bool OpenWithDesktop(const std::string& path)
{
    return StartDetached({kDesktopOpenProgram, path});
}
