#include "gui/MainFrame.h"

#include "app/ServerIdentity.h"
#include "app/SingleVectors.h"
#include "config/ChannelEditing.h"
#include "config/ConfigurationFile.h"
#include "config/LevelRoot.h"
#include "gui/AboutChecksum.h"
#include "gui/AboutDlg.h"
#include "gui/DlgChannel.h"
#include "gui/DlgStats.h"
#include "gui/HelpWindow.h"
#include "gui/Icons.h"
#include "gui/ProgressWindow.h"
#include "gui/TreeCtrlX.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"

#include <QAction>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QShowEvent>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>
#include <QUrl>
#include <string>

namespace {

const char* const kEditRefused =
    "У OPC-сервера имеются активные подключения. Редактирование параметров заблокировано.";
const char* const kDeleteQuestion = "Вы действительно хотите удалить канал?";
const char* const kClientsQuestion =
    "У OPC-сервера имеются подключенные OPC-клиенты.\nЗакрытие данного окна приведёт к их отключению.\n"
    "Продолжить?";
const char* const kSaveQuestion = "Сохранить изменения в конфигурации?";

int Ask(const char* text, unsigned buttons)
{
    return ShowMessageBox(text, kWarningCaption, buttons | MB_ICONEXCLAMATION);
}

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

void OpenWithDesktop(const std::string& path)
{
    (void)QDesktopServices::openUrl(QUrl::fromLocalFile(Text(path)));
}

}  // namespace

CMainFrame::CMainFrame(CSingleVectors& app, QWidget* parent)
    : QMainWindow(parent),
      m_app(app),
      m_tree(new CTreeCtrlX),
      m_list(new QTreeWidget),
      m_splitter(new QSplitter(Qt::Horizontal))
{
    setObjectName("CMainFrame");
    setWindowTitle(QStringLiteral("OpcVireo2"));
    setWindowIcon(Icon(GuiIcon::Application));
    setMinimumSize(600, 350);
    CreateMenus();
    CreateToolBar();
    auto* pane = new QLabel(this);
    pane->setMinimumWidth(300);
    statusBar()->addWidget(pane);

    m_tree->setObjectName("tree");
    m_tree->setHeaderHidden(true);
    m_tree->setRootIsDecorated(true);
    m_tree->setSelectionMode(QAbstractItemView::SingleSelection);
    m_rootItem = new QTreeWidgetItem(m_tree, {QStringLiteral("Конфигурация")});
    m_rootItem->setIcon(0, Icon(GuiIcon::Root));

    m_list->setObjectName("list");
    m_list->setColumnCount(2);
    m_list->setHeaderLabels({QStringLiteral("Параметр"), QStringLiteral("Значение")});
    m_list->headerItem()->setTextAlignment(1, Qt::AlignCenter);
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setColumnWidth(0, 150);
    m_list->setColumnWidth(1, 200);
    m_list->header()->setStretchLastSection(false);

    m_splitter->addWidget(m_tree);
    m_splitter->addWidget(m_list);
    // The tree keeps its width when the window is resized; showEvent gives it its first.
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    setCentralWidget(m_splitter);
    setFocusProxy(m_tree);

    connect(m_tree, &QTreeWidget::currentItemChanged, this, [this] {
        FillList();
        UpdateCommands();
    });
    connect(m_tree, &CTreeCtrlX::DoubleClicked, this, [this] { EditChannel(); });
    resize(800, 600);
    UpdateCommands();
}

CMainFrame::~CMainFrame() = default;

QAction* CMainFrame::AddCommand(Command command, const QString& text, const std::function<void()>& handler)
{
    auto* action = new QAction(text, this);
    action->setObjectName(QString("command%1").arg(int(command)));
    connect(action, &QAction::triggered, this, handler);
    m_actions[command] = action;
    return action;
}

void CMainFrame::CreateMenus()
{
    QMenu* file = menuBar()->addMenu(QStringLiteral("&Файл"));
    file->addAction(AddCommand(kSave, QStringLiteral("&Сохранить"), [this] { Save(); }));
    file->addAction(
        AddCommand(kOpenDataFolder, QStringLiteral("&Папка конфигурации"), [this] { OpenDataFolder(); }));
    file->addSeparator();
    file->addAction(AddCommand(kExit, QStringLiteral("Выход\tAlt+F4"), [this] { close(); }));

    QMenu* element = menuBar()->addMenu(QStringLiteral("&Элемент"));
    element->addAction(AddCommand(kAddChannel, QStringLiteral("Добавить канал"), [this] { AddChannel(); }));
    element->addAction(AddCommand(kEditChannel, QStringLiteral("Изменить канал"), [this] { EditChannel(); }));
    element->addAction(
        AddCommand(kDeleteChannel, QStringLiteral("Удалить канал"), [this] { DeleteChannel(); }));

    QMenu* statistics = menuBar()->addMenu(QStringLiteral("&Статистика"));
    statistics->addAction(
        AddCommand(kStatisticsSettings, QStringLiteral("Настройка..."), [this] { StatisticsSettings(); }));
    statistics->addAction(
        AddCommand(kStatisticsShow, QStringLiteral("&Показать"), [this] { ShowStatistics(); }));
    statistics->addAction(
        AddCommand(kStatisticsClear, QStringLiteral("Очистить"), [this] { ClearStatistics(); }));

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Помощь"));
    help->addAction(AddCommand(kHelp, QStringLiteral("&Справка"), [this] { Help(); }));
    help->addAction(AddCommand(kAbout, QStringLiteral("О программе..."), [this] { About(); }));
}

