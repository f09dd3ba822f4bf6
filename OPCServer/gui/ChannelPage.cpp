#include "gui/ChannelPage.h"

#include "gui/IpAddressEdit.h"

#include <QFormLayout>
#include <QLineEdit>

CChannelPage::CChannelPage(QWidget* parent) : QWidget(parent), m_layout(new QFormLayout(this))
{
    m_layout->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
}

QWidget* CChannelPage::Field(ChannelField field) const
{
    const auto it = m_fields.find(field);
    return it == m_fields.end() ? nullptr : it->second;
}

void CChannelPage::AddRow(ChannelField field, const QString& label, QWidget* widget)
{
    m_layout->addRow(label, widget);
    m_fields[field] = widget;
}

CSpinEdit* CChannelPage::AddNumber(ChannelField field, const QString& label, int editLimit, int spinMin,
                                   int spinMax, CSpinEdit::Acceleration acceleration)
{
    auto* edit = new CSpinEdit(editLimit, spinMin, spinMax, acceleration, this);
    edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance(QString(editLimit + 1, QChar('0'))) + 40);
    AddRow(field, label, edit);
    return edit;
}

CSpinEdit* CChannelPage::AddAttempts()
{
    return m_attempts = AddNumber(ChannelField::Attempts, QStringLiteral("Количество попыток:"), 2, 1, 20);
}

CSpinEdit* CChannelPage::AddResponseTimeout()
{
    return m_responseTimeout =
               AddNumber(ChannelField::ResponseTimeout, QStringLiteral("Таймаут ожидания ответа, мс:"), 5,
                         100, 60000, {50, 100, 1000});
}

CSpinEdit* CChannelPage::AddPause()
{
    return m_pause = AddNumber(ChannelField::Pause, QStringLiteral("Пауза перед запросом, мс:"), 5, 0, 10000,
                               {50, 100, 500});
}

CSpinEdit* CChannelPage::AddPollPeriod()
{
    return m_pollPeriod =
               AddNumber(ChannelField::PollPeriod, QStringLiteral("Период опроса, мс:"), 6, 0, 600000);
}

QLineEdit* CChannelPage::AddKey()
{
    auto* key = new QLineEdit(this);
    key->setMaxLength(int(kChannelKeyMaxChars));
    key->setMinimumWidth(key->fontMetrics().horizontalAdvance(QString(int(kChannelKeyMaxChars) + 2, 'W')));
    AddRow(ChannelField::Key, QStringLiteral("Ключ шифрования:"), key);
    return m_key = key;
}

CIpAddressEdit* CChannelPage::AddAddress()
{
    auto* address = new CIpAddressEdit(this);
    AddRow(ChannelField::IpAddress, QStringLiteral("IP-адрес:"), address);
    return m_address = address;
}

void CChannelPage::SetAddress(uint32_t address)
{
    m_address->SetAddress(address);
}

uint32_t CChannelPage::Address() const
{
    return m_address->Address();
}
