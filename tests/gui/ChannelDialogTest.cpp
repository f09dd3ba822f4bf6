// The channel dialog on its own: every refusal of OK with its message and
// the field at fault, and what the dialog hands back for each kind.
#include "gui/ChannelPage.h"
#include "gui/DlgChannel.h"
#include "gui/DlgPAS.h"
#include "gui/GuiFixture.h"
#include "gui/SpinEdit.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <optional>

namespace {

struct Refusal {
    const char* m_name;
    std::vector<CChannelForm> m_others;
    std::optional<CChannelForm> m_edited;  // none: a new channel
    ChannelField m_field;                  // typed into, and expected to get the focus
    QString m_typed;
    const char* m_text;
    bool m_error;  // "Ошибка" with the stop icon, else "Внимание!" with the exclamation mark
};

const Refusal kRefusals[] = {
    {"DotInName",
     {},
     std::nullopt,
     ChannelField::Name,
     "Линия.1",
     "Имя содержит запрещенный символ '.'",
     false},
    {"NameDiffersOnlyInCase",
     {Udp("Линия-Север", 1, 6001)},
     std::nullopt,
     ChannelField::Name,
     "ЛИНИЯ-север",
     "Канал с указанным именем уже существует",
     true},
    {"NameTooLong",
     {},
     std::nullopt,
     ChannelField::Name,
     QString(65, 'n'),
     "Введите не более 64 символов.",
     false},
    {"SameComPort",
     {Serial("A", 3)},
     Serial("B", 4),
     ChannelField::PortNumber,
     "3",
     "Канал с указанным номером COM-порта уже существует",
     true},
    {"SameTcpAddressOtherPort",
     {Tcp("A", 0xC0A8000A, 502)},
     Tcp("B", 0xC0A8000B, 503),
     ChannelField::IpAddress,
     "192.168.0.10",
     "Задан уже используемый IP-адрес",
     false},
    {"SameUdpAddress",
     {Udp("A", 0x0A000001, 6001)},
     std::nullopt,
     ChannelField::IpAddress,
     "10.0.0.1",
     "Задан уже используемый IP-адрес",
     false},
    {"SameUdpLocalPort",
     {Udp("A", 0x0A000001, 6001)},
     std::nullopt,
     ChannelField::LocalPort,
     "6001",
     "Заданный локальный порт уже используется",
     false},
    {"AttemptsOutOfRange",
     {},
     std::nullopt,
     ChannelField::Attempts,
     "0",
     "Введите целое число от 1 до 20.",
     false},
    {"EmptyPause", {}, std::nullopt, ChannelField::Pause, "", "Введите целое число от 0 до 10000.", false},
    {"SerialTimeoutAboveItsRange",
     {},
     Serial("A", 1),
     ChannelField::ResponseTimeout,
     "40000",
     "Введите целое число от 50 до 30000.",
     false},
};

class RefusalTest : public GuiTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, OkShowsTheMessageAndFocusesTheFieldAtFault)
{
    const Refusal& c = GetParam();
    for (const CChannelForm& other : c.m_others) {
        PutChannel(other);
    }
    const CLevelChannel* edited = c.m_edited ? &PutChannel(*c.m_edited) : nullptr;
    CDlgChannel dialog(Root(), edited);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    QWidget* field = dialog.Field(c.m_field);
    ASSERT_NE(field, nullptr);
    Type(field, c.m_typed);
    dialog.Tabs()->setCurrentIndex(1);  // the refusal brings the page back
    Click(&dialog, true);

    const auto boxes = m_boxes.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].m_text, c.m_text);
    EXPECT_EQ(boxes[0].m_caption, c.m_error ? "Ошибка" : "Внимание!");
    EXPECT_EQ(boxes[0].m_flags, unsigned(MB_OK | (c.m_error ? MB_ICONERROR : MB_ICONEXCLAMATION)));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    QWidget* focused = QApplication::focusWidget();
    ASSERT_NE(focused, nullptr);
    EXPECT_TRUE(focused == field || field->isAncestorOf(focused)) << focused->metaObject()->className();
    if (auto* edit = qobject_cast<QLineEdit*>(focused)) {
        EXPECT_EQ(edit->selectedText(), edit->text());
    }
    if (c.m_field != ChannelField::Name) {
        EXPECT_EQ(dialog.Tabs()->currentIndex(), 0);
    }
    // Nothing reached a channel.
    if (edited != nullptr) {
        EXPECT_EQ(ChannelFormOf(*edited), *c.m_edited);
    }
}

