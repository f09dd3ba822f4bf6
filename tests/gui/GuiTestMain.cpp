// The tests' own main: a QApplication on the offscreen platform exists
// before any widget, and every test runs on its thread.
#include <QApplication>

// Qt's libraries are not built for ThreadSanitizer: what they do inside,
// with their own thread pool and futex-based locks, is not ours to judge.
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Widgets.so.6\n"
           "race:QWaitCondition::~QWaitCondition\n";
}
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
