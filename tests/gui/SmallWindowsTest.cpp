// The thread wrapper, the progress window, the Qt message box, the
// statistics settings and the About box's checksum.
#include "gui/AboutChecksum.h"
#include "gui/AboutDlg.h"
#include "gui/DlgStats.h"
#include "gui/GuiFixture.h"
#include "gui/ProgressWindow.h"
#include "gui/QtMessageBox.h"
#include "gui/SpinEdit.h"
#include "gui/Thread.h"
#include "platform/File.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <atomic>

namespace {

TEST(Thread, StartStopAndRestart)
{
    CThread thread;
    thread.Stop();  // never started: nothing happens
    EXPECT_FALSE(thread.Running());

    std::atomic<int> turns{0};
    auto loop = [&turns](CThread::Flags flags) {
        EXPECT_EQ(flags.m_running.load(), 1);
        while (flags.m_stopRequest.load() == 0) {
            ++turns;
            std::this_thread::yield();
        }
    };
    ASSERT_TRUE(thread.Start(loop));
    EXPECT_TRUE(thread.Running());
    ASSERT_TRUE(QTest::qWaitFor([&] { return turns.load() > 0; }, 5000));
    // Starting again stops the running one first and clears the stop request.
    ASSERT_TRUE(thread.Start(loop));
    EXPECT_FALSE(thread.StopRequested());
    thread.Stop();
    EXPECT_TRUE(thread.StopRequested());
    EXPECT_FALSE(thread.Running());

    // A routine that returns by itself leaves running at 0.
    ASSERT_TRUE(thread.Start([](CThread::Flags) {}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !thread.Running(); }, 5000));
}

class ProgressTest : public GuiTest {};

TEST_F(ProgressTest, TheOperationRunsOnAWorkerWhileTheWindowCannotBeDismissed)
{
    Frame();
    std::atomic<bool> release{false};
    std::atomic<bool> onWorker{false};
    bool stayed = false;
    QTimer::singleShot(0, [&] {
        auto* window = qobject_cast<CDlgProgress*>(QApplication::activeModalWidget());
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(window->windowTitle(), "Сохранение конфигурации");
        QTest::keyClick(window, Qt::Key_Escape);
        window->close();
        stayed = window->isVisible();
        release = true;
    });
    RunWithProgress(
        "Сохранение конфигурации",
        [&] {
            onWorker = QThread::currentThread() != QApplication::instance()->thread();
            // The GUI thread keeps serving events meanwhile: the timer above runs.
            EXPECT_TRUE(QTest::qWaitFor([&] { return release.load(); }, 5000));
        },
        &Frame());
    EXPECT_TRUE(onWorker);
    EXPECT_TRUE(stayed);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(ProgressTest, AQtBoxAskedForOnAWorkerIsShownOnTheGuiThread)
{
    CQtMessageBox qtBox;
    CScopedMessageBox scope(&qtBox);
    QString shownText;
    QMessageBox::Icon shownIcon = QMessageBox::NoIcon;
    QStringList buttons;
    WhenModal<QMessageBox>([&](QMessageBox& box) {
        shownText = box.text();
        shownIcon = box.icon();
        for (QAbstractButton* button : box.buttons()) {
            buttons << button->text();
        }
        EXPECT_EQ(box.windowTitle(), "Внимание!");
        EXPECT_EQ(box.defaultButton()->text(), "Нет");
        box.button(QMessageBox::Cancel)->click();
    });
    int answer = 0;
    RunWithProgress(
        "Удаление",
        [&] {
            answer =
                ShowMessageBox("Вопрос?", "Внимание!", MB_YESNOCANCEL | MB_ICONEXCLAMATION | MB_DEFBUTTON2);
        },
        nullptr);
    EXPECT_EQ(answer, IDCANCEL);
    EXPECT_EQ(shownText, "Вопрос?");
    EXPECT_EQ(shownIcon, QMessageBox::Warning);
    buttons.sort();
    EXPECT_EQ(buttons, (QStringList{"Да", "Нет", "Отмена"}));
}

class StatsDialogTest : public GuiTest {};

TEST_F(StatsDialogTest, TheSizeFollowsTheCheckBoxAndIsCheckedOnOk)
{
    CDlgStats dialog(0, 5000, nullptr);
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), "Настройка статистики");
    EXPECT_FALSE(dialog.SizeEdit()->isEnabled());
    dialog.EnabledBox()->click();
    EXPECT_TRUE(dialog.SizeEdit()->isEnabled());

    Type(dialog.SizeEdit(), "99");
    Click(&dialog, true);
    EXPECT_EQ(m_boxes.Texts(), std::vector<std::string>{"Введите целое число от 100 до 60000."});
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(QApplication::focusWidget(), dialog.SizeEdit());

    Type(dialog.SizeEdit(), "123456");  // five digits at most
    dialog.SizeEdit()->stepBy(1);       // 100 at a time, within 100..60000
    EXPECT_EQ(dialog.SizeEdit()->Value(), 12445);
    Click(&dialog, true);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.Enabled(), 1u);
    EXPECT_EQ(dialog.SizeKb(), 12445u);
}

