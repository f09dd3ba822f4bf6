#include "app/CommEvents.h"
#include "app/LogFile.h"
#include "platform/CriticalSection.h"
#include "platform/File.h"
#include "support/TempFolder.h"

#include <chrono>
#include <ctime>
#include <gtest/gtest.h>
#include <regex>
#include <thread>
#include <vector>

namespace {

std::string Content(const std::string& path)
{
    std::string text;
    EXPECT_TRUE(ReadFileText(path, &text)) << path;
    return text;
}

time_t LocalSeconds(int day, int month, int year, int hour, int minute, int second)
{
    std::tm tm{};
    tm.tm_mday = day;
    tm.tm_mon = month - 1;
    tm.tm_year = year - 1900;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

}  // namespace

TEST(LogFile, LineHasTheStampOfNowWithATwoDigitYear)
{
    CTempFolder dir;
    CLogFile log(dir.File("OpcVireo2.txt"), 5000, 1);
    // Not time(): it reads a coarse clock that may lag the one the log uses.
    const time_t before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    ASSERT_TRUE(log.WriteLine("Старт"));
    const time_t after = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());

    const std::string text = Content(log.Path());
    std::smatch m;
    const std::regex pattern(R"(^\[(\d\d)/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d)\] Старт\r\n$)");
    ASSERT_TRUE(std::regex_match(text, m, pattern)) << text;
    const time_t stamp = LocalSeconds(std::stoi(m[1]), std::stoi(m[2]), 2000 + std::stoi(m[3]),
                                      std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[6]));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);

    EXPECT_EQ(FormatLogFileLine(5, 3, 2024, 14, 7, 9, "<Каналы связи.K1>: Нет связи"),
              "[05/03/24 14:07:09] <Каналы связи.K1>: Нет связи");
    EXPECT_EQ(FormatLogFileLine(31, 12, 2009, 0, 0, 0, ""), "[31/12/09 00:00:00] ");
}

TEST(LogFile, LinesAppendAndBothFormsWriteTheSameBytes)
{
    CTempFolder dir;
    CLogFile log(dir.File("s.txt"), 5000, 1);
    ASSERT_TRUE(log.WriteLine("один"));
    ASSERT_TRUE(log.WriteLineA("два"));
    EXPECT_FALSE(log.WriteLineA(nullptr));
    const std::regex pattern(R"(^\[[0-9/ :]{17}\] один\r\n\[[0-9/ :]{17}\] два\r\n$)");
    EXPECT_TRUE(std::regex_match(Content(log.Path()), pattern)) << Content(log.Path());
}

TEST(LogFile, FileExactlyAtTheLimitStaysOneByteMoreIsDiscarded)
{
    CTempFolder dir;
    const std::string path = dir.File("limit.txt");
    CLogFile log(path, 1, 1);

    ASSERT_TRUE(WriteFileText(path, std::string(1024, 'a')));
    ASSERT_TRUE(log.WriteLine("kept"));
    std::string text = Content(path);
    EXPECT_EQ(text.substr(0, 1024), std::string(1024, 'a'));
    EXPECT_EQ(text.size(), 1024u + 20u + 4u + 2u);

    ASSERT_TRUE(WriteFileText(path, std::string(1025, 'b')));
    ASSERT_TRUE(log.WriteLine("fresh"));
    text = Content(path);
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(^\[[0-9/ :]{17}\] fresh\r\n$)"))) << text;

    // A limit of 0 keeps at most the empty file: every line starts it anew.
    log.SetSizeLimitKb(0);
    ASSERT_TRUE(log.WriteLine("x"));
    ASSERT_TRUE(log.WriteLine("y"));
    EXPECT_TRUE(std::regex_match(Content(path), std::regex(R"(^\[[0-9/ :]{17}\] y\r\n$)")));
}

TEST(LogFile, LargeLimitsDoNotWrap)
{
    CTempFolder dir;
    const std::string path = dir.File("big.txt");
    // 4194304 KB x 1024 is 2^32: in 32 bits that would be a limit of 0.
    CLogFile log(path, 4194304u, 1);
    ASSERT_TRUE(log.WriteLine("first"));
    ASSERT_TRUE(log.WriteLine("second"));
    EXPECT_NE(Content(path).find("first"), std::string::npos);
}

