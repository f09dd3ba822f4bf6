#pragma once
#include "config/ConfigurationImage.h"
#include "platform/ReplaceFile.h"

#include <cstddef>
#include <string>

class CSingleVectors;

// The file manager: the configuration file on disk and the running tree.
// Writing a file and reloading the tree are separate steps, so that a tool
// writes a configuration without starting any channel.

inline constexpr const char* kConfigurationFileName = "OpcVireo2.cfg";
inline constexpr const char* kConfigurationBrokenText = "Файл конфигурации испорчен";
inline constexpr const char* kErrorCaption = "Ошибка";

// Read from a file at most: twice the largest file of kMaxChannels channels
// with the longest names and keys (about 8.5 MB). Beyond it a file reads as
// cut short.
inline constexpr size_t kMaxConfigurationBytes = size_t{16} << 20;

// Reads the file into a tree that is not initialised. A missing file reads
// as empty and is created empty when asked (the loader does; a tool that only
// looks does not).
CConfigurationRead ReadConfigurationFile(const std::string& path, bool createMissing);

// Writes the tree's bytes over the file through ReplaceFileContent, so that
// the old file survives any failure byte for byte. A failure (no tree
// included) shows "Файл конфигурации испорчен" with the caption "Ошибка" and
// the error icon, and answers false; *outcome tells what failed. A folder
// flush that fails after the rename is no failure: the file is replaced.
[[nodiscard]] bool WriteConfigurationFile(const std::string& path, const CLevelRoot* root,
                                          const ReplaceFault& fault = {}, ReplaceOutcome* outcome = nullptr);

// The loader of start-up and of a reload: reads the file (creating it empty
// when missing); unless it holds nothing to load or a wrong signature or
// version, stops the running channels, destroys the running tree,
// initialises every element of the new one (a serial channel opens its
// port), builds every channel's item space, installs the tree and starts
// every channel. Answers the load code. Does nothing in a registration run.
// The caller holds no lock: the polling threads are waited for.
int LoadConfiguration(CSingleVectors& app, const std::string& path);

// The save command: writes the running tree (read under the configuration
// lock), then reloads the file. Answers 1 when written and reloaded, 0 when
// not written (message shown, the file and the tree as they were). The
// caller holds no lock.
int SaveConfiguration(CSingleVectors& app, const std::string& path, const ReplaceFault& fault = {});

// The statistics log takes the root's enable flag and size limit; start-up
// runs it after loading. Nothing without a log or a tree.
void ApplyStatisticsSettings(CSingleVectors& app);