void CMainFrame::CreateToolBar()
{
    QToolBar* bar = addToolBar(QStringLiteral("Панель инструментов"));
    bar->setObjectName("toolbar");
    bar->setIconSize(QSize(32, 32));
    bar->setMovable(false);
    const struct {
        Command m_command;
        QIcon m_icon;
        const char* m_tip;
    } buttons[] = {
        {kSave, Icon(GuiIcon::Save), "Сохранить файл конфигурации"},
        {kAddChannel, Icon(GuiIcon::Add), "Добавить канал"},
        {kDeleteChannel, Icon(GuiIcon::Delete), "Удалить канал"},
        {kStatisticsShow, Icon(GuiIcon::Statistics), "Показать файл статистики"},
        {kHelp, Icon(GuiIcon::Help), "Справка"},
    };
    for (const auto& button : buttons) {
        QAction* action = m_actions.at(button.m_command);
        action->setIcon(button.m_icon);
        action->setToolTip(QString::fromUtf8(button.m_tip));
        bar->addAction(action);
        if (button.m_command == kSave || button.m_command == kDeleteChannel) {
            bar->addSeparator();
        }
    }
}

QTreeWidget* CMainFrame::Tree() const
{
    return m_tree;
}

void CMainFrame::UpdateCommands()
{
    const bool free = !m_clientsConnected;
    const bool channel = SelectedLevel() == 1;
    m_actions[kSave]->setEnabled(free && m_modified);
    m_actions[kAddChannel]->setEnabled(free);
    m_actions[kEditChannel]->setEnabled(free && channel);
    m_actions[kDeleteChannel]->setEnabled(free && channel);
}

void CMainFrame::SetClientsConnected(bool connected)
{
    if (connected != m_clientsConnected) {
        m_clientsConnected = connected;
        UpdateCommands();
    }
}

int CMainFrame::SelectedLevel() const
{
    int level = 0;
    for (const QTreeWidgetItem* item = m_tree->currentItem(); item != nullptr && item->parent() != nullptr;
         item = item->parent()) {
        ++level;
    }
    return level;
}

CLevelChannel* CMainFrame::SelectedChannel() const
{
    const QTreeWidgetItem* item = m_tree->currentItem();
    if (item == nullptr || SelectedLevel() != 1) {
        return nullptr;
    }
    return static_cast<CLevelChannel*>(item->data(0, Qt::UserRole).value<void*>());
}

QTreeWidgetItem* CMainFrame::AddChannelItem(CLevelChannel& channel)
{
    auto* item = new QTreeWidgetItem(m_rootItem, {Text(channel.GetName())});
    item->setIcon(0, Icon(GuiIcon::Channel));
    item->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<void*>(&channel)));
    return item;
}

void CMainFrame::FillTree()
{
    m_tree->clear();
    const CLevelRoot* root = m_app.Root();
    m_rootItem = new QTreeWidgetItem(m_tree, {root != nullptr ? Text(root->GetName()) : QString()});
    m_rootItem->setIcon(0, Icon(GuiIcon::Root));
    for (size_t i = 0; root != nullptr && i < root->ChannelCount(); ++i) {
        if (CLevelChannel* channel = root->ChannelAt(i)) {
            AddChannelItem(*channel);
        }
    }
    m_tree->expandItem(m_rootItem);
    m_tree->scrollToItem(m_rootItem);
    m_tree->setCurrentItem(m_rootItem);
    FillList();
    UpdateCommands();
}

void CMainFrame::FillList()
{
    m_list->clear();
    const int level = SelectedLevel();
    if (level == 0) {
        const CLevelRoot* root = m_app.Root();
        const size_t channels = root != nullptr ? root->ChannelCount() : 0;
        new QTreeWidgetItem(m_list, {QStringLiteral("Количество каналов"), QString::number(channels)});
    } else if (CLevelChannel* channel = SelectedChannel()) {
        std::string label;
        std::string value;
        for (uint32_t row = 0; channel->Describe(row, label, value); ++row) {
            new QTreeWidgetItem(m_list, {Text(label), Text(value)});
        }
    }
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        m_list->topLevelItem(i)->setTextAlignment(1, Qt::AlignCenter);
    }
}

