#include "gui/DlgChannelTCP.h"

CDlgChannelTCP::CDlgChannelTCP(QWidget* parent) : CChannelPage(parent)
{
    AddAddress();
    m_port = AddNumber(ChannelField::Port, QStringLiteral("Порт:"), 6, 0, 10000);
    m_connectTimeout =
        AddNumber(ChannelField::ConnectTimeout, QStringLiteral("Таймаут установки соединения, мс:"), 6, 50,
                  60000, {50, 100, 1000});
    AddResponseTimeout();
    AddAttempts();
    AddPause();
    AddKey();
    AddPollPeriod();
}

void CDlgChannelTCP::Load(const CChannelForm& form)
{
    const CTcpPage& page = std::get<CTcpPage>(form.m_page);
    LoadShared(page);
    m_port->SetValue(page.m_port);
    m_connectTimeout->SetValue(page.m_connectTimeout);
}

void CDlgChannelTCP::Store(CChannelForm& form) const
{
    CTcpPage page;
    StoreShared(page);
    page.m_port = m_port->Value();
    page.m_connectTimeout = m_connectTimeout->Value();
    form.m_page = page;
}
