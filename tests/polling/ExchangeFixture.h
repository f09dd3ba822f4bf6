#pragma once
// A fresh application singleton per test with its statistics log and debug
// log in a folder of the test's own, the channels under its root, and the
// packet cipher library loaded from the folder of the test programs.
#include "app/SingleVectors.h"
#include "config/LevelRoot.h"
#include "opcda/DATag.h"
#include "platform/DynamicLibrary.h"
#include "polling/ScriptedChannel.h"
#include "support/ScopedEnv.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

class ExchangeTest : public ::testing::Test {
   protected:
    void SetUp() override;
    void TearDown() override;

    // A new channel under the singleton's root, initialised and open.
    ScriptedChannel& AddChannel(uint8_t kind = kKindChannelCOM, const char* name = "Vireo-2_1");

    // A tag at path below the channel whose item has this register, access
    // mode and value type code; collected by the channel's exchange and, when
    // inUse, held by a client.
    CDATag* AddItem(ScriptedChannel& channel, const char* path, uint16_t address, uint8_t accessMode,
                    uint8_t code, bool inUse = true);

    // Event texts of the statistics log, in order, as "<channel>: text".
    std::vector<std::string> Events() const;
    // Only the texts, without the channel.
    std::vector<std::string> EventTexts() const;
    // Lines of the debug log without their prefix.
    std::vector<std::string> TraceLines() const;
    void EnableFrameTrace(bool on);

    // The cipher library's entries (skips the test when the library is missing).
    bool LoadCipher();
    EncryptPacketFunction Encrypt() const { return m_encrypt; }
    DecryptPacketFunction Decrypt() const { return m_decrypt; }
    // The envelope of every channel's exchange from now on (both null: plain frames).
    void UseCipher(EncryptPacketFunction encrypt, DecryptPacketFunction decrypt);

    CSingleVectors& App() { return CSingleVectors::Instance(); }

    CTempFolder m_folder;
    // The debug log's cross-process mutex lives in the runtime folder: keep it private.
    CScopedEnv m_runtime{"XDG_RUNTIME_DIR", m_folder.Path()};
    CDynamicLibrary m_cipherLibrary;
    EncryptPacketFunction m_encrypt = nullptr;
    DecryptPacketFunction m_decrypt = nullptr;
    // The singleton's services with the envelope the test chose; the
    // channels use these.
    std::unique_ptr<CExchangeServices> m_services;
};

// Plain register values as the bytes of a register image (wire order).
Bytes RegisterBytes(std::initializer_list<uint16_t> values);
