#include "gui/DlgStats.h"

#include "config/ChannelForm.h"
#include "gui/FieldFocus.h"
#include "gui/Icons.h"
#include "gui/SpinEdit.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CDlgStats::CDlgStats(uint32_t enabled, uint32_t sizeKb, QWidget* parent)
    : QDialog(parent),
      m_enabled(enabled),
      m_sizeKb(sizeKb),
      m_enabledBox(new QCheckBox(QStringLiteral("Разрешить накопление статистики"), this)),
      m_sizeEdit(new CSpinEdit(5, 100, 60000, {100, 500, 1000}, this))
{
    setObjectName("CDlgStats");
    setWindowTitle(QStringLiteral("Настройка статистики"));
    setWindowIcon(Icon(GuiIcon::Statistics));
    m_enabledBox->setChecked(enabled != 0);
    m_sizeEdit->SetValue(sizeKb);
    auto* sizeLabel = new QLabel(QStringLiteral("Размер файла журнала (кБ)"), this);
    auto follow = [this, sizeLabel] {
        const bool on = m_enabledBox->isChecked();
        m_sizeEdit->setEnabled(on);
        sizeLabel->setEnabled(on);
    };
    follow();
    connect(m_enabledBox, &QCheckBox::toggled, this, follow);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Отмена"));
    connect(buttons, &QDialogButtonBox::accepted, this, &CDlgStats::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CDlgStats::reject);

    auto* size = new QHBoxLayout;
    size->addWidget(sizeLabel);
    size->addWidget(m_sizeEdit);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_enabledBox);
    layout->addLayout(size);
    layout->addWidget(buttons);
    setFixedSize(sizeHint());
}

void CDlgStats::accept()
{
    const int64_t size = m_sizeEdit->Value();
    if (const std::optional<CFormRefusal> refusal = CheckStatisticsSize(size)) {
        ShowRefusal(*refusal);
        if (m_sizeEdit->isEnabled()) {
            SelectAndFocus(m_sizeEdit);
        }
        return;
    }
    m_enabled = m_enabledBox->isChecked() ? 1 : 0;
    m_sizeKb = uint32_t(size);
    QDialog::accept();
}
