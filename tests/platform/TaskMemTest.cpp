#include "platform/TaskMem.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

TEST(TaskMem, AllocReallocFree)
{
    void* zero = CoTaskMemAlloc(0);
    ASSERT_NE(zero, nullptr);
    void* other = CoTaskMemAlloc(0);
    EXPECT_NE(zero, other);  // each a block of its own
    CoTaskMemFree(other);

    auto* bytes = static_cast<unsigned char*>(CoTaskMemRealloc(zero, 16));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(i);
    bytes = static_cast<unsigned char*>(CoTaskMemRealloc(bytes, 4096));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(bytes[i], i) << "realloc keeps the content";
    EXPECT_EQ(CoTaskMemRealloc(bytes, 0), nullptr);  // frees; asan reports a double free or leak otherwise

    void* fresh = CoTaskMemRealloc(nullptr, 8);
    ASSERT_NE(fresh, nullptr);
    CoTaskMemFree(fresh);
    CoTaskMemFree(nullptr);
}

TEST(TaskMem, TextCopiesAreTerminatedAndIndependent)
{
    const std::u16string source = u"Каналы связи.Vireo-2_1";
    char16_t* wide = TaskMemCopyText(std::u16string_view(source));
    ASSERT_NE(wide, nullptr);
    EXPECT_NE(static_cast<const void*>(wide), static_cast<const void*>(source.data()));
    EXPECT_EQ(std::u16string(wide), source);
    EXPECT_EQ(wide[source.size()], 0);

    char16_t* converted = TaskMemCopyText(std::string_view("Каналы связи.Vireo-2_1"));
    ASSERT_NE(converted, nullptr);
    EXPECT_EQ(std::u16string(converted), source);

    char16_t* again = TaskMemCopyText(static_cast<const char16_t*>(wide));
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, wide);
    wide[0] = u'X';
    EXPECT_EQ(std::u16string(again), source);

    char16_t* empty = TaskMemCopyText(std::u16string_view());
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], 0);
    EXPECT_EQ(TaskMemCopyText(static_cast<const char16_t*>(nullptr)), nullptr);

    char* utf8 = TaskMemCopyUtf8("ёЁ");
    ASSERT_NE(utf8, nullptr);
    EXPECT_STREQ(utf8, "ёЁ");

    for (void* p : {static_cast<void*>(wide), static_cast<void*>(converted), static_cast<void*>(again),
                    static_cast<void*>(empty), static_cast<void*>(utf8)}) {
        CoTaskMemFree(p);
    }
}
