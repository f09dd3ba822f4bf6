// Paints the GUI's icons on a 32 x 32 grid and writes each one at 16, 32 and
// 64 pixels, so that the tree, the toolbar and the window get sharp images.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

const QColor kInk(0x24, 0x3a, 0x5e);
const QColor kBlue(0x2f, 0x6f, 0xc6);
const QColor kLightBlue(0x9c, 0xc4, 0xf2);
const QColor kGreen(0x2e, 0x9e, 0x4f);
const QColor kRed(0xd0, 0x3a, 0x2f);
const QColor kAmber(0xf0, 0xa8, 0x20);

QBrush Vertical(const QColor& top, const QColor& bottom, double y0, double y1)
{
    QLinearGradient g(0, y0, 0, y1);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    return g;
}

// A control panel of the kit: a cabinet with a display and two lamps.
void Panel(QPainter& p, QRectF r)
{
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(Vertical(QColor(0xf4, 0xf6, 0xfa), QColor(0xc9, 0xd2, 0xe0), r.top(), r.bottom()));
    p.drawRoundedRect(r, 2.5, 2.5);
    const QRectF screen(r.left() + 3, r.top() + 3, r.width() - 6, r.height() * 0.42);
    p.setPen(QPen(kInk, 1));
    p.setBrush(Vertical(kLightBlue, kBlue, screen.top(), screen.bottom()));
    p.drawRect(screen);
    const double y = screen.bottom() + (r.bottom() - screen.bottom()) / 2;
    p.setPen(Qt::NoPen);
    p.setBrush(kGreen);
    p.drawEllipse(QPointF(r.left() + r.width() * 0.32, y), 2.2, 2.2);
    p.setBrush(kAmber);
    p.drawEllipse(QPointF(r.left() + r.width() * 0.68, y), 2.2, 2.2);
}

// A communication line: a cable with a plug.
void Line(QPainter& p, QPointF from, QPointF to)
{
    p.setPen(QPen(kInk, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(from, to);
}

void Badge(QPainter& p, QPointF centre, const QColor& colour, bool plus)
{
    p.setPen(QPen(Qt::white, 1.5));
    p.setBrush(colour);
    p.drawEllipse(centre, 7.5, 7.5);
    p.setPen(QPen(Qt::white, 2.6, Qt::SolidLine, Qt::RoundCap));
    if (plus) {
        p.drawLine(centre + QPointF(-4, 0), centre + QPointF(4, 0));
        p.drawLine(centre + QPointF(0, -4), centre + QPointF(0, 4));
    } else {
        p.drawLine(centre + QPointF(-3.2, -3.2), centre + QPointF(3.2, 3.2));
        p.drawLine(centre + QPointF(-3.2, 3.2), centre + QPointF(3.2, -3.2));
    }
}

void Channel(QPainter& p)
{
    Line(p, QPointF(3, 27), QPointF(12, 18));
    p.setPen(QPen(kInk, 1.2));
    p.setBrush(kAmber);
    p.drawRoundedRect(QRectF(9, 14, 7, 7), 1.5, 1.5);
    Panel(p, QRectF(14, 3, 15, 20));
}

void Root(QPainter& p)
{
    // Three lines from one point: the channels of the configuration.
    Line(p, QPointF(5, 16), QPointF(16, 6));
    Line(p, QPointF(5, 16), QPointF(16, 16));
    Line(p, QPointF(5, 16), QPointF(16, 26));
    p.setPen(QPen(kInk, 1.2));
    p.setBrush(kBlue);
    p.drawEllipse(QPointF(5, 16), 3.5, 3.5);
    Panel(p, QRectF(16, 1.5, 13, 9));
    Panel(p, QRectF(16, 11.5, 13, 9));
    Panel(p, QRectF(16, 21.5, 13, 9));
}

void Application(QPainter& p)
{
    p.setPen(Qt::NoPen);
    p.setBrush(Vertical(QColor(0x3d, 0x82, 0xd8), QColor(0x1d, 0x4a, 0x8c), 0, 32));
    p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
    // A bell: the kit's alarm, with the polling waves around it.
    QPainterPath bell;
    bell.moveTo(9, 22);
    bell.cubicTo(11, 20, 10.5, 9, 16, 8.5);
    bell.cubicTo(21.5, 9, 21, 20, 23, 22);
    bell.closeSubpath();
    p.setBrush(QColor(0xff, 0xd2, 0x4a));
    p.setPen(QPen(QColor(0x7a, 0x52, 0x00), 1));
    p.drawPath(bell);
    p.drawEllipse(QPointF(16, 24), 2.2, 2.2);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(3.5, 6, 8, 14), 110 * 16, 140 * 16);
    p.drawArc(QRectF(20.5, 6, 8, 14), -70 * 16, 140 * 16);
}

void Save(QPainter& p)
{
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(Vertical(kBlue, QColor(0x1d, 0x4a, 0x8c), 3, 29));
    QPainterPath body;
    body.moveTo(3, 3);
    body.lineTo(24, 3);
    body.lineTo(29, 8);
    body.lineTo(29, 29);
    body.lineTo(3, 29);
    body.closeSubpath();
    p.drawPath(body);
    p.setBrush(QColor(0xe8, 0xec, 0xf2));
    p.drawRect(QRectF(8, 3, 14, 9));
    p.setBrush(kInk);
    p.drawRect(QRectF(17, 5, 3, 5));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(7, 16, 18, 11), 1, 1);
    p.setPen(QPen(kLightBlue, 1.2));
    for (double y : {19.5, 22.5}) {
        p.drawLine(QPointF(10, y), QPointF(22, y));
    }
}

