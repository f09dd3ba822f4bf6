#include "gui/ProgressWindow.h"

#include "gui/Thread.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int kPollMs = 50;

}  // namespace

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
    CThread worker;
    if (worker.Start([&operation](CThread::Flags) { operation(); })) {
        // The worker touches no widget: the GUI thread looks at its running
        // flag, as often as the window is redrawn.
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&worker, &loop] {
            if (!worker.Running()) {
                loop.quit();
            }
        });
        poll.start(kPollMs);
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