INSTANTIATE_TEST_SUITE_P(Dialog, RefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.m_name); });

class ChannelDialogTest : public GuiTest {};

TEST_F(ChannelDialogTest, AnExistingChannelComesBackUnchangedForEveryKind)
{
    CChannelForm serial = Serial("Линия 1", 12);
    std::get<CSerialPage>(serial.m_page).m_baudRate = 76800;
    std::get<CSerialPage>(serial.m_page).m_parity = 2;
    CChannelForm tcp = Tcp("Линия 2", 0xC0A80105, 1502);
    std::get<CTcpPage>(tcp.m_page).m_key = "ключ-16-символов";
    std::get<CTcpPage>(tcp.m_page).m_pollPeriod = 250;
    CChannelForm udp = Udp("Линия 3", 0x7F000001, 6010, 5010);
    udp.m_pasModels[0] = 1;
    udp.m_pasModels[23] = 1;
    for (const CChannelForm& form : {serial, tcp, udp}) {
        CLevelChannel& channel = PutChannel(form);
        CDlgChannel dialog(Root(), &channel);
        dialog.show();
        Click(&dialog, true);
        EXPECT_EQ(dialog.result(), QDialog::Accepted) << form.m_name;
        EXPECT_EQ(dialog.Form(), ChannelFormOf(channel)) << form.m_name;
        EXPECT_TRUE(m_boxes.Boxes().empty());
    }
}

TEST_F(ChannelDialogTest, TabsListsAndLimits)
{
    CLevelChannel& channel = PutChannel(Serial("A", 1));
    CDlgChannel dialog(Root(), &channel);
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), "Параметры канала");
    ASSERT_EQ(dialog.Tabs()->count(), 2);
    EXPECT_EQ(dialog.Tabs()->tabText(0), "Связь");
    EXPECT_EQ(dialog.Tabs()->tabText(1), "ПАС/ПАС300");

    auto* baud = qobject_cast<QComboBox*>(dialog.Field(ChannelField::BaudRate));
    ASSERT_NE(baud, nullptr);
    EXPECT_NE(baud->findText("76800"), -1);
    EXPECT_EQ(baud->findText("115200"), -1);
    EXPECT_EQ(baud->currentText(), "9600");
    auto* parity = qobject_cast<QComboBox*>(dialog.Field(ChannelField::Parity));
    ASSERT_NE(parity, nullptr);
    EXPECT_EQ(parity->itemText(2), "Нечетный");

    // A PAS unit changed on the second tab reaches the form; the others stay.
    QTest::keyClick(dialog.PasPage()->Unit(4), Qt::Key_Down);
    dialog.Tabs()->setCurrentIndex(1);
    Click(&dialog, true);
    EXPECT_EQ(dialog.Form().m_pasModels[4], 1u);
    EXPECT_EQ(dialog.Form().m_pasModels[3], 0u);

    // The port field takes four digits at most; the spin stays inside its own range.
    CDlgChannel again(Root(), &channel);
    again.show();
    Type(again.Field(ChannelField::PortNumber), "123456");
    auto* port = static_cast<CSpinEdit*>(again.Field(ChannelField::PortNumber));
    EXPECT_EQ(port->Value(), 1234);
    Type(port, "999");
    port->stepBy(5);
    EXPECT_EQ(port->Value(), 1000);
    auto* timeout = static_cast<CSpinEdit*>(again.Field(ChannelField::ResponseTimeout));
    Type(timeout, "200");
    timeout->stepBy(-1);
    EXPECT_EQ(timeout->Value(), 150);  // 50 at a time, while the button is held for less than 2 s
}

TEST_F(ChannelDialogTest, TwoUdpChannelsMayShareTheRemotePort)
{
    PutChannel(Udp("A", 0x0A000001, 6001, 5001));
    CDlgChannel dialog(Root(), nullptr);
    dialog.show();
    Click(&dialog, true);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(std::get<CUdpPage>(dialog.Form().m_page).m_remotePort, 5001);
}

}  // namespace
