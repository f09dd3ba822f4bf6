#pragma once
// Replacing a file's content so that, whatever fails and even after a crash
// or a power loss, the file holds either its old content or the new one.

#include <cstddef>
#include <functional>
#include <string>

// The steps of ReplaceFileContent, in their order.
enum class ReplaceStep {
    CreateTemporary,  // a new file beside the target, with the target's mode
    Write,            // every byte, each write checked
    Flush,            // the new file's data on the disk, then closed
    Rename,           // the new file takes the target's name
    FlushFolder,      // the rename on the disk
};

// What the step does, for messages: "writing", "renaming over the old file".
const char* ReplaceStepName(ReplaceStep step);

// Test seam for disk faults: answers the errno a step is to fail with, or 0
// to let it run. A failing Write has written the first half of the bytes,
// as a disk that fills up does.
using ReplaceFault = std::function<int(ReplaceStep step)>;

struct ReplaceOutcome {
    bool replaced = false;  // the target holds the new content
    ReplaceStep failedStep = ReplaceStep::CreateTemporary;
    int error = 0;  // errno of the failed step; 0 when every step succeeded
};

// Writes the bytes to a temporary file in the target's folder, flushes it,
// renames it over the target and flushes the folder. Any failure before the
// rename removes the temporary file and leaves the target untouched (or
// missing, as it was). A failing folder flush comes after the rename: the
// new content is in place then (replaced, with the error). A symbolic link
// is followed: the file it points to is replaced, the link stays.
[[nodiscard]] ReplaceOutcome ReplaceFileContent(const std::string& path, const void* data, size_t size,
                                                const ReplaceFault& fault = {});
