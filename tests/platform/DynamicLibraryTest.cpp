#include "platform/DynamicLibrary.h"

#include <cmath>
#include <gtest/gtest.h>
#include <utility>

TEST(DynamicLibrary, LoadsASystemLibraryAndFindsAnEntry)
{
    CDynamicLibrary libm;
    ASSERT_TRUE(libm.Load("libm.so.6")) << libm.LastError();
    EXPECT_TRUE(libm.IsLoaded());
    using CosFunction = double (*)(double);
    auto cosine = libm.Entry<CosFunction>("cos");
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_NEAR(cosine(M_PI), -1.0, 1e-12);
    EXPECT_EQ(libm.Symbol("no_such_entry_in_libm"), nullptr);
    EXPECT_EQ(libm.Symbol(""), nullptr);
    EXPECT_EQ(libm.Symbol(nullptr), nullptr);

    CDynamicLibrary moved(std::move(libm));
    EXPECT_FALSE(libm.IsLoaded());  // a moved-from library is empty
    EXPECT_EQ(libm.Symbol("cos"), nullptr);
    EXPECT_NE(moved.Symbol("cos"), nullptr);
    moved.Unload();
    EXPECT_FALSE(moved.IsLoaded());
    EXPECT_EQ(moved.Symbol("cos"), nullptr);
}

TEST(DynamicLibrary, MissingOrBrokenLibraryIsANullAnswer)
{
    CDynamicLibrary lib;
    EXPECT_FALSE(lib.Load("/nonexistent/libmardelCrypto.so"));
    EXPECT_FALSE(lib.IsLoaded());
    EXPECT_FALSE(lib.LastError().empty());
    EXPECT_EQ(lib.Symbol("_encryptPacket"), nullptr);
    EXPECT_FALSE(lib.Load(""));
    EXPECT_FALSE(lib.Load("/etc/hostname"));  // exists, not a library
    EXPECT_FALSE(lib.IsLoaded());
}

TEST(DynamicLibrary, WindowsNamesMapToSharedObjectNames)
{
    EXPECT_EQ(SharedLibraryFileName("mardelCrypto.dll"), "libmardelCrypto.so");
    EXPECT_EQ(SharedLibraryFileName("ZellDAServer.DLL"), "libZellDAServer.so");
    EXPECT_EQ(SharedLibraryFileName("plain"), "libplain.so");
}
