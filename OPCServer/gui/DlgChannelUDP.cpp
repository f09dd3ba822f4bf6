#include "gui/DlgChannelUDP.h"

CDlgChannelUDP::CDlgChannelUDP(QWidget* parent) : CChannelPage(parent)
{
    AddAddress();
    m_remotePort = AddNumber(ChannelField::RemotePort, QStringLiteral("Удаленный порт:"), 6, 1, 65535);
    m_localPort = AddNumber(ChannelField::LocalPort, QStringLiteral("Локальный порт:"), 6, 1, 65535);
    AddResponseTimeout();
    AddAttempts();
    AddPause();
    AddKey();
    AddPollPeriod();
}

void CDlgChannelUDP::Load(const CChannelForm& form)
{
    const CUdpPage& page = std::get<CUdpPage>(form.m_page);
    LoadShared(page);
    m_remotePort->SetValue(page.m_remotePort);
    m_localPort->SetValue(page.m_localPort);
}

void CDlgChannelUDP::Store(CChannelForm& form) const
{
    CUdpPage page;
    StoreShared(page);
    page.m_remotePort = m_remotePort->Value();
    page.m_localPort = m_localPort->Value();
    form.m_page = page;
}
