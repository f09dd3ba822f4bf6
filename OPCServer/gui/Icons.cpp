#include "gui/Icons.h"

#include <QString>

QIcon Icon(GuiIcon which)
{
    static const char* const kNames[] = {"application", "root",   "channel",    "save",
                                         "add",         "delete", "statistics", "help"};
    const QLatin1String name(kNames[static_cast<int>(which)]);
    QIcon icon;
    for (const int size : {16, 32, 64}) {
        icon.addFile(QString(":/icons/%1-%2.png").arg(name).arg(size), QSize(size, size));
    }
    return icon;
}
