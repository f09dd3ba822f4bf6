// The main window's commands, flows and questions on the real widgets.
#include "config/ConfigurationFile.h"
#include "gui/DlgChannel.h"
#include "gui/DlgStats.h"
#include "gui/GuiFixture.h"
#include "gui/HelpWindow.h"
#include "gui/IpAddressEdit.h"
#include "gui/SpinEdit.h"
#include "platform/File.h"

#include <QAction>
#include <QCheckBox>
#include <QDesktopServices>
#include <QLineEdit>
#include <QTest>
#include <QTextBrowser>
#include <QTreeWidget>

namespace {

using Command = CMainFrame::Command;

const char kLimitText[] = "Добавлено максимально возможное количество приборов";
const char kEditRefused[] =
    "У OPC-сервера имеются активные подключения. Редактирование параметров заблокировано.";
const char kDeleteQuestion[] = "Вы действительно хотите удалить канал?";
const char kSaveQuestion[] = "Сохранить изменения в конфигурации?";

class MainFrameTest : public GuiTest {
   protected:
    std::vector<QString> TreeTexts()
    {
        std::vector<QString> texts;
        QTreeWidgetItem* top = Frame().Tree()->topLevelItem(0);
        texts.push_back(top->text(0));
        for (int i = 0; i < top->childCount(); ++i) {
            texts.push_back(top->child(i)->text(0));
        }
        return texts;
    }
    std::vector<std::pair<QString, QString>> ListRows()
    {
        std::vector<std::pair<QString, QString>> rows;
        for (int i = 0; i < Frame().List()->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* row = Frame().List()->topLevelItem(i);
            rows.emplace_back(row->text(0), row->text(1));
        }
        return rows;
    }
    bool Enabled(Command command) { return Frame().Action(command)->isEnabled(); }
    void Trigger(Command command) { Frame().Action(command)->trigger(); }
    // The editing commands as (save, add, edit, delete).
    std::vector<bool> EditingCommands()
    {
        return {Enabled(CMainFrame::kSave), Enabled(CMainFrame::kAddChannel),
                Enabled(CMainFrame::kEditChannel), Enabled(CMainFrame::kDeleteChannel)};
    }
};

TEST_F(MainFrameTest, EditingCommandsFollowSelectionChangesAndClients)
{
    StartChannel(Udp("Vireo-2_1", 0x0A000001, 6101));
    Frame();
    Select(-1);
    EXPECT_EQ(EditingCommands(), (std::vector<bool>{false, true, false, false}));
    Select(0);
    EXPECT_EQ(EditingCommands(), (std::vector<bool>{false, true, true, true}));
    m_boxes.Answer({IDYES});
    Trigger(CMainFrame::kDeleteChannel);  // a change: now Save is possible
    EXPECT_EQ(EditingCommands(), (std::vector<bool>{true, true, false, false}));

    // While clients are connected only editing is refused.
    ConnectClient();
    ASSERT_TRUE(Frame().ClientsConnected());
    EXPECT_EQ(EditingCommands(), (std::vector<bool>{false, false, false, false}));
    for (Command always :
         {CMainFrame::kOpenDataFolder, CMainFrame::kStatisticsSettings, CMainFrame::kStatisticsShow,
          CMainFrame::kStatisticsClear, CMainFrame::kHelp, CMainFrame::kAbout}) {
        EXPECT_TRUE(Enabled(always)) << int(always);
    }
    DisconnectClient();
    ASSERT_FALSE(Frame().ClientsConnected());
    EXPECT_EQ(EditingCommands(), (std::vector<bool>{true, true, false, false}));
}

TEST_F(MainFrameTest, TheTreeShowsTheRootAndChannelsAndTheListTheirProperties)
{
    PutChannel(Serial("Линия 1", 3));
    PutChannel(Tcp("Vireo-2_2", 0xC0A8000A));
    Frame();
    EXPECT_EQ(TreeTexts(), (std::vector<QString>{"Каналы связи", "Линия 1", "Vireo-2_2"}));
    // The tree opens a quarter of the width beside the list.
    const int tree = Frame().Tree()->width();
    EXPECT_NEAR(tree * 4, Frame().centralWidget()->width(), 4 * 8);
    EXPECT_EQ(ListRows(), (std::vector<std::pair<QString, QString>>{{"Количество каналов", "2"}}));
    Select(0);
    const auto rows = ListRows();
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0], std::make_pair(QString("Номер COM-порта"), QString("COM3")));
    EXPECT_EQ(rows[5].first, "Пауза перед запросом");

    // A double-click edits and never collapses the top item.
    Select(-1);
    QTreeWidgetItem* top = Frame().Tree()->topLevelItem(0);
    const QPoint centre = Frame().Tree()->visualItemRect(top).center();
    QTest::mouseDClick(Frame().Tree()->viewport(), Qt::LeftButton, {}, centre);
    EXPECT_TRUE(top->isExpanded());
}

