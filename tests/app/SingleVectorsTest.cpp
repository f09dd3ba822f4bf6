#include "app/SingleVectors.h"
#include "config/LevelRoot.h"
#include "config/TestChannel.h"
#include "platform/DynamicLibrary.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

const std::string kCipherFile = SharedLibraryFileName(CSingleVectors::kCipherLibraryName);

// A library built beside the tests.
std::filesystem::path BuiltLibrary(const std::string& file)
{
    const char* bin = std::getenv("VIREO_TEST_BIN");
    return std::filesystem::path(bin != nullptr ? bin : "") / file;
}

// Puts a built library into folder under the cipher library's file name.
void InstallAsCipher(const CTempFolder& folder, const std::string& file)
{
    const std::filesystem::path source = BuiltLibrary(file);
    ASSERT_TRUE(std::filesystem::exists(source)) << source << " (is VIREO_TEST_BIN set?)";
    std::filesystem::copy_file(source, folder.File(kCipherFile));
}

int SpinUntilStopped(CLevelChannel* channel)
{
    while (channel->RunFlag() != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}

}  // namespace

TEST(SingleVectorsCipher, LibraryFileNameOnThisSystem)
{
    EXPECT_EQ(kCipherFile, "libmardelCrypto.so");
}

TEST(SingleVectorsCipher, AbsentLibraryLeavesBothEntriesNull)
{
    CTempFolder folder;
    CSingleVectors sv(folder.Path());
    EXPECT_EQ(sv.EncryptPacket(), nullptr);
    EXPECT_EQ(sv.DecryptPacket(), nullptr);
    ASSERT_NE(sv.Root(), nullptr);  // the rest of the singleton is there regardless
}

TEST(SingleVectorsCipher, PresentLibraryBindsBothEntriesByName)
{
    CTempFolder folder;
    InstallAsCipher(folder, kCipherFile);
    CSingleVectors sv(folder.Path());
    ASSERT_NE(sv.EncryptPacket(), nullptr);
    ASSERT_NE(sv.DecryptPacket(), nullptr);

    // Each pointer reaches its own entry: an 8-byte frame makes a 22-byte
    // packet, and deciphering it gives the frame back.
    const uint8_t key[18] = {'k', 'e', 'y'};
    const uint8_t frame[8] = {1, 3, 0, 0, 0, 10, 0xC5, 0xCD};
    uint8_t packet[64] = {};
    int32_t packetLength = 0;
    sv.EncryptPacket()(key, frame, 8, packet, &packetLength);
    ASSERT_EQ(packetLength, 22);
    EXPECT_EQ(packet[0], 0x55);
    EXPECT_EQ(packet[2], 8);
    uint8_t plain[64] = {};
    int32_t plainLength = 0;
    ASSERT_EQ(sv.DecryptPacket()(key, packet, packetLength, plain, &plainLength), 0);
    ASSERT_EQ(plainLength, 8);
    EXPECT_EQ(0, std::memcmp(plain, frame, 8));

    sv.Release();
    EXPECT_EQ(sv.EncryptPacket(), nullptr);
    EXPECT_EQ(sv.DecryptPacket(), nullptr);
}

TEST(SingleVectorsCipher, MissingEntryStaysNullTheOtherIsBound)
{
    CTempFolder folder;
    InstallAsCipher(folder, "libfakecipher_DecryptOnly.so");
    CSingleVectors sv(folder.Path());
    EXPECT_EQ(sv.EncryptPacket(), nullptr);
    ASSERT_NE(sv.DecryptPacket(), nullptr);
    int32_t length = 0;
    EXPECT_EQ(sv.DecryptPacket()(nullptr, nullptr, 9, nullptr, &length), 7);
    EXPECT_EQ(length, 9);
}

TEST(SingleVectorsCipher, FileThatIsNoLibraryIsIgnored)
{
    CTempFolder folder;
    std::ofstream(folder.File(kCipherFile)) << "not a shared library";
    CSingleVectors sv(folder.Path());
    EXPECT_EQ(sv.EncryptPacket(), nullptr);
    EXPECT_EQ(sv.DecryptPacket(), nullptr);
}

TEST(SingleVectorsCipher, NoFolderMeansNoLibraryNotASearch)
{
    // The library sits on the test program's own search path; without a
    // folder it must still not be picked up from there.
    ASSERT_TRUE(std::filesystem::exists(BuiltLibrary(kCipherFile)));
    CSingleVectors sv(std::string{});
    EXPECT_EQ(sv.EncryptPacket(), nullptr);
    EXPECT_EQ(sv.DecryptPacket(), nullptr);
}

TEST(SingleVectorsCipher, DefaultLooksInTheProgramsFolder)
{
    // The test program lives beside the built cipher library.
    ASSERT_TRUE(std::filesystem::exists(BuiltLibrary(kCipherFile)));
    CSingleVectors sv;
    EXPECT_NE(sv.EncryptPacket(), nullptr);
    EXPECT_NE(sv.DecryptPacket(), nullptr);
}

TEST(SingleVectors, ConstructedState)
{
    CSingleVectors sv;
    EXPECT_EQ(sv.Running(), 1u);
    EXPECT_EQ(sv.StartMode(), kStartModeNormal);
    ASSERT_NE(sv.Root(), nullptr);
    EXPECT_EQ(sv.Root()->GetName(), "Каналы связи");
    EXPECT_EQ(sv.Root()->LevelCount(), 0u);
    ASSERT_NE(sv.ClientIdleTimer(), nullptr);
    EXPECT_EQ(sv.ClientIdleTimer()->Interval(), 5000u);
    EXPECT_FALSE(sv.ClientIdleTimer()->Elapsed());
    EXPECT_EQ(sv.LastExchangeTimer().Interval(), 5000u);
    EXPECT_FALSE(sv.LastExchangeTimer().Elapsed());
    EXPECT_EQ(sv.DataFolder(), "");
}

