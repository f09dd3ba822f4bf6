#include "gui/QtMainFrame.h"

#include "app/AppLoop.h"
#include "app/SingleVectors.h"
#include "gui/HelpWindow.h"
#include "gui/MainFrame.h"
#include "gui/ProgressWindow.h"
#include "platform/DesktopOpen.h"

#include <QApplication>
#include <QDesktopServices>
#include <QTimer>
#include <cstdio>

namespace {

int g_noArguments = 0;

std::unique_ptr<QApplication> MakeApplicationIfNone(const CFrameRequest& request)
{
    if (QApplication::instance() != nullptr) {
        return nullptr;
    }
    int& argc = request.m_argc != nullptr ? *request.m_argc : g_noArguments;
    return std::make_unique<QApplication>(argc, request.m_argv);
}

}  // namespace

// Qt's libraries and the GLib loop under them are not built for
// ThreadSanitizer: what they do inside, with their own thread pool and
// futex-based locks, it cannot follow. A sanitizer build of a program with
// this window reads these; other builds never call it.
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Widgets.so.6\n"
           "called_from_lib:libglib-2.0.so.0\n"
           "race:QWaitCondition::~QWaitCondition\n";
}

void CDesktopOpener::Open(const QUrl& url)
{
    if (url.isLocalFile()) {
        (void)OpenWithDesktop(url.toLocalFile().toStdString());
    }
}

CQtMainFrame::CQtMainFrame(const CFrameRequest& request) : m_application(MakeApplicationIfNone(request))
{
    m_boxScope.emplace(&m_box);
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &m_opener, "Open");
}

CQtMainFrame::~CQtMainFrame()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    CloseHelp();
    m_window.reset();
    m_boxScope.reset();
}

bool CQtMainFrame::Create()
{
    m_window = std::make_unique<CMainFrame>(CSingleVectors::Instance());
    return true;
}

void CQtMainFrame::RunWithProgress(std::string_view caption, const std::function<void()>& work)
{
    ::RunWithProgress(QString::fromUtf8(caption.data(), qsizetype(caption.size())), work, m_window.get());
}

void CQtMainFrame::BringToFront()
{
    m_window->raise();
    m_window->activateWindow();
}

void CQtMainFrame::FillTree()
{
    m_window->FillTree();
}

void CQtMainFrame::ShowWindow()
{
    m_window->resize(800, 600);
    m_window->setVisible(m_showState);
    m_window->update();
}

bool CQtMainFrame::IsVisible() const
{
    return m_window && m_window->isVisible();
}

void CQtMainFrame::SetClientsConnected(bool connected)
{
    m_window->SetClientsConnected(connected);
}

void CQtMainFrame::Exec(CAppLoop& loop)
{
    if (m_closed) {
        return;
    }
    QTimer pump;
    QObject::connect(&pump, &QTimer::timeout, [this, &loop] {
        if (!m_closed && !m_window->Busy() && QApplication::activeModalWidget() == nullptr) {
            loop.RunOnce(0);
        }
    });
    const QMetaObject::Connection closed = QObject::connect(m_window.get(), &CMainFrame::Closed, [this] {
        m_closed = true;
        QCoreApplication::quit();
    });
    pump.start(kPumpMs);
    QApplication::exec();
    QObject::disconnect(closed);
}

void CQtMainFrame::Close()
{
    m_closed = true;
    if (m_window) {
        m_window->CloseDirect();
    }
    QCoreApplication::quit();
}

std::unique_ptr<IMainFrame> CreateQtMainFrame(const CFrameRequest& request)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fprintf(
            stderr,
            "OpcVireo2: no display (DISPLAY is not set): configuration mode runs without its window; "
            "vireo-config edits the configuration\n");
        return nullptr;
    }
    return std::make_unique<CQtMainFrame>(request);
}
