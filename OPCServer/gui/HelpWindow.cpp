#include "gui/HelpWindow.h"

#include "gui/Icons.h"

#include <QApplication>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

CHelpWindow::CHelpWindow(QWidget* parent) : QWidget(parent, Qt::Window), m_browser(new QTextBrowser(this))
{
    setObjectName("CHelpWindow");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QString::fromLatin1(kTitle));
    setWindowIcon(Icon(GuiIcon::Help));
    m_browser->setOpenExternalLinks(true);
    m_browser->setSource(QUrl(QStringLiteral("qrc:/help/OpcVireo2.html")));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    resize(720, 560);
}

QWidget* FindHelpWindow()
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && window->windowTitle() == QLatin1String(CHelpWindow::kTitle)) {
            return window;
        }
    }
    return nullptr;
}

void ShowHelp()
{
    QWidget* window = FindHelpWindow();
    if (window == nullptr) {
        window = new CHelpWindow;
        window->show();
    }
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->showNormal();
    window->raise();
    window->activateWindow();
}

void CloseHelp()
{
    if (QWidget* window = FindHelpWindow()) {
        window->close();
    }
}
