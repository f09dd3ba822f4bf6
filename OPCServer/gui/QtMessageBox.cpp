#include "gui/QtMessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <string>
#include <vector>

namespace {

struct Button {
    QMessageBox::StandardButton m_standard;
    int m_answer;
};

std::vector<Button> Buttons(unsigned flags)
{
    using B = QMessageBox;
    switch (flags & MB_TYPEMASK) {
        case MB_OKCANCEL:
            return {{B::Ok, IDOK}, {B::Cancel, IDCANCEL}};
        case MB_ABORTRETRYIGNORE:
            return {{B::Abort, IDABORT}, {B::Retry, IDRETRY}, {B::Ignore, IDIGNORE}};
        case MB_YESNOCANCEL:
            return {{B::Yes, IDYES}, {B::No, IDNO}, {B::Cancel, IDCANCEL}};
        case MB_YESNO:
            return {{B::Yes, IDYES}, {B::No, IDNO}};
        case MB_RETRYCANCEL:
            return {{B::Retry, IDRETRY}, {B::Cancel, IDCANCEL}};
        default:
            return {{B::Ok, IDOK}};
    }
}

QMessageBox::Icon BoxIcon(unsigned flags)
{
    switch (flags & MB_ICONMASK) {
        case MB_ICONERROR:
            return QMessageBox::Critical;
        case MB_ICONQUESTION:
            return QMessageBox::Question;
        case MB_ICONEXCLAMATION:
            return QMessageBox::Warning;
        case MB_ICONINFORMATION:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

// The Windows buttons' names, so the boxes read as the rest of the program.
QString ButtonText(QMessageBox::StandardButton button)
{
    switch (button) {
        case QMessageBox::Yes:
            return QStringLiteral("Да");
        case QMessageBox::No:
            return QStringLiteral("Нет");
        case QMessageBox::Cancel:
            return QStringLiteral("Отмена");
        case QMessageBox::Abort:
            return QStringLiteral("Прервать");
        case QMessageBox::Retry:
            return QStringLiteral("Повторить");
        case QMessageBox::Ignore:
            return QStringLiteral("Пропустить");
        default:
            return QStringLiteral("OK");
    }
}

int ShowOnGuiThread(const QString& text, const QString& caption, unsigned flags)
{
    QMessageBox box(BoxIcon(flags), caption, text, QMessageBox::NoButton, QApplication::activeWindow());
    const std::vector<Button> buttons = Buttons(flags);
    const size_t defaultIndex = (flags & MB_DEFMASK) >> 8;
    for (size_t i = 0; i < buttons.size(); ++i) {
        QPushButton* button = box.addButton(buttons[i].m_standard);
        button->setText(ButtonText(buttons[i].m_standard));
        if (i == (defaultIndex < buttons.size() ? defaultIndex : 0)) {
            box.setDefaultButton(button);
        }
    }
    const int chosen = box.exec();
    for (const Button& button : buttons) {
        if (button.m_standard == chosen) {
            return button.m_answer;
        }
    }
    // Closed without a button (Escape on a box without Cancel): the default.
    return DefaultButtonAnswer(flags);
}

}  // namespace

CQtMessageBox::CQtMessageBox() : m_pump(std::make_unique<QTimer>())
{
    // The asking thread calls nothing of Qt's: the GUI thread looks for
    // waiting boxes, as often as the progress window is redrawn.
    QObject::connect(m_pump.get(), &QTimer::timeout, [this] { ShowPending(); });
    m_pump->start(kPumpMs);
}

CQtMessageBox::~CQtMessageBox() = default;

void CQtMessageBox::ShowPending()
{
    for (;;) {
        std::packaged_task<int()> box;
        {
            std::lock_guard<std::mutex> guard(m_pendingLock);
            if (m_pending.empty()) {
                return;
            }
            box = std::move(m_pending.front());
            m_pending.pop_front();
        }
        box();
    }
}

int CQtMessageBox::Show(std::string_view text, std::string_view caption, unsigned flags)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        return DefaultButtonAnswer(flags);
    }
    if (QThread::currentThread() == app->thread()) {
        return ShowOnGuiThread(QString::fromUtf8(text.data(), qsizetype(text.size())),
                               QString::fromUtf8(caption.data(), qsizetype(caption.size())), flags);
    }
    std::packaged_task<int()> box([text = std::string(text), caption = std::string(caption), flags] {
        return ShowOnGuiThread(QString::fromStdString(text), QString::fromStdString(caption), flags);
    });
    std::future<int> answer = box.get_future();
    {
        std::lock_guard<std::mutex> guard(m_pendingLock);
        m_pending.push_back(std::move(box));
    }
    // The operator answers in their own time, as on the GUI thread.
    return answer.get();
}
