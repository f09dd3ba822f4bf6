#pragma once
#include <QTreeWidget>

// The configuration tree. A left double-click never expands or collapses an
// item and never starts editing: it is handed to the main window, which
// edits the channel under it.
class CTreeCtrlX : public QTreeWidget {
    Q_OBJECT
   public:
    explicit CTreeCtrlX(QWidget* parent = nullptr);

   Q_SIGNALS:
    void DoubleClicked(QTreeWidgetItem* item);

   protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
