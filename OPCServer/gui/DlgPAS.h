#pragma once
#include "config/ChannelForm.h"

#include <QWidget>
#include <array>

class QComboBox;

// The second tab: the model of each of the 24 PAS units, "ПАС" (0) or
// "ПАС-300" (1). A model outside the list shows an empty choice and is kept
// as it was unless the operator picks one.
class CDlgPAS : public QWidget {
    Q_OBJECT
   public:
    explicit CDlgPAS(QWidget* parent = nullptr);

    void Load(const CChannelForm& form);
    void Store(CChannelForm& form) const;
    QComboBox* Unit(size_t index) const { return m_units[index]; }

   private:
    std::array<QComboBox*, CChannelSettings::kPasUnits> m_units{};
};
