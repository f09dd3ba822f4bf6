// The program: the application object and, in configuration mode once the
// operator GUI is linked, its window.
#include "app/OPCServerApp.h"
#include "crashreport/CrashReport.h"

int main(int argc, char** argv)
{
    // Referring to the crash report links its installer in.
    (void)CrashReportPath();
    COPCServerApp app(argc, argv);
    return app.Run();
}