TEST(LogFile, DisabledTouchesNothing)
{
    CTempFolder dir;
    const std::string path = dir.File("off.txt");
    CLogFile log(path, 1, 0);
    EXPECT_FALSE(log.WriteLine("start"));
    EXPECT_FALSE(log.WriteLineA("event"));
    EXPECT_FALSE(FileExists(path));

    // An over-limit file is not discarded either.
    ASSERT_TRUE(WriteFileText(path, std::string(5000, 'z')));
    EXPECT_FALSE(log.WriteLine("start"));
    EXPECT_EQ(Content(path), std::string(5000, 'z'));

    log.SetEnabled(1);
    EXPECT_TRUE(log.WriteLine("on"));
    EXPECT_EQ(log.Enabled(), 1u);
}

TEST(LogFile, ClearDeletesAndAMissingFileIsNoError)
{
    CTempFolder dir;
    const std::string path = dir.File("c.txt");
    CLogFile log(path, 5000, 1);
    log.Clear();
    EXPECT_FALSE(FileExists(path));
    ASSERT_TRUE(log.WriteLine("a"));
    ASSERT_TRUE(FileExists(path));
    log.Clear();
    EXPECT_FALSE(FileExists(path));
    ASSERT_TRUE(log.WriteLine("b"));
    EXPECT_TRUE(std::regex_match(Content(path), std::regex(R"(^\[[0-9/ :]{17}\] b\r\n$)")));
}

TEST(LogFile, UnopenableFileLosesTheLineQuietly)
{
    CTempFolder dir;
    CLogFile log(dir.File("missing/folder/s.txt"), 5000, 1);
    EXPECT_FALSE(log.WriteLine("lost"));
    log.Clear();
}

TEST(CommEvents, EveryCodeHasItsText)
{
    const std::pair<uint32_t, const char*> expected[] = {
        {2, "Принят ошибочный пакет"},
        {3, "Несовпадение контрольной суммы"},
        {4, "Нет ответа от устройства"},
        {7, "Есть связь"},
        {8, "Нет связи"},
        {9, "Ошибка при коррекции времени"},
        {10, "Коррекция времени"},
        {11, "Ошибка открытия COM-порта"},
        {12, "Несовпадение ключа шифрования"},
        {20, "Недопустимый запрос"},
        {21, "Данные не получены"},
    };
    for (const auto& [code, text] : expected) {
        EXPECT_EQ(CommEventText(code), text) << code;
    }
    EXPECT_EQ(CommEventText(5), "Ошибка #5");
    EXPECT_EQ(CommEventText(0), "Ошибка #0");
    EXPECT_EQ(CommEventText(1), "Ошибка #1");
    EXPECT_EQ(CommEventText(4294967295u), "Ошибка #4294967295");
    EXPECT_EQ(CommEventLine(kCommLinkDown, "Каналы связи.Vireo-2_1"), "<Каналы связи.Vireo-2_1>: Нет связи");
    EXPECT_EQ(CommEventLine(5, ""), "<>: Ошибка #5");
}

TEST(CommEvents, RecordingWritesOneWholeLinePerEvent)
{
    CTempFolder dir;
    CLogFile log(dir.File("OpcVireo2.txt"), 5000, 1);
    CCriticalSection statisticsLock;
    EXPECT_FALSE(RecordCommEventTo(nullptr, statisticsLock, kCommNoAnswer, "K"));

    constexpr int kThreads = 4;
    constexpr int kEvents = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string path = "Каналы связи.K" + std::to_string(t);
            for (int i = 0; i < kEvents; ++i) {
                (void)RecordCommEventTo(&log, statisticsLock, i % 2 ? kCommLinkUp : kCommLinkDown, path);
            }
        });
    }
    for (auto& th : threads) th.join();

    const std::string text = Content(log.Path());
    const std::regex line(
        R"(\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] <Каналы связи\.K(\d)>: (Есть связь|Нет связи)\r\n)");
    int counts[kThreads] = {};
    size_t consumed = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it) {
        ASSERT_EQ(static_cast<size_t>(it->position()), consumed) << "torn or foreign bytes before a line";
        consumed += it->length();
        ++counts[std::stoi((*it)[1])];
    }
    EXPECT_EQ(consumed, text.size());
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(counts[t], kEvents) << t;
    }
}