TEST(SingleVectors, FilePathsInTheDataFolder)
{
    CSingleVectors sv;
    sv.SetDataFolder("/data/OPC-сервер комлекта Вирео-2 версии 300");
    EXPECT_EQ(sv.DataFolder(), "/data/OPC-сервер комлекта Вирео-2 версии 300");
    EXPECT_EQ(sv.StatisticsPath(), "/data/OPC-сервер комлекта Вирео-2 версии 300/OpcVireo2.txt");
    EXPECT_EQ(sv.ConfigurationPath(), "/data/OPC-сервер комлекта Вирео-2 версии 300/OpcVireo2.cfg");
    EXPECT_EQ(sv.DebugLogPath(), "/data/OPC-сервер комлекта Вирео-2 версии 300/OpcVireo2_dbg.log");
    EXPECT_EQ(sv.DebugSettingsPath(), "/data/OPC-сервер комлекта Вирео-2 версии 300/log.ini");
    sv.SetStartMode(kStartModeRegistration);
    EXPECT_EQ(sv.StartMode(), kStartModeRegistration);
}

TEST(SingleVectors, ReleaseStopsChannelsThenDropsTheTree)
{
    CSingleVectors sv;
    auto owned = std::make_unique<TestChannel>(kKindChannelTCP, "Vireo-2_1");
    TestChannel* channel = owned.get();
    channel->Initialise();
    ASSERT_NE(channel->CreatePath("PU_1.x"), nullptr);
    sv.Root()->AddLevel(std::move(owned));
    ASSERT_TRUE(sv.StartChannels(&SpinUntilStopped));
    ASSERT_TRUE(channel->HasThread());

    sv.Release();
    EXPECT_EQ(sv.Running(), 0u);
    EXPECT_EQ(sv.Root(), nullptr);
    EXPECT_FALSE(sv.StartChannels(&SpinUntilStopped));
    EXPECT_EQ(sv.StopChannels(), 0u);
    sv.Release();  // a second release finds nothing left to do
    EXPECT_EQ(sv.Root(), nullptr);
}

TEST(SingleVectors, SetRootReplacesTheTreeUnderTheConfigurationLock)
{
    CSingleVectors sv;
    CLevelRoot* old = sv.Root();
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(sv.StopChannels(), 0u);

    // While another thread holds the configuration lock the tree stays put.
    std::atomic<bool> holding{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        CCriticalSectionLock lock(sv.ConfigurationLock());
        holding = true;
        WaitFor([&] { return release.load(); });
    });
    ASSERT_TRUE(WaitFor([&] { return holding.load(); }));
    auto fresh = std::make_unique<CLevelRoot>();
    fresh->SetStatisticsSizeLimit(77);
    CLevelRoot* expected = fresh.get();
    std::atomic<bool> replaced{false};
    std::thread loader([&] {
        sv.SetRoot(std::move(fresh));
        replaced = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(replaced.load());
    release = true;
    holder.join();
    loader.join();
    EXPECT_TRUE(replaced.load());
    {
        CCriticalSectionLock lock(sv.ConfigurationLock());
        EXPECT_EQ(sv.Root(), expected);
        EXPECT_EQ(sv.Root()->StatisticsSizeLimit(), 77u);
    }
}

TEST(SingleVectors, SharedTimersAcrossThreads)
{
    // Polling threads restart the last-exchange timer while shutdown reads it.
    CSingleVectors sv;
    sv.LastExchangeTimer().SetStartTime(0);
    ASSERT_TRUE(sv.LastExchangeTimer().Elapsed());
    std::vector<std::thread> pollers;
    for (int i = 0; i < 4; ++i) {
        pollers.emplace_back([&] {
            for (int n = 0; n < 2000; ++n) {
                sv.RestartLastExchangeTimer();
            }
        });
    }
    std::atomic<size_t> checks{0};  // keeps the reads from being optimised away
    for (int n = 0; n < 2000; ++n) {
        checks += sv.LastExchangeTimer().Elapsed() ? 1 : 0;
    }
    for (auto& t : pollers) {
        t.join();
    }
    EXPECT_FALSE(sv.LastExchangeTimer().Elapsed());
}

TEST(SingleVectors, ItemLockIsReentrantAndExclusive)
{
    CSingleVectors sv;
    CCriticalSectionLock outer(sv.ItemLock());
    CCriticalSectionLock inner(sv.ItemLock());
    bool otherGotIt = true;
    std::thread other([&] {
        otherGotIt = sv.ItemLock().TryEnter();
        if (otherGotIt) {
            sv.ItemLock().Leave();
        }
    });
    other.join();
    EXPECT_FALSE(otherGotIt);
    EXPECT_NE(&sv.ItemLock(), &sv.ConfigurationLock());
    EXPECT_NE(&sv.ItemLock(), &sv.StatisticsLock());
}

TEST(SingleVectorsInstance, OneInstanceUntilReset)
{
    CSingleVectors& first = CSingleVectors::Instance();
    EXPECT_EQ(&CSingleVectors::Instance(), &first);
    first.SetStartMode(kStartModeConfiguration);
    first.SetDataFolder("/x");
    CSingleVectors::ResetInstance();
    CSingleVectors& second = CSingleVectors::Instance();
    EXPECT_EQ(second.StartMode(), kStartModeNormal);
    EXPECT_EQ(second.DataFolder(), "");
    EXPECT_EQ(second.Running(), 1u);
    ASSERT_NE(second.Root(), nullptr);
    CSingleVectors::ResetInstance();
    CSingleVectors::ResetInstance();  // nothing to drop
}
