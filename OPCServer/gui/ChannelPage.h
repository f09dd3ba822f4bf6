#pragma once
#include "config/ChannelForm.h"
#include "gui/SpinEdit.h"

#include <QLineEdit>
#include <QWidget>
#include <map>

class CIpAddressEdit;
class QFormLayout;

// The connection page of one channel kind on the dialog's first tab. Each
// kind lays out its fields; the fields that several kinds share are made
// here, with the same limits everywhere.
class CChannelPage : public QWidget {
    Q_OBJECT
   public:
    explicit CChannelPage(QWidget* parent);

    // Shows the page of the form, which is of this page's kind.
    virtual void Load(const CChannelForm& form) = 0;
    // Reads the fields into the form's page as they stand, unchecked.
    virtual void Store(CChannelForm& form) const = 0;

    // The widget of a field on this page, null when the page has none.
    QWidget* Field(ChannelField field) const;

   protected:
    CSpinEdit* AddNumber(ChannelField field, const QString& label, int editLimit, int spinMin, int spinMax,
                         CSpinEdit::Acceleration acceleration = CSpinEdit::kDefaultAcceleration);
    CSpinEdit* AddAttempts();
    CSpinEdit* AddResponseTimeout();
    CSpinEdit* AddPause();
    CSpinEdit* AddPollPeriod();
    QLineEdit* AddKey();
    CIpAddressEdit* AddAddress();
    void AddRow(ChannelField field, const QString& label, QWidget* widget);

    // The fields a page shares with other kinds, for the members its page
    // record has: timeout, attempts and pause everywhere; address, key and
    // poll period on the network pages.
    template <class Page>
    void LoadShared(const Page& page);
    template <class Page>
    void StoreShared(Page& page) const;

    CSpinEdit* m_attempts = nullptr;
    CSpinEdit* m_responseTimeout = nullptr;
    CSpinEdit* m_pause = nullptr;
    CIpAddressEdit* m_address = nullptr;
    QLineEdit* m_key = nullptr;
    CSpinEdit* m_pollPeriod = nullptr;

   private:
    void SetAddress(uint32_t address);
    uint32_t Address() const;

    QFormLayout* m_layout;
    std::map<ChannelField, QWidget*> m_fields;
};

template <class Page>
void CChannelPage::LoadShared(const Page& page)
{
    m_attempts->SetValue(page.m_attempts);
    m_responseTimeout->SetValue(page.m_responseTimeout);
    m_pause->SetValue(page.m_pause);
    if constexpr (requires { page.m_key; }) {
        SetAddress(page.m_ipAddress);
        m_key->setText(QString::fromStdString(page.m_key));
        m_pollPeriod->SetValue(page.m_pollPeriod);
    }
}

template <class Page>
void CChannelPage::StoreShared(Page& page) const
{
    page.m_attempts = m_attempts->Value();
    page.m_responseTimeout = m_responseTimeout->Value();
    page.m_pause = m_pause->Value();
    if constexpr (requires { page.m_key; }) {
        page.m_ipAddress = Address();
        page.m_key = m_key->text().toStdString();
        page.m_pollPeriod = m_pollPeriod->Value();
    }
}
