#pragma once
#include "gui/ChannelPage.h"

// The TCP page: address, port, connect timeout, response timeout, attempts,
// pause, key, poll period.
class CDlgChannelTCP : public CChannelPage {
    Q_OBJECT
   public:
    explicit CDlgChannelTCP(QWidget* parent = nullptr);
    void Load(const CChannelForm& form) override;
    void Store(CChannelForm& form) const override;

   private:
    CSpinEdit* m_port;
    CSpinEdit* m_connectTimeout;
};
