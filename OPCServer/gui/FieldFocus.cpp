#include "gui/FieldFocus.h"

#include "gui/IpAddressEdit.h"

#include <QAbstractSpinBox>
#include <QLineEdit>

void SelectAndFocus(QWidget* field)
{
    if (field == nullptr) {
        return;
    }
    if (auto* address = qobject_cast<CIpAddressEdit*>(field)) {
        address->SelectFirstPart();
        return;
    }
    if (auto* spin = qobject_cast<QAbstractSpinBox*>(field)) {
        spin->selectAll();
    } else if (auto* edit = qobject_cast<QLineEdit*>(field)) {
        edit->selectAll();
    }
    field->setFocus(Qt::OtherFocusReason);
}
