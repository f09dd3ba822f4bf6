#include "platform/MessageBox.h"

#include "platform/Text.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace {

std::atomic<IMessageBox*> g_box{nullptr};
std::mutex g_logLock;
MessageBoxLog g_log;

CConsoleMessageBox& ConsoleBox()
{
    static CConsoleMessageBox box;
    return box;
}

}  // namespace

int DefaultButtonAnswer(unsigned flags)
{
    static constexpr int kButtons[][3] = {
        {IDOK, 0, 0},                        // MB_OK
        {IDOK, IDCANCEL, 0},                 // MB_OKCANCEL
        {IDABORT, IDRETRY, IDIGNORE},        // MB_ABORTRETRYIGNORE
        {IDYES, IDNO, IDCANCEL},             // MB_YESNOCANCEL
        {IDYES, IDNO, 0},                    // MB_YESNO
        {IDRETRY, IDCANCEL, 0},              // MB_RETRYCANCEL
        {IDCANCEL, IDTRYAGAIN, IDCONTINUE},  // MB_CANCELTRYCONTINUE
    };
    const unsigned type = flags & MB_TYPEMASK;
    if (type >= sizeof(kButtons) / sizeof(kButtons[0])) {
        return IDOK;
    }
    const unsigned index = (flags & MB_DEFMASK) >> 8;
    if (index < 3 && kButtons[type][index] != 0) {
        return kButtons[type][index];
    }
    return kButtons[type][0];
}

int CConsoleMessageBox::Show(std::string_view text, std::string_view caption, unsigned flags)
{
    std::string line(caption);
    line += ": ";
    line += text;
    if (m_stream != nullptr) {
        std::fprintf(m_stream, "%s\n", line.c_str());
        std::fflush(m_stream);
    }
    MessageBoxLog log;
    {
        std::lock_guard<std::mutex> guard(g_logLock);
        log = g_log;
    }
    if (log) {
        log(line);  // outside the lock: the log may take locks of its own
    }
    return DefaultButtonAnswer(flags);
}

IMessageBox* SetMessageBox(IMessageBox* box)
{
    IMessageBox* previous = g_box.exchange(box);
    return previous != nullptr ? previous : &ConsoleBox();
}

void SetMessageBoxLog(MessageBoxLog log)
{
    std::lock_guard<std::mutex> guard(g_logLock);
    g_log = std::move(log);
}

int ShowMessageBox(std::string_view text, std::string_view caption, unsigned flags)
{
    IMessageBox* box = g_box.load();
    return (box != nullptr ? box : &ConsoleBox())->Show(text, caption, flags);
}

int ShowMessageBox(std::u16string_view text, std::u16string_view caption, unsigned flags)
{
    return ShowMessageBox(std::string_view(Utf16ToUtf8(text)), std::string_view(Utf16ToUtf8(caption)), flags);
}
