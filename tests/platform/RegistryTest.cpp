#include "platform/Registry.h"
#include "support/ScopedEnv.h"
#include "support/TempFolder.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kClsidKey[] = "CLSID\\{5D1E8A42-7C3B-4F06-9A2D-1B8E6F0C4A37}";
const char kServerKey[] = "CLSID\\{5D1E8A42-7C3B-4F06-9A2D-1B8E6F0C4A37}\\LocalServer32";

class RegistryTest : public testing::Test {
   protected:
    // Every file and folder below the temp folder, to see that nothing landed outside the store.
    std::vector<std::string> Everything() const
    {
        std::vector<std::string> all;
        for (const auto& entry : fs::recursive_directory_iterator(m_temp)) {
            all.push_back(fs::relative(entry.path(), m_temp).string());
        }
        std::sort(all.begin(), all.end());
        return all;
    }

    CTempFolder m_folder;
    const std::string m_temp = m_folder.Path();
    const std::string m_root = (fs::path(m_temp) / "store").string();
};

std::string ReadWhole(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST_F(RegistryTest, SetGetAndReplaceDefaultAndNamedValues)
{
    CRegistry reg(m_root);
    EXPECT_FALSE(reg.KeyExists(kServerKey));
    std::string text;
    EXPECT_FALSE(reg.GetValue(kServerKey, "", &text));

    ASSERT_TRUE(reg.SetValue(kServerKey, "", "/opt/vireo/OpcVireo2"));
    EXPECT_TRUE(reg.KeyExists(kServerKey));
    EXPECT_TRUE(reg.KeyExists(kClsidKey));
    ASSERT_TRUE(reg.GetValue(kServerKey, "", &text));
    EXPECT_EQ(text, "/opt/vireo/OpcVireo2");

    ASSERT_TRUE(reg.SetValue(kServerKey, "", "/usr/bin/OpcVireo2"));
    ASSERT_TRUE(reg.GetValue(kServerKey, "", &text));
    EXPECT_EQ(text, "/usr/bin/OpcVireo2");

    ASSERT_TRUE(reg.SetValue(kClsidKey, "Vendor", "LLC SPC ZELL"));
    ASSERT_TRUE(reg.SetValue(kClsidKey, "Описание", "строка\nс переводом"));
    ASSERT_TRUE(reg.SetValue(kClsidKey, "Empty", ""));
    ASSERT_TRUE(reg.GetValue(kClsidKey, "Описание", &text));
    EXPECT_EQ(text, "строка\nс переводом");
    ASSERT_TRUE(reg.GetValue(kClsidKey, "Empty", &text));
    EXPECT_EQ(text, "");
    EXPECT_FALSE(reg.GetValue(kClsidKey, "", &text)) << "no default value was set on that key";
    EXPECT_FALSE(reg.GetValue(kClsidKey, "Vendor", nullptr));

    std::vector<std::string> names;
    ASSERT_TRUE(reg.ValueNames(kClsidKey, &names));
    EXPECT_EQ(names, (std::vector<std::string>{"Empty", "Vendor", "Описание"}));
    ASSERT_TRUE(reg.SubKeys(kClsidKey, &names));
    EXPECT_EQ(names, std::vector<std::string>{"LocalServer32"});
    ASSERT_TRUE(reg.ValueNames(kServerKey, &names));
    EXPECT_EQ(names, std::vector<std::string>{""});
}

TEST_F(RegistryTest, NamesIgnoreAsciiCaseLikeWindowsKeys)
{
    CRegistry reg(m_root);
    ASSERT_TRUE(reg.SetValue(kServerKey, "", "/a"));
    std::string text;
    ASSERT_TRUE(reg.GetValue("clsid\\{5d1e8a42-7c3b-4f06-9a2d-1b8e6f0c4a37}\\localserver32", "", &text));
    EXPECT_EQ(text, "/a");
    // Writing through another spelling updates the same key, it does not make a twin.
    ASSERT_TRUE(reg.SetValue("Clsid\\{5D1E8A42-7C3B-4F06-9A2D-1B8E6F0C4A37}\\LOCALSERVER32", "", "/b"));
    ASSERT_TRUE(reg.GetValue(kServerKey, "", &text));
    EXPECT_EQ(text, "/b");
    ASSERT_TRUE(reg.SetValue(kClsidKey, "Vendor", "x"));
    ASSERT_TRUE(reg.SetValue(kClsidKey, "VENDOR", "y"));
    std::vector<std::string> names;
    ASSERT_TRUE(reg.ValueNames(kClsidKey, &names));
    EXPECT_EQ(names, std::vector<std::string>{"Vendor"});
    ASSERT_TRUE(reg.GetValue(kClsidKey, "vendor", &text));
    EXPECT_EQ(text, "y");
    ASSERT_TRUE(reg.SubKeys("", &names));
    EXPECT_EQ(names, std::vector<std::string>{"CLSID"});
}

TEST_F(RegistryTest, DeleteValueAndKeyTree)
{
    CRegistry reg(m_root);
    ASSERT_TRUE(reg.SetValue(kServerKey, "", "/opt/vireo/OpcVireo2"));
    ASSERT_TRUE(reg.SetValue(kClsidKey, "", "OPC.DA.VIREO2_300"));
    ASSERT_TRUE(reg.SetValue("CLSID\\{00000000-0000-0000-0000-000000000001}", "", "someone else"));
    ASSERT_TRUE(reg.SetValue("OPC.DA.VIREO2_300\\CLSID", "", "{5D1E8A42-7C3B-4F06-9A2D-1B8E6F0C4A37}"));

    EXPECT_TRUE(reg.DeleteValue(kClsidKey, ""));
    std::string text;
    EXPECT_FALSE(reg.GetValue(kClsidKey, "", &text));
    EXPECT_FALSE(reg.DeleteValue(kClsidKey, "")) << "already gone";
    EXPECT_FALSE(reg.DeleteValue("No\\Such\\Key", ""));

    ASSERT_TRUE(reg.DeleteKeyTree("clsid\\{5d1e8a42-7c3b-4f06-9a2d-1b8e6f0c4a37}"));
    EXPECT_FALSE(reg.KeyExists(kServerKey));
    EXPECT_FALSE(reg.KeyExists(kClsidKey));
    EXPECT_TRUE(reg.KeyExists("CLSID"));
    ASSERT_TRUE(reg.GetValue("CLSID\\{00000000-0000-0000-0000-000000000001}", "", &text));
    EXPECT_EQ(text, "someone else");
    EXPECT_TRUE(reg.KeyExists("OPC.DA.VIREO2_300\\CLSID"));
    EXPECT_FALSE(reg.DeleteKeyTree(kClsidKey)) << "already gone";
    EXPECT_FALSE(reg.DeleteKeyTree("")) << "the hive itself stays";
    EXPECT_TRUE(fs::is_directory(m_root));
}

TEST_F(RegistryTest, EscapeAttemptsAreRefused)
{
    CRegistry reg(m_root);
    ASSERT_TRUE(reg.CreateKey("Inside"));
    const std::vector<std::string> before = Everything();
    for (const char* key : {"..", "Inside\\..\\..\\outside", "a/b", "../x", "\\Inside", "Inside\\",
                            "Inside\\\\x", ".", "Inside\\.", "/etc"}) {
        SCOPED_TRACE(key);
        EXPECT_FALSE(reg.SetValue(key, "", "x"));
        EXPECT_FALSE(reg.CreateKey(key));
        EXPECT_FALSE(reg.KeyExists(key));
        EXPECT_FALSE(reg.DeleteKeyTree(key));
    }
    std::string text;
    for (const char* name : {"..", "../../x", "a/b", "."}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(reg.SetValue("Inside", name, "x"));
        EXPECT_FALSE(reg.GetValue("Inside", name, &text));
        EXPECT_FALSE(reg.DeleteValue("Inside", name));
    }
    EXPECT_FALSE(reg.SetValue(std::string("Inside\\a\0b", 10), "", "x"));
    EXPECT_FALSE(reg.SetValue("Inside", std::string(256, 'v'), "x"));
    EXPECT_EQ(Everything(), before);
}

TEST_F(RegistryTest, SymbolicLinksInsideTheStoreAreNotFollowed)
{
    CRegistry reg(m_root);
    ASSERT_TRUE(reg.CreateKey("Inside"));
    const fs::path outside = fs::path(m_temp) / "outside";
    fs::create_directory(outside);
    fs::create_directory_symlink(outside, fs::path(m_root) / "Linked");
    EXPECT_FALSE(reg.SetValue("Linked", "", "x"));
    EXPECT_FALSE(reg.SetValue("Linked\\Deeper", "", "x"));
    EXPECT_FALSE(reg.KeyExists("Linked"));
    EXPECT_FALSE(reg.DeleteKeyTree("Linked"));
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_TRUE(fs::is_symlink(fs::path(m_root) / "Linked"));

    // A value file that is a link is not read either.
    std::ofstream(outside / "secret") << "secret";
    fs::create_symlink(outside / "secret", fs::path(m_root) / "Inside" / "@Secret");
    std::string text;
    EXPECT_FALSE(reg.GetValue("Inside", "Secret", &text));
}

TEST_F(RegistryTest, KeysAndValuesOfTheSameNameAndOddCharacters)
{
    CRegistry reg(m_root);
    ASSERT_TRUE(reg.SetValue("K", "Both", "value"));
    ASSERT_TRUE(reg.SetValue("K\\Both", "", "key"));
    ASSERT_TRUE(reg.SetValue("K\\@at", "", "at"));
    ASSERT_TRUE(reg.SetValue("K\\100%", "50%", "per cent"));
    std::string text;
    ASSERT_TRUE(reg.GetValue("K", "Both", &text));
    EXPECT_EQ(text, "value");
    ASSERT_TRUE(reg.GetValue("K\\Both", "", &text));
    EXPECT_EQ(text, "key");
    ASSERT_TRUE(reg.GetValue("K\\100%", "50%", &text));
    EXPECT_EQ(text, "per cent");
    std::vector<std::string> names;
    ASSERT_TRUE(reg.SubKeys("K", &names));
    EXPECT_EQ(names, (std::vector<std::string>{"100%", "@at", "Both"}));
    ASSERT_TRUE(reg.ValueNames("K", &names));
    EXPECT_EQ(names, std::vector<std::string>{"Both"});
    ASSERT_TRUE(reg.ValueNames("K\\@at", &names));
    EXPECT_EQ(names, std::vector<std::string>{""});
}

TEST_F(RegistryTest, MachineStoreFollowsXdgConfigHome)
{
    CScopedEnv config("XDG_CONFIG_HOME", m_temp);
    EXPECT_EQ(CRegistry::DefaultRootFolder(), m_temp + "/OpcVireo2/registry");
    CRegistry hkcr = CRegistry::Open();
    EXPECT_EQ(hkcr.RootFolder(), m_temp + "/OpcVireo2/registry/HKEY_CLASSES_ROOT");
    ASSERT_TRUE(hkcr.SetValue(kServerKey, "", "/opt/vireo/OpcVireo2"));
    const fs::path file = fs::path(m_temp) / "OpcVireo2/registry/HKEY_CLASSES_ROOT/CLSID" /
                          "{5D1E8A42-7C3B-4F06-9A2D-1B8E6F0C4A37}" / "LocalServer32" / "@";
    EXPECT_TRUE(fs::is_regular_file(file));
    EXPECT_EQ(ReadWhole(file), "/opt/vireo/OpcVireo2");
    std::string text;
    EXPECT_FALSE(CRegistry::Open(RegistryHive::LocalMachine).GetValue(kServerKey, "", &text))
        << "hives are apart";
}
