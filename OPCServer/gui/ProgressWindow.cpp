#include "gui/ProgressWindow.h"

#include "gui/Thread.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QProgressBar>
#include <QVBoxLayout>

CDlgProgress::CDlgProgress(const QString& caption, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint),
      m_bar(new QProgressBar(this))
{
    setObjectName("CDlgProgress");
    setWindowTitle(caption);
    setWindowModality(Qt::ApplicationModal);
    // Minimum and maximum 0: the bar runs as a busy indicator.
    m_bar->setRange(0, 0);
    m_bar->setTextVisible(false);
    m_bar->setMinimumWidth(280);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_bar);
    setFixedSize(sizeHint());
}

void CDlgProgress::Finish()
{
    m_finished = true;
    hide();
}

void CDlgProgress::closeEvent(QCloseEvent* event)
{
    if (m_finished) {
        event->accept();
    } else {
        event->ignore();
    }
}

void RunWithProgress(const QString& caption, const std::function<void()>& operation, QWidget* mainWindow)
{
    CDlgProgress window(caption, mainWindow);
    window.show();
    QEventLoop loop;
    CThread worker;
    const bool started = worker.Start([&operation, &loop](CThread::Flags) {
        operation();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    if (started) {
        loop.exec();
    } else {
        operation();  // no thread to be had: the window simply stands still meanwhile
    }
    worker.Stop();
    window.Finish();
    if (mainWindow != nullptr) {
        mainWindow->raise();
        mainWindow->activateWindow();
    }
}
