#include "platform/MessageBox.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

// What a stream received.
class CCapture {
   public:
    CCapture() : m_stream(open_memstream(&m_buffer, &m_size)) {}
    ~CCapture()
    {
        if (m_stream != nullptr) std::fclose(m_stream);
        std::free(m_buffer);
    }
    std::FILE* Stream() const { return m_stream; }
    std::string Text()
    {
        std::fflush(m_stream);
        return std::string(m_buffer, m_size);
    }

   private:
    char* m_buffer = nullptr;
    std::size_t m_size = 0;
    std::FILE* m_stream;
};

class CRecordingBox : public IMessageBox {
   public:
    int Show(std::string_view text, std::string_view caption, unsigned flags) override
    {
        m_text = std::string(text);
        m_caption = std::string(caption);
        m_flags = flags;
        return IDNO;
    }
    std::string m_text;
    std::string m_caption;
    unsigned m_flags = 0;
};

}  // namespace

TEST(MessageBox, DefaultButtonOfEveryKindOfBox)
{
    EXPECT_EQ(DefaultButtonAnswer(MB_OK), IDOK);
    EXPECT_EQ(DefaultButtonAnswer(MB_OK | MB_ICONERROR), IDOK);
    EXPECT_EQ(DefaultButtonAnswer(MB_OKCANCEL), IDOK);
    EXPECT_EQ(DefaultButtonAnswer(MB_OKCANCEL | MB_DEFBUTTON2), IDCANCEL);
    EXPECT_EQ(DefaultButtonAnswer(MB_YESNO | MB_ICONQUESTION), IDYES);
    EXPECT_EQ(DefaultButtonAnswer(MB_YESNO | MB_DEFBUTTON2), IDNO);
    EXPECT_EQ(DefaultButtonAnswer(MB_YESNOCANCEL | MB_DEFBUTTON3), IDCANCEL);
    EXPECT_EQ(DefaultButtonAnswer(MB_ABORTRETRYIGNORE | MB_DEFBUTTON2), IDRETRY);
    EXPECT_EQ(DefaultButtonAnswer(MB_RETRYCANCEL), IDRETRY);
    EXPECT_EQ(DefaultButtonAnswer(MB_CANCELTRYCONTINUE | MB_DEFBUTTON3), IDCONTINUE);
    EXPECT_EQ(DefaultButtonAnswer(MB_YESNO | MB_DEFBUTTON3), IDYES) << "no third button: the first";
    EXPECT_EQ(DefaultButtonAnswer(MB_OK | MB_DEFBUTTON4), IDOK);
}

TEST(MessageBox, ConsoleBoxWritesCaptionAndTextAndAnswersTheDefault)
{
    CCapture capture;
    CConsoleMessageBox box(capture.Stream());
    EXPECT_EQ(box.Show("Файл конфигурации испорчен", "Ошибка", MB_OK | MB_ICONERROR), IDOK);
    EXPECT_EQ(box.Show("Сохранить?", "Внимание!", MB_YESNO | MB_DEFBUTTON2 | MB_ICONEXCLAMATION), IDNO);
    EXPECT_EQ(capture.Text(), "Ошибка: Файл конфигурации испорчен\nВнимание!: Сохранить?\n");
}

TEST(MessageBox, LogHookGetsEveryConsoleLine)
{
    std::vector<std::string> lines;
    SetMessageBoxLog([&](const std::string& line) { lines.push_back(line); });
    CCapture capture;
    CConsoleMessageBox box(capture.Stream());
    box.Show("one", "A", MB_OK);
    box.Show("two", "B", MB_OK);
    SetMessageBoxLog(nullptr);
    box.Show("three", "C", MB_OK);
    EXPECT_EQ(lines, (std::vector<std::string>{"A: one", "B: two"}));
    EXPECT_EQ(capture.Text(), "A: one\nB: two\nC: three\n");
}

TEST(MessageBox, InstalledBoxReplacesTheConsoleAndCanBeRemoved)
{
    CRecordingBox gui;
    IMessageBox* previous = SetMessageBox(&gui);
    ASSERT_NE(previous, nullptr);
    EXPECT_EQ(ShowMessageBox(u"Нет связи", u"Внимание!", MB_YESNO | MB_ICONWARNING), IDNO);
    EXPECT_EQ(gui.m_text, "Нет связи");
    EXPECT_EQ(gui.m_caption, "Внимание!");
    EXPECT_EQ(gui.m_flags, MB_YESNO | MB_ICONWARNING);
    EXPECT_EQ(SetMessageBox(nullptr), &gui);

    // Back to the console box, which answers the default button.
    std::vector<std::string> lines;
    SetMessageBoxLog([&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(ShowMessageBox("text", "caption", MB_OKCANCEL | MB_DEFBUTTON2), IDCANCEL);
    SetMessageBoxLog(nullptr);
    EXPECT_EQ(lines, std::vector<std::string>{"caption: text"});
    EXPECT_EQ(gui.m_text, "Нет связи") << "the removed box saw nothing more";
}

TEST(MessageBox, BoxesFromSeveralThreads)
{
    std::atomic<int> logged{0};
    SetMessageBoxLog([&](const std::string&) { logged.fetch_add(1); });
    CCapture capture;
    CConsoleMessageBox box(capture.Stream());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) EXPECT_EQ(box.Show("x", "y", MB_OK), IDOK);
        });
    }
    for (auto& t : threads) t.join();
    SetMessageBoxLog(nullptr);
    EXPECT_EQ(logged.load(), 200);
}
