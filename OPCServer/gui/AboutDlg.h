#pragma once
#include <QDialog>

class QLineEdit;

// "О программе": the program's title, its version and the checksum of the
// installation (AboutChecksum.h).
class CAboutDlg : public QDialog {
    Q_OBJECT
   public:
    CAboutDlg(const QString& checksum, QWidget* parent = nullptr);
    QLineEdit* ChecksumEdit() const { return m_checksum; }

   private:
    QLineEdit* m_checksum;
};
