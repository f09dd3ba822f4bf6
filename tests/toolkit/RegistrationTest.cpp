// Registration as a local server, written into and removed from the registry layer.

#include "FakeProgram.h"
#include "platform/Registry.h"
#include "support/TempFolder.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>

namespace {

const char* const kProgId = "OPC.DA.VIREO2_300";
const char* const kClassKey = "CLSID\\{5D1E8A42-7C3B-4F06-9A2D-1B8E6F0C4A37}";

class RegistrationTest : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_folder.Path().empty());
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) m_oldConfig = old;
        setenv("XDG_CONFIG_HOME", m_folder.Path().c_str(), 1);
    }
    void TearDown() override
    {
        if (m_oldConfig)
            setenv("XDG_CONFIG_HOME", m_oldConfig->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
    }
    std::string Value(const std::string& key, const char* name = "")
    {
        std::string data;
        return CRegistry::Open(RegistryHive::ClassesRoot).GetValue(key, name, &data) ? data : "<missing>";
    }
    CTempFolder m_folder;
    std::optional<std::string> m_oldConfig;
};

TEST_F(RegistrationTest, RoundTrip)
{
    ASSERT_EQ(RegisterDAServer(kTestClsid, kProgId, kProgId, "/opt/vireo/bin/OpcVireo2", "LLC SPC ZELL"),
              S_OK);
    // The store lives below the folder the environment names.
    EXPECT_EQ(CRegistry::DefaultRootFolder().rfind(m_folder.Path(), 0), 0u);
    EXPECT_EQ(Value(std::string(kClassKey) + "\\LocalServer32"), "/opt/vireo/bin/OpcVireo2");
    EXPECT_EQ(Value(std::string(kClassKey) + "\\ProgID"), kProgId);
    EXPECT_EQ(Value(kClassKey), kProgId);
    EXPECT_EQ(Value(kClassKey, "Vendor"), "LLC SPC ZELL");
    EXPECT_EQ(Value(std::string(kProgId) + "\\CLSID"), "{5D1E8A42-7C3B-4F06-9A2D-1B8E6F0C4A37}");
    EXPECT_EQ(Value(kProgId), kProgId);

    // Registering again (a moved executable) replaces the path.
    ASSERT_EQ(RegisterDAServer(kTestClsid, kProgId, kProgId, "/usr/bin/OpcVireo2", "LLC SPC ZELL"), S_OK);
    EXPECT_EQ(Value(std::string(kClassKey) + "\\LocalServer32"), "/usr/bin/OpcVireo2");

    ASSERT_EQ(UnregisterDAServer(kTestClsid, kProgId), S_OK);
    CRegistry registry = CRegistry::Open(RegistryHive::ClassesRoot);
    EXPECT_FALSE(registry.KeyExists(kClassKey));
    EXPECT_FALSE(registry.KeyExists(kProgId));
    EXPECT_TRUE(registry.KeyExists("CLSID"));  // only our class went
    EXPECT_EQ(UnregisterDAServer(kTestClsid, kProgId), S_FALSE);
}

TEST_F(RegistrationTest, UnregisterLeavesAProgIdOfAnotherClass)
{
    CRegistry registry = CRegistry::Open(RegistryHive::ClassesRoot);
    ASSERT_TRUE(
        registry.SetValue(std::string(kProgId) + "\\CLSID", "", "{00000000-0000-0000-0000-000000000001}"));
    ASSERT_EQ(RegisterDAServer(kTestClsid, "OPC.DA.Other", "Other", "/bin/x", ""), S_OK);
    EXPECT_EQ(UnregisterDAServer(kTestClsid, kProgId), S_OK);  // the class key went
    EXPECT_EQ(Value(std::string(kProgId) + "\\CLSID"), "{00000000-0000-0000-0000-000000000001}");
    EXPECT_FALSE(registry.KeyExists(kClassKey));
}

TEST_F(RegistrationTest, ANewProgIdReplacesTheOldOne)
{
    ASSERT_EQ(RegisterDAServer(kTestClsid, "OPC.DA.VIREO2_200", "old", "/bin/x", ""), S_OK);
    ASSERT_EQ(RegisterDAServer(kTestClsid, kProgId, kProgId, "/bin/x", ""), S_OK);
    CRegistry registry = CRegistry::Open(RegistryHive::ClassesRoot);
    EXPECT_FALSE(registry.KeyExists("OPC.DA.VIREO2_200"));
    EXPECT_EQ(Value(std::string(kClassKey) + "\\ProgID"), kProgId);
}

TEST_F(RegistrationTest, BadArgumentsWriteNothing)
{
    EXPECT_EQ(RegisterDAServer(kTestClsid, nullptr, "d", "/bin/x", "v"), E_INVALIDARG);
    EXPECT_EQ(RegisterDAServer(kTestClsid, "", "d", "/bin/x", "v"), E_INVALIDARG);
    EXPECT_EQ(RegisterDAServer(kTestClsid, "a\\b", "d", "/bin/x", "v"), E_INVALIDARG);
    EXPECT_EQ(RegisterDAServer(kTestClsid, kProgId, "d", nullptr, "v"), E_INVALIDARG);
    EXPECT_EQ(RegisterDAServer(kTestClsid, kProgId, "d", "", "v"), E_INVALIDARG);
    EXPECT_EQ(UnregisterDAServer(kTestClsid, nullptr), E_INVALIDARG);
    EXPECT_FALSE(CRegistry::Open(RegistryHive::ClassesRoot).KeyExists("CLSID"));
    // Null description and vendor are empty texts.
    EXPECT_EQ(RegisterDAServer(kTestClsid, kProgId, nullptr, "/bin/x", nullptr), S_OK);
    EXPECT_EQ(Value(kClassKey), "");
}

}  // namespace
