#include "gui/GuiFixture.h"

#include "app/LogFile.h"
#include "config/ChannelEditing.h"
#include "transports/ChannelFactory.h"

#include <QAbstractSpinBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

namespace {

constexpr CLSID kClsid = {0x5D1E8A42, 0x7C3B, 0x4F06, {0x9A, 0x2D, 0x1B, 0x8E, 0x6F, 0x0C, 0x4A, 0x37}};

}  // namespace

CChannelForm Serial(const char* name, int64_t port)
{
    CSerialPage page;
    page.m_portNumber = port;
    return {name, {}, page};
}

CChannelForm Tcp(const char* name, uint32_t address, int64_t port)
{
    CTcpPage page;
    page.m_ipAddress = address;
    page.m_port = port;
    return {name, {}, page};
}

CChannelForm Udp(const char* name, uint32_t address, int64_t localPort, int64_t remotePort)
{
    CUdpPage page;
    page.m_ipAddress = address;
    page.m_localPort = localPort;
    page.m_remotePort = remotePort;
    return {name, {}, page};
}

void GuiTest::SetUp()
{
    CSingleVectors::ResetInstance();
    CSingleVectors& app = CSingleVectors::Instance();
    app.SetDataFolder(m_folder.Path());
    app.SetStatisticsLog(std::make_unique<CLogFile>(app.StatisticsPath(), 5000, 1));
    app.CreateDebugLog();
}

void GuiTest::TearDown()
{
    for (QObject* timer : m_timers.children()) {
        delete timer;
    }
    if (m_frame) {
        m_frame->CloseDirect();
        m_frame.reset();
    }
    for (QWidget* window : QApplication::topLevelWidgets()) {
        window->close();
    }
    if (m_serverStarted) {
        m_client.Disconnect();
        StopDAServer();
        SetCallbackObject(nullptr);
    }
    CSingleVectors::ResetInstance();
}

CLevelChannel& GuiTest::PutChannel(const CChannelForm& form)
{
    std::unique_ptr<CLevelChannel> channel = CreateChannel(form.Kind());
    ApplyChannelForm(form, *channel);
    CLevelChannel& ref = *channel;
    Root().AddLevel(std::move(channel));
    return ref;
}

CLevelChannel& GuiTest::StartChannel(const CChannelForm& form)
{
    CLevelChannel* channel = ::AddChannel(App(), form);
    EXPECT_NE(channel, nullptr);
    return *channel;
}

CMainFrame& GuiTest::Frame()
{
    if (!m_frame) {
        m_frame = std::make_unique<CMainFrame>(App());
        m_frame->FillTree();
        m_frame->show();
        EXPECT_TRUE(QTest::qWaitForWindowActive(m_frame.get()));
    }
    return *m_frame;
}

void GuiTest::Select(int index)
{
    QTreeWidgetItem* top = Frame().Tree()->topLevelItem(0);
    Frame().Tree()->setCurrentItem(index < 0 ? top : top->child(index));
}

void GuiTest::Watch(QWidget* window)
{
    QPointer<QWidget> watched(window);
    QTimer::singleShot(kWaitMs, &m_timers, [watched] {
        if (watched && watched->isVisible()) {
            ADD_FAILURE() << "a modal window stayed open: " << watched->objectName().toStdString();
            if (auto* dialog = qobject_cast<QDialog*>(watched.data())) {
                dialog->reject();
            }
        }
    });
}

void GuiTest::Type(QWidget* field, const QString& text)
{
    QLineEdit* edit = qobject_cast<QLineEdit*>(field);
    if (edit == nullptr) {
        edit = field->findChild<QLineEdit*>();
    }
    ASSERT_NE(edit, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowActive(field->window()));
    // A spin box's line edit hands its focus to the spin box.
    QWidget* keys = edit->focusProxy() != nullptr ? edit->focusProxy() : edit;
    keys->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([keys] { return QApplication::focusWidget() == keys; }, kWaitMs));
    edit->selectAll();
    QTest::keyClick(keys, Qt::Key_Delete);
    for (const QChar c : text) {
        // Keys go where the focus is: a field may hand it on (the address's parts).
        QWidget* target = QApplication::focusWidget() != nullptr ? QApplication::focusWidget() : keys;
        if (c.unicode() < 0x80) {
            QTest::keyClick(target, char(c.unicode()));
        } else {
            // QTest maps only ASCII to keys; other letters arrive as text.
            QTest::sendKeyEvent(QTest::Click, target, Qt::Key_unknown, QString(c), Qt::NoModifier);
        }
    }
}

void GuiTest::Click(QWidget* dialog, bool ok)
{
    auto* buttons = dialog->findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    QTest::mouseClick(buttons->button(ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel), Qt::LeftButton);
}

void GuiTest::ConnectClient()
{
    if (!m_serverStarted) {
        ASSERT_EQ(SetCallbackObject(&App().DACallback()), S_OK);
        ASSERT_TRUE(StartDAServer(nullptr, &kClsid));
        m_serverStarted = true;
    }
    ASSERT_EQ(m_client.Connect("gui test"), S_OK);
    Frame().SetClientsConnected(DAServerInUse());
}

void GuiTest::DisconnectClient()
{
    m_client.Disconnect();
    Frame().SetClientsConnected(DAServerInUse());
}