TEST_F(MainFrameTest, AddingOffersTheNextDefaultsAndStartsTheChannel)
{
    PutChannel(Udp("Vireo-2_2", 0, 6001));  // the only channel carries the default name with 2
    Frame();
    CChannelForm offered;
    WhenModal<CDlgChannel>([&](CDlgChannel& dialog) {
        offered = dialog.Form();
        EXPECT_EQ(dialog.NameEdit()->text(), "Vireo-2_3");
        EXPECT_EQ(static_cast<CIpAddressEdit*>(dialog.Field(ChannelField::IpAddress))->Address(), 1u);
        EXPECT_EQ(static_cast<CSpinEdit*>(dialog.Field(ChannelField::LocalPort))->Value(), 6002);
        Type(dialog.Field(ChannelField::LocalPort), "6201");
        Click(&dialog, true);
    });
    Trigger(CMainFrame::kAddChannel);

    ASSERT_EQ(Root().ChannelCount(), 2u);
    CLevelChannel& added = *Root().ChannelAt(1);
    EXPECT_EQ(added.Kind(), kKindChannelUDP);
    EXPECT_EQ(added.GetName(), "Vireo-2_3");
    EXPECT_TRUE(added.HasThread());
    EXPECT_GT(added.TagCount() + added.LevelCount(), 0u);  // its item space is built
    EXPECT_EQ(Frame().Tree()->currentItem()->text(0), "Vireo-2_3");
    EXPECT_TRUE(Frame().Modified());
    EXPECT_TRUE(m_boxes.Boxes().empty());
}

TEST_F(MainFrameTest, AFirstChannelGetsAddressZeroAndLocalPort6001)
{
    Frame();
    WhenModal<CDlgChannel>([&](CDlgChannel& dialog) {
        EXPECT_EQ(dialog.NameEdit()->text(), "Vireo-2_1");
        const CUdpPage& page = std::get<CUdpPage>(dialog.Form().m_page);
        EXPECT_EQ(page.m_ipAddress, 0u);
        EXPECT_EQ(page.m_localPort, 6001);
        Click(&dialog, false);
    });
    Trigger(CMainFrame::kAddChannel);
    EXPECT_EQ(Root().ChannelCount(), 0u);
    EXPECT_FALSE(Frame().Modified());
}

TEST_F(MainFrameTest, The33rdChannelIsRefusedWithoutTheDialog)
{
    for (int i = 0; i < int(kMaxChannels); ++i) {
        PutChannel(Udp(("Vireo-2_" + std::to_string(i + 1)).c_str(), uint32_t(i), 6001 + i));
    }
    Frame();
    Trigger(CMainFrame::kAddChannel);  // no dialog opens: the call returns at once
    ASSERT_EQ(m_boxes.Boxes().size(), 1u);
    EXPECT_EQ(m_boxes.Boxes()[0].m_text, kLimitText);
    EXPECT_EQ(m_boxes.Boxes()[0].m_caption, "Внимание!");
    EXPECT_EQ(m_boxes.Boxes()[0].m_flags & MB_ICONMASK, MB_ICONEXCLAMATION);
    EXPECT_TRUE(Frame().findChildren<CDlgChannel*>().isEmpty());
    EXPECT_EQ(Root().ChannelCount(), size_t(kMaxChannels));
}

