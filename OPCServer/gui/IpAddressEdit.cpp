#include "gui/IpAddressEdit.h"

#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

CIpAddressEdit::CIpAddressEdit(QWidget* parent) : QFrame(parent)
{
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 1, 2, 1);
    layout->setSpacing(0);
    for (size_t i = 0; i < m_parts.size(); ++i) {
        if (i > 0) {
            layout->addWidget(new QLabel(QStringLiteral("."), this));
        }
        auto* part = new QLineEdit(this);
        part->setObjectName(QString("part%1").arg(i));
        part->setFrame(false);
        part->setMaxLength(3);
        part->setValidator(new QIntValidator(0, 255, part));
        part->setAlignment(Qt::AlignCenter);
        part->setFixedWidth(part->fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 4);
        part->installEventFilter(this);
        const bool last = i + 1 == m_parts.size();
        connect(part, &QLineEdit::textEdited, this, [this, i, last](const QString& text) {
            if (!last && text.size() == 3) {
                m_parts[i + 1]->setFocus();
                m_parts[i + 1]->selectAll();
            }
        });
        m_parts[i] = part;
        layout->addWidget(part);
    }
    setFocusProxy(m_parts[0]);
}

uint32_t CIpAddressEdit::Address() const
{
    uint32_t address = 0;
    for (const QLineEdit* part : m_parts) {
        address = (address << 8) | (part->text().toUInt() & 0xFF);
    }
    return address;
}

void CIpAddressEdit::SetAddress(uint32_t address)
{
    for (size_t i = 0; i < m_parts.size(); ++i) {
        m_parts[i]->setText(QString::number((address >> (8 * (3 - i))) & 0xFF));
    }
}

void CIpAddressEdit::SelectFirstPart()
{
    m_parts[0]->selectAll();
    m_parts[0]->setFocus(Qt::OtherFocusReason);
}

bool CIpAddressEdit::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        for (size_t i = 0; i + 1 < m_parts.size(); ++i) {
            if (watched == m_parts[i] && (key->key() == Qt::Key_Period || key->key() == Qt::Key_Comma)) {
                // A dot right after a part filled itself moves nowhere: the
                // focus has moved on already.
                if (!m_parts[i]->text().isEmpty() && m_parts[i]->selectedText() != m_parts[i]->text()) {
                    m_parts[i + 1]->setFocus();
                    m_parts[i + 1]->selectAll();
                }
                return true;
            }
        }
    }
    return QFrame::eventFilter(watched, event);
}
