#include "platform/Text.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <string>

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

// The system's own code page tables, as an independent reference.
bool IconvCp1251ByteToUtf8(unsigned char byte, std::string* out)
{
    iconv_t cd = iconv_open("UTF-8", "CP1251");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    char in[1] = {static_cast<char>(byte)};
    char buffer[8] = {};
    char* inPtr = in;
    char* outPtr = buffer;
    size_t inLeft = 1;
    size_t outLeft = sizeof(buffer);
    const size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1)) return false;
    out->assign(buffer, outPtr);
    return true;
}

}  // namespace

TEST(Utf, CyrillicAndSupplementaryRoundTrip)
{
    const std::string utf8 = "Каналы связи.Vireo-2_1 ёЁ 😀";
    const std::u16string utf16 = Utf8ToUtf16(utf8);
    EXPECT_EQ(utf16, u"Каналы связи.Vireo-2_1 ёЁ 😀");
    EXPECT_EQ(utf16.size(), 28u);  // the emoji is a surrogate pair
    EXPECT_EQ(utf16[26], 0xD83D);
    EXPECT_EQ(utf16[27], 0xDE00);
    EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
    EXPECT_EQ(Utf8ToUtf16(""), u"");
    EXPECT_EQ(Utf16ToUtf8(u""), "");
}

TEST(Utf, InvalidUtf8BecomesReplacementCharacters)
{
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"\xFF", kFffd},
        {"a\xC3", "a" + kFffd},  // truncated at the end
        {"\xE2\x82"
         "A",
         kFffd + "A"},                                        // truncated, one U+FFFD, next kept
        {"\xC0\xAF", kFffd + kFffd},                          // overlong
        {"\xE0\x80\x80", kFffd + kFffd + kFffd},              // overlong three-byte form
        {"\xED\xA0\x80", kFffd + kFffd + kFffd},              // an encoded surrogate
        {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // above U+10FFFF
        {"\x80z", kFffd + "z"},                               // stray continuation byte
        {"\xD0\x9F\xD1", "П" + kFffd},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(c.in)), c.out) << testing::PrintToString(c.in);
    }
}

TEST(Utf, UnpairedSurrogatesBecomeReplacementCharacters)
{
    EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD800, u'x'}), kFffd + "x");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{u'x', 0xDC00}), "x" + kFffd);
    EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDC00, 0xD800}), kFffd + kFffd);  // wrong order
}

TEST(Cp1251, CyrillicIncludingYo)
{
    EXPECT_EQ(Utf8ToCp1251("Привет, ёЁ!"), "\xCF\xF0\xE8\xE2\xE5\xF2, \xB8\xA8!");
    EXPECT_EQ(Utf8ToCp1251("АЯая"), "\xC0\xDF\xE0\xFF");
    EXPECT_EQ(Utf8ToCp1251("№ € «»"), "\xB9 \x88 \xAB\xBB");
    EXPECT_EQ(Cp1251ToUtf8("\xCF\xF0\xE8\xE2\xE5\xF2, \xB8\xA8!"), "Привет, ёЁ!");
    EXPECT_EQ(Utf16ToCp1251(u"Нет связи"), "\xCD\xE5\xF2 \xF1\xE2\xFF\xE7\xE8");
    EXPECT_EQ(Cp1251ToUtf16("\xCD\xE5\xF2"), u"Нет");
}

TEST(Cp1251, UnmappableAndInvalidBecomeQuestionMarks)
{
    EXPECT_EQ(Utf8ToCp1251("é中"), "??");
    EXPECT_EQ(Utf8ToCp1251("a😀b"), "a?b");  // one mark per character, not per UTF-16 unit
    EXPECT_EQ(Utf16ToCp1251(u"a😀b"), "a?b");
    EXPECT_EQ(Utf8ToCp1251("x\xFFy"), "x?y");
    EXPECT_EQ(Utf16ToCp1251(std::u16string{0xD800}), "?");
    EXPECT_EQ(Utf8ToCp1251("\xC2\x98"), "?");  // U+0098 has no byte: 0x98 is unassigned
    EXPECT_EQ(Cp1251ToUtf8("\x98"), kFffd);
}

TEST(Cp1251, EveryByteAgreesWithTheSystemTables)
{
    int compared = 0;
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        std::string reference;
        if (IconvCp1251ByteToUtf8(static_cast<unsigned char>(b), &reference)) {
            EXPECT_EQ(Cp1251ToUtf8(byte), reference) << "byte " << b;
            EXPECT_EQ(Utf8ToCp1251(reference), byte) << "byte " << b;
            ++compared;
        } else {
            EXPECT_EQ(Cp1251ToUtf8(byte), kFffd) << "byte " << b;
        }
    }
    if (compared == 0) GTEST_SKIP() << "no CP1251 converter on this system";
    EXPECT_EQ(compared, 255);  // all but 0x98
}

TEST(Utf16Length, NullAndTerminated)
{
    EXPECT_EQ(Utf16Length(nullptr), 0u);
    EXPECT_EQ(Utf16Length(u"abc"), 3u);
    EXPECT_EQ(Utf16View(nullptr), u"");
    EXPECT_EQ(Utf16View(u"ёж"), u"ёж");
}

TEST(EqualIgnoringCase, LettersOfEveryScriptFoldOthersDoNot)
{
    struct Row {
        const char* a;
        const char* b;
        bool equal;
    };
    const Row rows[] = {
        {"Vireo-2_1", "VIREO-2_1", true},
        {"канал", "КАНАЛ", true},
        {"ёж", "ЁЖ", true},
        {"ωmega", "ΩMEGA", true},
        {"", "", true},
        {"канал", "канал1", false},
        {"е", "ё", false},
        {"a.b", "a,b", false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(EqualIgnoringCase(r.a, r.b), r.equal) << r.a << " / " << r.b;
    }
}
