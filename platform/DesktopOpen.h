#pragma once
// "Open with the shell's default action": xdg-open with the file or folder,
// started the way a desktop starts a program. The child gets an empty signal
// mask and default signal actions, whatever the program blocks or ignores
// for itself (it reads its signals from a descriptor), so that the viewer
// it leads to can be stopped like any other.

#include <string>
#include <vector>

inline constexpr const char* kDesktopOpenProgram = "xdg-open";

// Starts the program (looked up in PATH) with these arguments and does not
// wait for it; it is reaped when it ends. False when it cannot be started.
[[nodiscard]] bool StartDetached(const std::vector<std::string>& argv);

// StartDetached({xdg-open, path}).
[[nodiscard]] bool OpenWithDesktop(const std::string& path);
