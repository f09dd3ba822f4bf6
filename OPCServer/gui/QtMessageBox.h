#pragma once
#include "platform/MessageBox.h"

#include <deque>
#include <future>
#include <memory>
#include <mutex>

class QTimer;

// The GUI's message box: a QMessageBox with the caption, the icon and the
// buttons of the flags, owned by the active window. A box asked for on
// another thread (a long operation's worker) is shown on the GUI thread,
// which must be running its event loop, and the asking thread waits for
// the answer.
class CQtMessageBox : public IMessageBox {
   public:
    static constexpr int kPumpMs = 50;

    // Made on the GUI thread.
    CQtMessageBox();
    ~CQtMessageBox() override;
    int Show(std::string_view text, std::string_view caption, unsigned flags) override;

   private:
    void ShowPending();

    std::unique_ptr<QTimer> m_pump;
    std::mutex m_pendingLock;
    std::deque<std::packaged_task<int()>> m_pending;
};