TEST(AboutChecksum, DigestsOfTheFilesInOrderWithZerosForMissingOnes)
{
    CTempFolder folder;
    const std::string abc = folder.File("abc");
    ASSERT_TRUE(WriteFileText(abc, "abc"));
    const std::string missing = folder.File("missing");
    // MD5 of 16 zero bytes, of MD5("abc"), of MD5("abc") and 16 zeros, of MD5("abc") twice.
    EXPECT_EQ(ChecksumText({missing}), "0x4ae71336e44bf9bf79d2752e234818a5");
    EXPECT_EQ(ChecksumText({abc}), "0xaf5da9f45af7a300e3aded972f8ff687");
    EXPECT_EQ(ChecksumText({abc, missing}), "0xef0a51fead2942769693952b5c34106e");
    EXPECT_EQ(ChecksumText({abc, abc}), "0x043a916d6cfeecedf5e04f0312ba762d");
}

TEST(AboutChecksum, TheRegisteredServerFollowsTheToolkitLibrary)
{
    CTempFolder folder;
    CRegistry registry(folder.File("registry"));
    const char clsid[] = "{5D1E8A42-7C3B-4F06-9A2D-1B8E6F0C4A37}";
    const std::string key = std::string("CLSID\\") + clsid + "\\LocalServer32";
    const std::string library = "/opt/x/libZellDAServer.so";
    EXPECT_EQ(ChecksumFiles("/opt/x", registry, clsid), std::vector<std::string>{library});
    ASSERT_TRUE(registry.SetValue(key, "", "/usr/bin/OpcVireo2"));
    EXPECT_EQ(ChecksumFiles("/opt/x", registry, clsid),
              (std::vector<std::string>{library, "/usr/bin/OpcVireo2"}));
    // A key whose value cannot be read lists the library twice.
    ASSERT_TRUE(registry.SetValue(key, "", std::string(kLocalServerValueMaxBytes + 1, 'x')));
    EXPECT_EQ(ChecksumFiles("/opt/x", registry, clsid), (std::vector<std::string>{library, library}));
    ASSERT_TRUE(registry.DeleteValue(key, ""));
    EXPECT_EQ(ChecksumFiles("/opt/x", registry, clsid), (std::vector<std::string>{library, library}));
}

TEST_F(StatsDialogTest, TheAboutBoxShowsTitleVersionAndChecksum)
{
    CAboutDlg dialog("0x4ae71336e44bf9bf79d2752e234818a5");
    dialog.show();
    EXPECT_EQ(dialog.ChecksumEdit()->text(), "0x4ae71336e44bf9bf79d2752e234818a5");
    EXPECT_TRUE(dialog.ChecksumEdit()->isReadOnly());
    QStringList texts;
    for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        texts << label->text();
    }
    EXPECT_TRUE(texts.contains("OPC-сервер комлекта Вирео-2 версии 300"));
    EXPECT_TRUE(texts.contains("Версия: 1.0"));
    EXPECT_TRUE(texts.contains("Контрольная сумма:"));
}

}  // namespace
