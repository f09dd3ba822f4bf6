#pragma once
#include "platform/MessageBox.h"

// The GUI's message box: a QMessageBox with the caption, the icon and the
// buttons of the flags, owned by the active window. A box asked for on
// another thread (a long operation's worker) is shown on the GUI thread,
// and the asking thread waits for the answer.
class CQtMessageBox : public IMessageBox {
   public:
    int Show(std::string_view text, std::string_view caption, unsigned flags) override;
};