void CMainFrame::SetModified()
{
    m_modified = true;
    UpdateCommands();
}

void CMainFrame::RunBusy(const QString& caption, const std::function<void()>& operation)
{
    m_busy = true;
    RunWithProgress(caption, operation, this);
    m_busy = false;
}

void CMainFrame::AddChannel()
{
    CLevelRoot* root = m_app.Root();
    if (root == nullptr) {
        return;
    }
    if (const std::optional<CFormRefusal> refusal = CheckChannelLimit(*root)) {
        ShowRefusal(*refusal);
        return;
    }
    CDlgChannel dialog(*root, nullptr, this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    CLevelChannel* channel = nullptr;
    RunBusy(QStringLiteral("Добавление"), [&] { channel = ::AddChannel(m_app, dialog.Form()); });
    if (channel != nullptr) {
        QTreeWidgetItem* item = AddChannelItem(*channel);
        m_tree->setCurrentItem(item);
        m_tree->scrollToItem(item);
    }
    SetModified();
}

void CMainFrame::EditChannel()
{
    CLevelChannel* channel = SelectedChannel();
    CLevelRoot* root = m_app.Root();
    if (channel == nullptr || root == nullptr) {
        return;
    }
    if (m_clientsConnected) {
        (void)Ask(kEditRefused, MB_OK);
        return;
    }
    CDlgChannel dialog(*root, channel, this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    RunBusy(QStringLiteral("Редактирование"), [&] { ::EditChannel(m_app, *channel, dialog.Form()); });
    m_tree->currentItem()->setText(0, Text(channel->GetName()));
    FillList();
    SetModified();
}

void CMainFrame::DeleteChannel()
{
    CLevelChannel* channel = SelectedChannel();
    if (channel == nullptr || Ask(kDeleteQuestion, MB_YESNO) != IDYES) {
        return;
    }
    QTreeWidgetItem* item = m_tree->currentItem();
    RunBusy(QStringLiteral("Удаление"), [&] { ::DeleteChannel(m_app, *channel); });
    delete item;
    SetModified();
}

bool CMainFrame::SaveConfiguration()
{
    int saved = 0;
    RunBusy(QStringLiteral("Сохранение конфигурации"),
            [&] { saved = ::SaveConfiguration(m_app, m_app.ConfigurationPath()); });
    if (saved == 0) {
        return false;
    }
    m_modified = false;
    FillTree();
    return true;
}

void CMainFrame::Save()
{
    if (m_modified) {
        (void)SaveConfiguration();
    }
}

void CMainFrame::StatisticsSettings()
{
    CLevelRoot* root = m_app.Root();
    if (root == nullptr) {
        return;
    }
    CDlgStats dialog(root->StatisticsEnabled(), root->StatisticsSizeLimit(), this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    if (dialog.Enabled() != root->StatisticsEnabled()) {
        root->SetStatisticsEnabled(dialog.Enabled());
        SetModified();
    }
    if (dialog.SizeKb() != root->StatisticsSizeLimit()) {
        root->SetStatisticsSizeLimit(dialog.SizeKb());
        SetModified();
    }
}

void CMainFrame::ShowStatistics()
{
    OpenWithDesktop(m_app.StatisticsPath());
}

void CMainFrame::ClearStatistics()
{
    if (CLogFile* log = m_app.StatisticsLog()) {
        log->Clear();
    }
}

void CMainFrame::OpenDataFolder()
{
    OpenWithDesktop(m_app.DataFolder());
}

void CMainFrame::Help()
{
    ShowHelp();
}

void CMainFrame::About()
{
    const std::vector<std::string> files =
        ChecksumFiles(ProgramFolder(), CRegistry::Open(RegistryHive::ClassesRoot), kServerClsidText);
    CAboutDlg dialog(Text(ChecksumText(files)), this);
    dialog.exec();
}

void CMainFrame::CloseDirect()
{
    m_closeDirect = true;
    close();
}

void CMainFrame::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // The splitter has its real width only once the window is laid out for
    // showing; sizes set before that count as pixels of a window not yet sized.
    if (!m_splitterPlaced) {
        m_splitterPlaced = true;
        const int width = m_splitter->width() - m_splitter->handleWidth();
        m_splitter->setSizes({width / 4, width - width / 4});
    }
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    if (m_busy) {
        event->ignore();
        return;
    }
    if (!m_closeDirect) {
        if (m_clientsConnected && Ask(kClientsQuestion, MB_YESNO) != IDYES) {
            event->ignore();
            return;
        }
        if (m_modified) {
            const int answer = Ask(kSaveQuestion, MB_YESNOCANCEL);
            if (answer == IDCANCEL) {
                event->ignore();
                return;
            }
            if (answer == IDYES) {
                (void)SaveConfiguration();
            }
        }
        CloseHelp();
    }
    event->accept();
    Q_EMIT Closed();
}
