#include "gui/DlgChannel.h"

#include "gui/DlgChannelCOM.h"
#include "gui/DlgChannelTCP.h"
#include "gui/DlgChannelUDP.h"
#include "gui/DlgPAS.h"
#include "gui/FieldFocus.h"
#include "gui/Icons.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

// The name field takes more than a name may hold, so that an overlong name
// is refused with its message rather than cut.
constexpr int kNameEditLimit = 128;

CChannelPage* MakePage(uint8_t kind, QWidget* parent)
{
    switch (kind) {
        case kKindChannelCOM:
            return new CDlgChannelCOM(parent);
        case kKindChannelTCP:
            return new CDlgChannelTCP(parent);
        default:
            return new CDlgChannelUDP(parent);
    }
}

}  // namespace

CDlgChannel::CDlgChannel(const CLevelRoot& root, const CLevelChannel* edited, QWidget* parent)
    : QDialog(parent),
      m_root(root),
      m_edited(edited),
      m_form(edited != nullptr ? ChannelFormOf(*edited) : NewChannelForm(root)),
      m_name(new QLineEdit(this)),
      m_tabs(new QTabWidget(this)),
      m_page(MakePage(m_form.Kind(), m_tabs)),
      m_pas(new CDlgPAS(m_tabs))
{
    setObjectName("CDlgChannel");
    setWindowTitle(QStringLiteral("Параметры канала"));
    setWindowIcon(Icon(GuiIcon::Channel));
    m_name->setMaxLength(kNameEditLimit);
    m_name->setText(QString::fromStdString(m_form.m_name));

    m_tabs->addTab(m_page, QStringLiteral("Связь"));
    m_tabs->addTab(m_pas, QStringLiteral("ПАС/ПАС300"));
    m_page->Load(m_form);
    m_pas->Load(m_form);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Отмена"));
    connect(buttons, &QDialogButtonBox::accepted, this, &CDlgChannel::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CDlgChannel::reject);

    auto* name = new QFormLayout;
    name->addRow(QStringLiteral("Имя канала:"), m_name);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(name);
    layout->addWidget(m_tabs);
    layout->addWidget(buttons);
    m_tabs->setCurrentIndex(0);
    m_name->setFocus();
}

QWidget* CDlgChannel::Field(ChannelField field) const
{
    return field == ChannelField::Name ? m_name : m_page->Field(field);
}

void CDlgChannel::accept()
{
    CChannelForm form = m_form;
    form.m_name = m_name->text().toStdString();
    m_pas->Store(form);
    m_page->Store(form);
    if (const std::optional<CFormRefusal> refusal = CheckChannelForm(form, m_root, m_edited)) {
        ShowRefusal(*refusal);
        QWidget* field = Field(refusal->m_field);
        if (field != nullptr && field != m_name) {
            m_tabs->setCurrentWidget(m_page);
        }
        SelectAndFocus(field);
        return;
    }
    m_form = form;
    QDialog::accept();
}
