#pragma once
#include "app/DebugLog.h"
#include "app/LogFile.h"
#include "config/LevelChannel.h"
#include "devicemaps/RegisterMapBuilder.h"
#include "opcda/DACallback.h"
#include "platform/CriticalSection.h"
#include "platform/DynamicLibrary.h"
#include "platform/HResult.h"
#include "platform/IntervalTimer.h"
#include "polling/ExchangeServices.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class CLevelElementBase;
class CLevelRoot;

// Start modes, from the first command-line token.
inline constexpr uint8_t kStartModeNormal = 0;
inline constexpr uint8_t kStartModeConfiguration = 1;
inline constexpr uint8_t kStartModeRegistration = 2;

// The one object through which every subsystem reaches what the process
// shares: the configuration tree, the cipher entry points, the shared locks
// and timers, the file paths.
//
// Created on the GUI thread before any other thread starts; Instance() takes
// no lock. Lock order: the item lock before the configuration lock; nothing
// is taken while the statistics lock is held.
class CSingleVectors {
   public:
    static constexpr uint32_t kLastExchangeIntervalMs = 5000;
    static constexpr uint32_t kClientIdleIntervalMs = 5000;
    // The cipher library's name as the Windows build knows it; the file
    // looked for is that system's form of it (libmardelCrypto.so here).
    static constexpr const char* kCipherLibraryName = "mardelCrypto.dll";

    // The process instance, built on the first call.
    static CSingleVectors& Instance();
    // Test seam: releases and destroys the process instance, so that the next
    // Instance() builds a fresh one.
    static void ResetInstance();

    // Looks for the cipher library in the program's folder.
    CSingleVectors();
    // Looks for it in libraryFolder instead (tests bring a folder of their own).
    explicit CSingleVectors(const std::string& libraryFolder);
    virtual ~CSingleVectors();

    CSingleVectors(const CSingleVectors&) = delete;
    CSingleVectors& operator=(const CSingleVectors&) = delete;

    // Shutdown: running flag cleared, channels stopped, the tree deleted, the
    // cipher library unloaded (after every channel thread has ended).
    void Release();

    // 1 from construction, 0 once shutdown begins; the server monitor runs while it is 1.
    uint32_t Running() const { return m_running.load(); }
    // The first step of shutdown: the server monitor ends.
    void ClearRunning() { m_running.store(0); }

    // Forms the four file paths inside the data folder.
    void SetDataFolder(const std::string& folder);
    const std::string& DataFolder() const { return m_dataFolder; }
    const std::string& StatisticsPath() const { return m_statisticsPath; }
    const std::string& ConfigurationPath() const { return m_configurationPath; }
    const std::string& DebugLogPath() const { return m_debugLogPath; }
    const std::string& DebugSettingsPath() const { return m_debugSettingsPath; }

    uint8_t StartMode() const { return m_startMode; }
    void SetStartMode(uint8_t mode) { m_startMode = mode; }

    // Null when the library or the entry is absent: frames then go unwrapped.
    EncryptPacketFunction EncryptPacket() const { return m_encryptPacket; }
    DecryptPacketFunction DecryptPacket() const { return m_decryptPacket; }

    // Guards the tree against the DA callback, saving and the shutdown wait.
    CCriticalSection& ConfigurationLock() { return m_configurationLock; }
    // Serialises statistics events; innermost.
    CCriticalSection& StatisticsLock() { return m_statisticsLock; }
    // Guards item values, qualities and time stamps: the DA callback's
    // critical section. Taken before the configuration lock when both are needed.
    CCriticalSection& ItemLock() { return m_daCallback->ItemLock(); }
    // The program's side of the DA toolkit, made with the singleton because its
    // lock is the item lock; start-up hands it to the toolkit, which must be
    // done with it (StopDAServer) before the singleton goes.
    CDACallback& DACallback() { return *m_daCallback; }

