#pragma once
#include "gui/ChannelPage.h"

// The UDP page: address, remote port, local port, response timeout,
// attempts, pause, key, poll period.
class CDlgChannelUDP : public CChannelPage {
    Q_OBJECT
   public:
    explicit CDlgChannelUDP(QWidget* parent = nullptr);
    void Load(const CChannelForm& form) override;
    void Store(CChannelForm& form) const override;

   private:
    CSpinEdit* m_remotePort;
    CSpinEdit* m_localPort;
};
