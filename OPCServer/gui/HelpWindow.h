#pragma once
#include <QWidget>

class QTextBrowser;

// The program's help, our own HTML, in a window of its own titled as the
// help file, so that the help command and the close flow find it by title.
class CHelpWindow : public QWidget {
    Q_OBJECT
   public:
    static constexpr const char* kTitle = "OpcVireo2.chm";

    explicit CHelpWindow(QWidget* parent = nullptr);
    QTextBrowser* Browser() const { return m_browser; }

   private:
    QTextBrowser* m_browser;
};

// The open help window (a visible top-level window with the help title), or null.
QWidget* FindHelpWindow();
// Brings the open help window to the front and restores it, or opens one.
void ShowHelp();
// Asks the open help window to close.
void CloseHelp();
