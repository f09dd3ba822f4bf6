#pragma once
#include <QMainWindow>
#include <functional>
#include <map>

class CLevelChannel;
class CLevelElementBase;
class CSingleVectors;
class CTreeCtrlX;
class QAction;
class QSplitter;
class QTreeWidget;
class QTreeWidgetItem;

// The configuration tool's window: menus, toolbar, status bar, and a
// splitter with the configuration tree (the root and its channels) and the
// selected element's property list. All editing of the running
// configuration goes through it.
class CMainFrame : public QMainWindow {
    Q_OBJECT
   public:
    // Command identifiers, as the menu and the toolbar know them.
    enum Command : int {
        kSave = 32772,
        kOpenDataFolder = 32812,
        kExit = 57665,
        kAddChannel = 32815,
        kEditChannel = 32818,
        kDeleteChannel = 32819,
        kStatisticsSettings = 32786,
        kStatisticsShow = 32787,
        kStatisticsClear = 32788,
        kHelp = 32789,
        kAbout = 32790,
    };
    explicit CMainFrame(CSingleVectors& app, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // The root and every channel, the root selected.
    void FillTree();
    // Whether OPC clients use the server; the program's 500 ms timer tells
    // while the window is shown. Editing is refused meanwhile.
    void SetClientsConnected(bool connected);
    // Closes without the close flow's questions (the idle close of a hidden
    // server window).
    void CloseDirect();

    // The command handlers, as the menu and the toolbar run them.
    void Save();
    void AddChannel();
    void EditChannel();
    void DeleteChannel();
    void StatisticsSettings();
    void ShowStatistics();
    void ClearStatistics();
    void OpenDataFolder();
    void Help();
    void About();

    bool Modified() const { return m_modified; }
    bool ClientsConnected() const { return m_clientsConnected; }
    // A long operation runs behind the progress window.
    bool Busy() const { return m_busy; }
    QAction* Action(Command command) const { return m_actions.at(command); }
    QTreeWidget* Tree() const;
    QTreeWidget* List() const { return m_list; }
    // 0 for the top item (also when nothing is selected), 1 for a channel.
    int SelectedLevel() const;

   Q_SIGNALS:
    // The window has closed (the close flow went through, or CloseDirect).
    void Closed();

   protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

   private:
    QAction* AddCommand(Command command, const QString& text, const std::function<void()>& handler);
    void CreateMenus();
    void CreateToolBar();
    void UpdateCommands();
    void FillList();
    CLevelChannel* SelectedChannel() const;
    QTreeWidgetItem* AddChannelItem(CLevelChannel& channel);
    void SetModified();
    // Runs a long operation behind the progress window.
    void RunBusy(const QString& caption, const std::function<void()>& operation);
    // The save command's work; false when the file could not be written.
    bool SaveConfiguration();

    CSingleVectors& m_app;
    CTreeCtrlX* m_tree;
    QTreeWidget* m_list;
    QSplitter* m_splitter;
    QTreeWidgetItem* m_rootItem = nullptr;
    std::map<int, QAction*> m_actions;
    bool m_modified = false;
    bool m_clientsConnected = false;
    bool m_busy = false;
    bool m_closeDirect = false;
    bool m_splitterPlaced = false;
};
