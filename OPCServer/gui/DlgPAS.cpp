#include "gui/DlgPAS.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>

namespace {

constexpr int kRows = 8;  // three columns of eight units

}  // namespace

CDlgPAS::CDlgPAS(QWidget* parent) : QWidget(parent)
{
    auto* grid = new QGridLayout(this);
    for (size_t i = 0; i < m_units.size(); ++i) {
        auto* unit = new QComboBox(this);
        unit->setObjectName(QString("PAS_%1").arg(i + 1));
        unit->addItem(QStringLiteral("ПАС"));
        unit->addItem(QStringLiteral("ПАС-300"));
        const int row = int(i) % kRows;
        const int column = int(i) / kRows * 2;
        grid->addWidget(new QLabel(QString("PAS_%1:").arg(i + 1), this), row, column, Qt::AlignRight);
        grid->addWidget(unit, row, column + 1);
        m_units[i] = unit;
    }
    grid->setRowStretch(kRows, 1);
}

void CDlgPAS::Load(const CChannelForm& form)
{
    for (size_t i = 0; i < m_units.size(); ++i) {
        const uint32_t model = form.m_pasModels[i];
        m_units[i]->setCurrentIndex(model < uint32_t(m_units[i]->count()) ? int(model) : -1);
    }
}

void CDlgPAS::Store(CChannelForm& form) const
{
    for (size_t i = 0; i < m_units.size(); ++i) {
        const int index = m_units[i]->currentIndex();
        if (index >= 0) {
            form.m_pasModels[i] = uint32_t(index);
        }
    }
}
