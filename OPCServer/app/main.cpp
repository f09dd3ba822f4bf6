// The program: the application object and, in configuration mode once the
// operator GUI is linked, its window.
#include "app/OPCServerApp.h"
#include "crashreport/CrashReport.h"
#include "gui/QtMainFrame.h"
#include "platform/HeapTuning.h"

int main(int argc, char** argv)
{
    // Referring to the crash report links its installer in.
    (void)CrashReportPath();
    ReturnFreedMemoryPromptly();
    COPCServerApp app(argc, argv);
    // Only configuration mode makes a QApplication: the server needs no display.
    app.SetFrameFactory([](const CFrameRequest& r) -> std::unique_ptr<IMainFrame> {
        return r.m_configurationMode ? CreateQtMainFrame(r) : nullptr;
    });
    return app.Run();
}
