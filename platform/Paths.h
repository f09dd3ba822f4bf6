#pragma once
// Where the program lives and where it keeps its data, the places of the
// Windows shell folders:
// - the common application data folder is $XDG_DATA_HOME when set (and
//   absolute), else /var/lib for root, else ~/.local/share;
// - the configuration folder (for the registry) is $XDG_CONFIG_HOME, else
//   /etc for root, else ~/.config;
// - the data folder is the common application data folder plus kDataFolderName.
// Paths are UTF-8 with '/' separators.

#include <string>
#include <string_view>

extern const char kDataFolderName[];  // "OPC-сервер комлекта Вирео-2 версии 300"

// The running executable (from /proc/self/exe); empty when it cannot be read.
std::string ProgramPath();
// The folder of the running executable, without a trailing '/'.
std::string ProgramFolder();

std::string CommonAppDataFolder();
std::string CommonConfigFolder();
// The data folder's path, not created.
std::string DataFolderPath();
// Creates the common application data folder and the data folder below it
// (existing ones are reused) and gives the data folder's path; false when a
// folder cannot be created (the path is still given).
bool CreateDataFolder(std::string* folder);
// Whether a file can be created in the folder: one is made and removed
// again. False with errno telling why.
bool CanWriteInFolder(const std::string& folder);

// The resolution rule with its inputs made explicit: the variable's value when
// it is an absolute path, else systemFolder for root, else home + homeSuffix.
std::string ResolveXdgFolder(const char* variable, bool isRoot, const std::string& home,
                             std::string_view systemFolder, std::string_view homeSuffix);

// folder + '/' + name, without doubling a '/' already there.
std::string JoinPath(std::string_view folder, std::string_view name);
// Everything before the last '/' ("/" for a file in the root, "" without a '/').
std::string ParentFolder(std::string_view path);
