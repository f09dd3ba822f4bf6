#pragma once
#include <QDialog>
#include <functional>

class QProgressBar;

// The progress window: an animated busy bar under the operation's caption.
// The operator cannot dismiss it: Escape, Enter and the window's close
// button do nothing; only the program closes it.
class CDlgProgress : public QDialog {
    Q_OBJECT
   public:
    explicit CDlgProgress(const QString& caption, QWidget* parent = nullptr);

    // Closes the window for good.
    void Finish();

   public Q_SLOTS:
    void accept() override {}
    void reject() override {}

   protected:
    void closeEvent(QCloseEvent* event) override;

   private:
    QProgressBar* m_bar;
    bool m_finished = false;
};

// Runs the operation on a worker thread (CThread) while the GUI thread shows
// the progress window and keeps it animated; then closes it and brings the
// main window to the front. Message boxes the operation asks for are shown
// on the GUI thread meanwhile. Returns when the operation has returned.
void RunWithProgress(const QString& caption, const std::function<void()>& operation, QWidget* mainWindow);
