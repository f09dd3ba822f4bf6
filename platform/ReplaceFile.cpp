#include "platform/ReplaceFile.h"

#include "platform/File.h"
#include "platform/Paths.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<unsigned> g_temporaryCounter{0};

// The file a link points to; the path itself for anything else.
std::string ResolveTarget(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) != nullptr) {
            return resolved;
        }
    }
    return path;
}

int InjectedFault(const ReplaceFault& fault, ReplaceStep step)
{
    return fault ? fault(step) : 0;
}

// A fresh file named after the target, with the target's mode when the
// target exists (else 0644 less the umask, as for any new file).
bool CreateTemporary(const std::string& target, CFile& file, std::string* name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(g_temporaryCounter++);
        if (file.Open(*name, FileAccess::ReadWrite, FileMode::CreateNew)) {
            struct stat st {};
            return ::stat(target.c_str(), &st) != 0 || ::fchmod(file.Descriptor(), st.st_mode & 07777) == 0;
        }
        if (errno != EEXIST) {
            name->clear();
            return false;
        }
    }
    name->clear();
    return false;
}

int FlushFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const int error = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

}  // namespace

const char* ReplaceStepName(ReplaceStep step)
{
    switch (step) {
        case ReplaceStep::CreateTemporary:
            return "creating the temporary file";
        case ReplaceStep::Write:
            return "writing";
        case ReplaceStep::Flush:
            return "flushing";
        case ReplaceStep::Rename:
            return "renaming over the old file";
        case ReplaceStep::FlushFolder:
            return "flushing the folder";
    }
    return "";
}

ReplaceOutcome ReplaceFileContent(const std::string& path, const void* data, size_t size,
                                  const ReplaceFault& fault)
{
    ReplaceOutcome outcome;
    const std::string target = ResolveTarget(path);
    std::string temporary;
    CFile file;
    auto fail = [&](ReplaceStep step, int error) {
        file.Close();
        if (!temporary.empty()) {
            ::unlink(temporary.c_str());
        }
        outcome.failedStep = step;
        outcome.error = error;
        errno = error;
        return outcome;
    };

    int error = InjectedFault(fault, ReplaceStep::CreateTemporary);
    if (error == 0 && !CreateTemporary(target, file, &temporary)) {
        error = errno;
    }
    if (error != 0) {
        return fail(ReplaceStep::CreateTemporary, error);
    }

    error = InjectedFault(fault, ReplaceStep::Write);
    if (error != 0) {
        (void)file.Write(data, size / 2);
    } else if (!file.Write(data, size)) {
        error = errno;
    }
    if (error != 0) {
        return fail(ReplaceStep::Write, error);
    }

    // Both fsync and close may be the first to report that written data
    // did not reach the disk.
    error = InjectedFault(fault, ReplaceStep::Flush);
    if (error == 0 && !file.Sync()) {
        error = errno;
    }
    if (!file.Close() && error == 0) {
        error = errno;
    }
    if (error != 0) {
        return fail(ReplaceStep::Flush, error);
    }

    error = InjectedFault(fault, ReplaceStep::Rename);
    if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        return fail(ReplaceStep::Rename, error);
    }
    outcome.replaced = true;

    const std::string folder = ParentFolder(target);
    error = InjectedFault(fault, ReplaceStep::FlushFolder);
    if (error == 0) {
        error = FlushFolder(folder.empty() ? "." : folder);
    }
    if (error != 0) {
        outcome.failedStep = ReplaceStep::FlushFolder;
        outcome.error = error;
    }
    return outcome;
}
