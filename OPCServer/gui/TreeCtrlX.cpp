#include "gui/TreeCtrlX.h"

#include <QMouseEvent>

CTreeCtrlX::CTreeCtrlX(QWidget* parent) : QTreeWidget(parent)
{
    setExpandsOnDoubleClick(false);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void CTreeCtrlX::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QTreeWidget::mouseDoubleClickEvent(event);
        return;
    }
    Q_EMIT DoubleClicked(itemAt(event->position().toPoint()));
}