void Add(QPainter& p)
{
    Channel(p);
    Badge(p, QPointF(23, 23), kGreen, true);
}

void Delete(QPainter& p)
{
    Channel(p);
    Badge(p, QPointF(23, 23), kRed, false);
}

void Statistics(QPainter& p)
{
    // A log page with a chart of events.
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(4, 2, 22, 28));
    p.setPen(QPen(QColor(0xb0, 0xb8, 0xc4), 1));
    for (double y = 7; y < 16; y += 3) {
        p.drawLine(QPointF(8, y), QPointF(22, y));
    }
    p.setPen(Qt::NoPen);
    const double heights[] = {5, 9, 4, 11};
    const QColor colours[] = {kBlue, kGreen, kRed, kBlue};
    for (int i = 0; i < 4; ++i) {
        p.setBrush(colours[i]);
        p.drawRect(QRectF(8 + i * 4, 27 - heights[i], 3, heights[i]));
    }
}

void Help(QPainter& p)
{
    p.setPen(QPen(QColor(0x1d, 0x4a, 0x8c), 1.5));
    p.setBrush(Vertical(QColor(0x5a, 0x9c, 0xea), QColor(0x1d, 0x4a, 0x8c), 2, 30));
    p.drawEllipse(QPointF(16, 16), 13.5, 13.5);
    QPainterPath mark;
    mark.moveTo(11.5, 12.5);
    mark.cubicTo(11.5, 6.5, 20.5, 6.5, 20.5, 12);
    mark.cubicTo(20.5, 15.5, 16, 15.5, 16, 19.5);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, 3.2, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(mark);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(16, 24.5), 2, 2);
}

struct Icon {
    const char* name;
    std::function<void(QPainter&)> draw;
};

bool Write(const QString& folder, const Icon& icon, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    icon.draw(p);
    p.end();
    return image.save(QDir(folder).filePath(QString("%1-%2.png").arg(icon.name).arg(size)), "PNG");
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: vireo-draw-icons FOLDER\n");
        return 1;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    const std::vector<Icon> icons = {{"application", Application},
                                     {"root", Root},
                                     {"channel", Channel},
                                     {"save", Save},
                                     {"add", Add},
                                     {"delete", Delete},
                                     {"statistics", Statistics},
                                     {"help", Help}};
    for (const Icon& icon : icons) {
        for (int size : {16, 32, 64}) {
            if (!Write(folder, icon, size)) {
                std::fprintf(stderr, "vireo-draw-icons: cannot write %s\n", icon.name);
                return 1;
            }
        }
    }
    return 0;
}
