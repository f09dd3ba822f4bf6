#include "gui/DlgChannelCOM.h"

#include <QComboBox>
#include <algorithm>

namespace {

// By index, the value stored.
const char* const kParityNames[] = {"Нет", "Четный", "Нечетный", "Маркер", "Пробел"};

}  // namespace

CDlgChannelCOM::CDlgChannelCOM(QWidget* parent) : CChannelPage(parent)
{
    m_portNumber = AddNumber(ChannelField::PortNumber, QStringLiteral("Номер COM-порта:"), 4, 1, 1000);
    AddAttempts();
    AddResponseTimeout();
    m_baudRate = new QComboBox(this);
    for (const uint32_t rate : SerialBaudRates()) {
        m_baudRate->addItem(QString::number(rate));
    }
    AddRow(ChannelField::BaudRate, QStringLiteral("Скорость обмена:"), m_baudRate);
    m_parity = new QComboBox(this);
    for (const char* name : kParityNames) {
        m_parity->addItem(QString::fromUtf8(name));
    }
    AddRow(ChannelField::Parity, QStringLiteral("Контроль четности:"), m_parity);
    AddPause();
}

void CDlgChannelCOM::Load(const CChannelForm& form)
{
    const CSerialPage& page = std::get<CSerialPage>(form.m_page);
    LoadShared(page);
    m_portNumber->SetValue(page.m_portNumber);
    m_baudRate->setCurrentIndex(std::max(0, m_baudRate->findText(QString::number(page.m_baudRate))));
    // A parity beyond the list opens the port without parity: show it so.
    const bool known = page.m_parity >= 0 && page.m_parity < m_parity->count();
    m_parity->setCurrentIndex(known ? int(page.m_parity) : 0);
}

void CDlgChannelCOM::Store(CChannelForm& form) const
{
    CSerialPage page;
    StoreShared(page);
    page.m_portNumber = m_portNumber->Value();
    page.m_baudRate = m_baudRate->currentText().toLongLong();
    page.m_parity = m_parity->currentIndex();
    form.m_page = page;
}
