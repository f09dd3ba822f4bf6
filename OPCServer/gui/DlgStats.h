#pragma once
#include <QDialog>
#include <cstdint>

class CSpinEdit;
class QCheckBox;

// "Настройка статистики": whether the statistics log is kept and its size
// limit in kilobytes. The size field is usable only while the log is
// enabled; OK refuses a size outside 100..60000 with the field focused.
class CDlgStats : public QDialog {
    Q_OBJECT
   public:
    CDlgStats(uint32_t enabled, uint32_t sizeKb, QWidget* parent = nullptr);

    // What OK accepted.
    uint32_t Enabled() const { return m_enabled; }
    uint32_t SizeKb() const { return m_sizeKb; }

    QCheckBox* EnabledBox() const { return m_enabledBox; }
    CSpinEdit* SizeEdit() const { return m_sizeEdit; }

   public Q_SLOTS:
    void accept() override;

   private:
    uint32_t m_enabled;
    uint32_t m_sizeKb;
    QCheckBox* m_enabledBox;
    CSpinEdit* m_sizeEdit;
};
