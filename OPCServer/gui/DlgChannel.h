#pragma once
#include "config/ChannelForm.h"

#include <QDialog>

class CChannelPage;
class CDlgPAS;
class QLineEdit;
class QTabWidget;

// "Параметры канала": the name, the connection page of the channel's kind
// on the tab "Связь" and the PAS models on "ПАС/ПАС300". A new channel
// gets the defaults of a new UDP channel; the kind cannot be changed. OK
// runs the same checks as every other editor of the configuration and
// stays open on the first refusal, with its message and the field at fault
// selected and focused.
class CDlgChannel : public QDialog {
    Q_OBJECT
   public:
    // edited: the channel being edited, null for a new one.
    CDlgChannel(const CLevelRoot& root, const CLevelChannel* edited, QWidget* parent = nullptr);

    // What OK accepted (before OK: what the dialog opened with).
    const CChannelForm& Form() const { return m_form; }

    // The widget of a field, null when the dialog has none for it.
    QWidget* Field(ChannelField field) const;
    QLineEdit* NameEdit() const { return m_name; }
    QTabWidget* Tabs() const { return m_tabs; }
    CChannelPage* ConnectionPage() const { return m_page; }
    CDlgPAS* PasPage() const { return m_pas; }

   public Q_SLOTS:
    void accept() override;

   private:
    const CLevelRoot& m_root;
    const CLevelChannel* m_edited;
    CChannelForm m_form;
    QLineEdit* m_name;
    QTabWidget* m_tabs;
    CChannelPage* m_page;
    CDlgPAS* m_pas;
};
