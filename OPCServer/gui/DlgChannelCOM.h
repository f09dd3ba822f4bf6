#pragma once
#include "gui/ChannelPage.h"

class QComboBox;

// The serial page: COM port, attempts, response timeout, baud rate, parity,
// pause. It has no poll period and no key.
class CDlgChannelCOM : public CChannelPage {
    Q_OBJECT
   public:
    explicit CDlgChannelCOM(QWidget* parent = nullptr);
    void Load(const CChannelForm& form) override;
    void Store(CChannelForm& form) const override;

   private:
    CSpinEdit* m_portNumber;
    QComboBox* m_baudRate;
    QComboBox* m_parity;
};