TEST_F(MainFrameTest, EditingRestartsOnlyThatChannel)
{
    CLevelChannel& first = StartChannel(Udp("Vireo-2_1", 0x0A000001, 6111));
    CLevelChannel& second = StartChannel(Tcp("Vireo-2_2", 0x0A000002));
    // The toolkit's trace tells which item spaces were withdrawn.
    SetDebugSettingsDA(App().DebugLogPath().c_str(), "DBG_DA_TOOL=1");
    Frame();
    Select(1);
    WhenModal<CDlgChannel>([&](CDlgChannel& dialog) {
        Type(dialog.NameEdit(), "Север");
        Type(dialog.Field(ChannelField::Attempts), "7");
        Click(&dialog, true);
    });
    QTest::mouseDClick(Frame().Tree()->viewport(), Qt::LeftButton, {},
                       Frame().Tree()->visualItemRect(Frame().Tree()->currentItem()).center());
    SetDebugSettingsDA(App().DebugLogPath().c_str(), "");

    std::string trace;
    ASSERT_TRUE(ReadFileText(App().DebugLogPath(), &trace));
    EXPECT_NE(trace.find("DeleteDAItem(Каналы связи.Vireo-2_2)"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("DeleteDAItem(Каналы связи.Vireo-2_1)"), std::string::npos) << trace;
    EXPECT_NE(Root().FindTag("Каналы связи.Север.MyPin.Write_Password"), nullptr);
    EXPECT_EQ(second.GetName(), "Север");
    EXPECT_EQ(second.Settings().m_attempts, 7);
    EXPECT_TRUE(second.HasThread());
    EXPECT_TRUE(first.HasThread());
    EXPECT_EQ(TreeTexts()[2], "Север");
    EXPECT_EQ(ListRows()[4], std::make_pair(QString("Количество попыток"), QString("7")));
    EXPECT_TRUE(Frame().Modified());
}

TEST_F(MainFrameTest, EditingIsRefusedWhileClientsAreConnected)
{
    PutChannel(Udp("Vireo-2_1", 1, 6001));
    Frame();
    ConnectClient();
    ASSERT_TRUE(Frame().ClientsConnected());
    Select(0);
    QTest::mouseDClick(Frame().Tree()->viewport(), Qt::LeftButton, {},
                       Frame().Tree()->visualItemRect(Frame().Tree()->currentItem()).center());
    EXPECT_EQ(m_boxes.Texts(), std::vector<std::string>{kEditRefused});
    EXPECT_TRUE(Frame().findChildren<CDlgChannel*>().isEmpty());
}

TEST_F(MainFrameTest, DeletingAsksFirst)
{
    StartChannel(Udp("Vireo-2_1", 1, 6121));
    Frame();
    Select(0);
    m_boxes.Answer({IDNO, IDYES});
    Trigger(CMainFrame::kDeleteChannel);
    EXPECT_EQ(Root().ChannelCount(), 1u);
    EXPECT_FALSE(Frame().Modified());
    Trigger(CMainFrame::kDeleteChannel);
    EXPECT_EQ(m_boxes.Texts(), (std::vector<std::string>{kDeleteQuestion, kDeleteQuestion}));
    EXPECT_EQ(m_boxes.Boxes()[0].m_flags, unsigned(MB_YESNO | MB_ICONEXCLAMATION));
    EXPECT_EQ(Root().ChannelCount(), 0u);
    EXPECT_EQ(TreeTexts(), std::vector<QString>{"Каналы связи"});
    EXPECT_TRUE(Frame().Modified());
}

TEST_F(MainFrameTest, SaveWritesTheFileAndReloadsIt)
{
    StartChannel(Udp("Юг", 2, 6131));
    StartChannel(Tcp("Vireo-2_2", 0x7F000001));
    Frame();
    Select(1);
    m_boxes.Answer({IDYES});
    Trigger(CMainFrame::kDeleteChannel);
    ASSERT_TRUE(Enabled(CMainFrame::kSave));
    Trigger(CMainFrame::kSave);

    const CConfigurationRead read = ReadConfigurationFile(App().ConfigurationPath(), false);
    ASSERT_TRUE(read.m_root);
    ASSERT_EQ(read.m_root->ChannelCount(), 1u);
    EXPECT_EQ(read.m_root->ChannelAt(0)->GetName(), "Юг");
    // The tree shows the reloaded channels, which run again.
    ASSERT_EQ(Root().ChannelCount(), 1u);
    EXPECT_TRUE(Root().ChannelAt(0)->HasThread());
    EXPECT_EQ(TreeTexts(), (std::vector<QString>{"Каналы связи", "Юг"}));
    Select(0);
    EXPECT_EQ(ListRows().size(), 8u);
    EXPECT_FALSE(Frame().Modified());
    EXPECT_FALSE(Enabled(CMainFrame::kSave));
}

TEST_F(MainFrameTest, ClosingAsksAndCancelKeepsTheWindowAndTheChanges)
{
    StartChannel(Udp("Vireo-2_1", 1, 6141));
    Frame();
    Select(0);
    m_boxes.Answer({IDYES});
    Trigger(CMainFrame::kDeleteChannel);
    m_boxes.Clear();

    m_boxes.Answer({IDCANCEL});
    EXPECT_FALSE(Frame().close());
    EXPECT_TRUE(Frame().isVisible());
    EXPECT_TRUE(Frame().Modified());
    EXPECT_EQ(m_boxes.Texts(), std::vector<std::string>{kSaveQuestion});
    EXPECT_EQ(m_boxes.Boxes()[0].m_flags, unsigned(MB_YESNOCANCEL | MB_ICONEXCLAMATION));
    EXPECT_FALSE(FileExists(App().ConfigurationPath()));

    // Connected clients are asked about first; No keeps the window.
    ConnectClient();
    ASSERT_TRUE(Frame().ClientsConnected());
    m_boxes.Clear();
    m_boxes.Answer({IDNO});
    EXPECT_FALSE(Frame().close());
    ASSERT_EQ(m_boxes.Texts().size(), 1u);
    EXPECT_EQ(m_boxes.Texts()[0].rfind("У OPC-сервера имеются подключенные OPC-клиенты.\n", 0), 0u);

    // Yes to both saves and closes.
    m_boxes.Answer({IDYES, IDYES});
    EXPECT_TRUE(Frame().close());
    EXPECT_TRUE(FileExists(App().ConfigurationPath()));
}

TEST_F(MainFrameTest, TheHelpWindowIsRaisedWhenOpenAndClosedWithTheWindow)
{
    Trigger(CMainFrame::kHelp);
    QWidget* help = FindHelpWindow();
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->windowTitle(), "OpcVireo2.chm");
    EXPECT_TRUE(help->findChild<QTextBrowser*>() != nullptr);
    help->showMinimized();
    Trigger(CMainFrame::kHelp);
    EXPECT_EQ(FindHelpWindow(), help);
    EXPECT_FALSE(help->isMinimized());

    EXPECT_TRUE(Frame().close());
    EXPECT_EQ(FindHelpWindow(), nullptr);
}

