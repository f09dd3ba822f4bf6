#include "config/ConfigurationFile.h"

#include "app/SingleVectors.h"
#include "platform/File.h"
#include "platform/MessageBox.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace {

void Trace(CSingleVectors& app, const char* format, const char* a, const char* b)
{
    if (CDebugLog* log = app.DebugLog()) {
        (void)log->Trace(kDebugCommon, 0, format, a, b);
    }
}

// Replaces the file with the image; no image (no tree) fails. The message
// comes with no lock held: a box waits for the operator.
bool StoreImage(const std::string& path, const std::optional<std::vector<uint8_t>>& image,
                const ReplaceFault& fault, ReplaceOutcome* outcome)
{
    ReplaceOutcome result;
    if (image) {
        result = ReplaceFileContent(path, image->data(), image->size(), fault);
    }
    if (outcome != nullptr) {
        *outcome = result;
    }
    if (!result.replaced) {
        (void)ShowMessageBox(kConfigurationBrokenText, kErrorCaption, MB_OK | MB_ICONERROR);
    }
    return result.replaced;
}

}  // namespace

CConfigurationRead ReadConfigurationFile(const std::string& path, bool createMissing)
{
    CConfigurationRead read;
    CFile file;
    if (!file.Open(path, FileAccess::Read, FileMode::OpenExisting)) {
        if (errno != ENOENT) {
            read.m_state = ConfigImageState::Unreadable;
        } else if (createMissing) {
            CFile created;
            (void)created.Open(path, FileAccess::ReadWrite, FileMode::CreateNew);
        }
        return read;
    }
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    while (bytes.size() < kMaxConfigurationBytes) {
        size_t got = 0;
        if (!file.Read(buffer, std::min(sizeof buffer, kMaxConfigurationBytes - bytes.size()), &got)) {
            read.m_state = ConfigImageState::Unreadable;
            return read;
        }
        if (got == 0) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return ReadConfigurationImage(bytes);
}

bool WriteConfigurationFile(const std::string& path, const CLevelRoot* root, const ReplaceFault& fault,
                            ReplaceOutcome* outcome)
{
    std::optional<std::vector<uint8_t>> image;
    if (root != nullptr) {
        image = WriteConfigurationImage(*root);
    }
    return StoreImage(path, image, fault, outcome);
}

int LoadConfiguration(CSingleVectors& app, const std::string& path)
{
    if (app.StartMode() == kStartModeRegistration) {
        return kLoadDone;
    }
    CConfigurationRead read = ReadConfigurationFile(path, true);
    if (read.m_dropped != 0) {
        const std::string count = std::to_string(read.m_dropped);
        Trace(app,
              "Configuration %s: %s records read past and dropped (only channels under the root, at most 32)",
              path.c_str(), count.c_str());
    }
    if (!read.m_root) {
        return read.m_code;
    }
    // No lock is held while waiting for the polling threads: a thread
    // finishing its pass may need the item lock, which a client adding
    // items holds while it waits for the configuration lock. The old tree
    // leaves (its items withdrawn from the toolkit) before the new one
    // defines the same item IDs, and the new one is built before clients
    // can reach it; meanwhile they find an empty root.
    app.StopChannels();
    app.SetRoot(std::make_unique<CLevelRoot>());
    CLevelRoot& root = *read.m_root;
    root.Initialise();
    for (size_t i = 0; i < root.LevelCount(); ++i) {
        root.LevelAt(i)->Initialise();
    }
    root.BuildAll();
    app.SetRoot(std::move(read.m_root));
    app.StartChannels();
    return read.m_code;
}

int SaveConfiguration(CSingleVectors& app, const std::string& path, const ReplaceFault& fault)
{
    std::optional<std::vector<uint8_t>> image;
    {
        CCriticalSectionLock lock(app.ConfigurationLock());
        if (const CLevelRoot* root = app.Root()) {
            image = WriteConfigurationImage(*root);
        }
    }
    ReplaceOutcome outcome;
    const bool written = StoreImage(path, image, fault, &outcome);
    if (outcome.error != 0) {
        Trace(app, "Configuration not saved cleanly: %s failed: %s", ReplaceStepName(outcome.failedStep),
              std::strerror(outcome.error));
    }
    if (!written) {
        return 0;
    }
    (void)LoadConfiguration(app, path);
    return 1;
}

void ApplyStatisticsSettings(CSingleVectors& app)
{
    CCriticalSectionLock lock(app.ConfigurationLock());
    CLogFile* log = app.StatisticsLog();
    const CLevelRoot* root = app.Root();
    if (log != nullptr && root != nullptr) {
        log->SetEnabled(root->StatisticsEnabled());
        log->SetSizeLimitKb(root->StatisticsSizeLimit());
    }
}