    // What every channel's device exchange uses of the process: the item
    // lock, the cipher entry points, the last-exchange timer, and the
    // statistics and debug logs as its events. Handed to every root.
    const CExchangeServices& ExchangeServices() const { return *m_exchangeServices; }

    // Restarted before every transaction attempt; shutdown waits until it has elapsed.
    CIntervalTimer& LastExchangeTimer() { return m_lastExchangeTimer; }
    void RestartLastExchangeTimer() { m_lastExchangeTimer.Restart(); }
    // Restarted while the toolkit reports clients.
    CIntervalTimer* ClientIdleTimer() { return m_clientIdleTimer.get(); }

    // Builds every channel's item space from the device maps.
    CRegisterMapBuilder& RegisterMapBuilder() { return m_registerMapBuilder; }

    // The configuration tree; null after Release.
    CLevelRoot* Root() { return m_root.get(); }
    // Replaces the tree (loading a configuration). The old tree must be
    // stopped already; it is destroyed here, outside the configuration lock.
    void SetRoot(std::unique_ptr<CLevelRoot> root);

    // StartAll on the tree; false without a tree.
    bool StartChannels(CLevelChannel::ThreadRoutine routine = &ChannelPollingThread);
    // StopAll on the tree; 0 without a tree.
    size_t StopChannels();

    // The statistics log; null until start-up creates it, and every event
    // is a no-op meanwhile. Deleted by Release.
    CLogFile* StatisticsLog() { return m_statisticsLog.get(); }
    void SetStatisticsLog(std::unique_ptr<CLogFile> log);
    // Appends "<channel's full path>: event text" under the statistics lock.
    void RecordCommEvent(uint32_t code, const CLevelElementBase* channel);

    // The debug log; null until start-up creates it, then kept to the end.
    CDebugLog* DebugLog() { return m_debugLog.get(); }
    // Creates the debug log at DebugLogPath(); a second call changes nothing.
    CDebugLog* CreateDebugLog();
    // Receives the debug log path and the unchanged log.ini text after every
    // reading. Start-up installs the toolkit's SetDebugSettingsDA; it is not
    // bound here, so tools that use the singleton need no toolkit library.
    using DebugSettingsHandler = HRESULT (*)(const char* logPath, const char* settings);
    void SetDebugSettingsHandler(DebugSettingsHandler handler) { m_debugSettingsHandler.store(handler); }
    // Reads log.ini (created with the default line when missing) into the
    // debug log and hands it to the handler. Run at start-up and every 10 s
    // by the server monitor. False without a debug log, or when log.ini can
    // be neither created nor read (the settings in force stay).
    bool LoadDebugSettings();

   private:
    class ExchangeEvents;

    void LoadCipherLibrary(const std::string& folder);

    CRegisterMapBuilder m_registerMapBuilder;
    std::atomic<uint32_t> m_running{1};
    std::string m_dataFolder;
    std::string m_statisticsPath;
    std::string m_configurationPath;
    std::string m_debugLogPath;
    std::string m_debugSettingsPath;
    uint8_t m_startMode = kStartModeNormal;
    EncryptPacketFunction m_encryptPacket = nullptr;
    DecryptPacketFunction m_decryptPacket = nullptr;
    std::unique_ptr<CLogFile> m_statisticsLog;
    CCriticalSection m_configurationLock;
    CCriticalSection m_statisticsLock;
    CIntervalTimer m_lastExchangeTimer{kLastExchangeIntervalMs};
    std::unique_ptr<ExchangeEvents> m_exchangeEvents;
    std::unique_ptr<CExchangeServices> m_exchangeServices;
    std::unique_ptr<CLevelRoot> m_root;
    std::unique_ptr<CDebugLog> m_debugLog;
    std::atomic<DebugSettingsHandler> m_debugSettingsHandler{nullptr};
    std::unique_ptr<CDACallback> m_daCallback;
    std::unique_ptr<CIntervalTimer> m_clientIdleTimer;
    CDynamicLibrary m_cipherLibrary;
};