TEST_F(MainFrameTest, StatisticsCommandsOpenClearAndSetTheLog)
{
    CDesktopRecorder desktop;
    QDesktopServices::setUrlHandler("file", &desktop, "Open");
    Trigger(CMainFrame::kStatisticsShow);
    Trigger(CMainFrame::kOpenDataFolder);
    QDesktopServices::unsetUrlHandler("file");
    EXPECT_EQ(desktop.m_opened, (std::vector<QString>{QString::fromStdString(App().StatisticsPath()),
                                                      QString::fromStdString(App().DataFolder())}));

    ASSERT_TRUE(App().StatisticsLog()->WriteLine("line"));
    Trigger(CMainFrame::kStatisticsClear);
    EXPECT_FALSE(FileExists(App().StatisticsPath()));

    // Cancel changes nothing; OK stores what changed and marks the configuration.
    WhenModal<CDlgStats>([](CDlgStats& dialog) {
        dialog.EnabledBox()->click();
        Click(&dialog, false);
    });
    Trigger(CMainFrame::kStatisticsSettings);
    EXPECT_EQ(Root().StatisticsEnabled(), 1u);
    EXPECT_FALSE(Frame().Modified());
    WhenModal<CDlgStats>([](CDlgStats& dialog) {
        Type(dialog.SizeEdit(), "250");
        Click(&dialog, true);
    });
    Trigger(CMainFrame::kStatisticsSettings);
    EXPECT_EQ(Root().StatisticsSizeLimit(), 250u);
    EXPECT_EQ(Root().StatisticsEnabled(), 1u);
    EXPECT_TRUE(Frame().Modified());
}

}  // namespace
