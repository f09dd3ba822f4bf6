#include "gui/AboutDlg.h"

#include "gui/Icons.h"
#include "platform/Paths.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

CAboutDlg::CAboutDlg(const QString& checksum, QWidget* parent)
    : QDialog(parent), m_checksum(new QLineEdit(checksum, this))
{
    setObjectName("CAboutDlg");
    setWindowTitle(QStringLiteral("О программе"));
    setWindowIcon(Icon(GuiIcon::Application));
    auto* icon = new QLabel(this);
    icon->setPixmap(Icon(GuiIcon::Application).pixmap(64, 64));
    auto* title = new QLabel(QString::fromUtf8(kDataFolderName), this);
    title->setObjectName("title");
    m_checksum->setReadOnly(true);
    m_checksum->setMinimumWidth(m_checksum->fontMetrics().horizontalAdvance(checksum) + 16);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CAboutDlg::accept);

    auto* layout = new QGridLayout(this);
    layout->addWidget(icon, 0, 0, 3, 1, Qt::AlignTop);
    layout->addWidget(title, 0, 1, 1, 2);
    layout->addWidget(new QLabel(QStringLiteral("Версия: 1.0"), this), 1, 1, 1, 2);
    layout->addWidget(new QLabel(QStringLiteral("Контрольная сумма:"), this), 2, 1);
    layout->addWidget(m_checksum, 2, 2);
    layout->addWidget(buttons, 3, 0, 1, 3);
    setFixedSize(sizeHint());
}
