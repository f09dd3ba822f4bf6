// vireo-grab WINDOW-ID FILE.png: the window's contents as the X server has
// them (under Xvfb, without a window manager, that is the window itself).
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: vireo-grab WINDOW-ID FILE.png\n");
        return 1;
    }
    QGuiApplication app(argc, argv);
    const WId window = WId(std::strtoull(argv[1], nullptr, 0));
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(window);
    if (shot.isNull() || !shot.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "vireo-grab: cannot grab window %s into %s\n", argv[1], argv[2]);
        return 1;
    }
    return 0;
}
