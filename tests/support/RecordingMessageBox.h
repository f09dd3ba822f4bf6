#pragma once
#include "platform/MessageBox.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

// A message box for tests: installed for its lifetime, it records every box
// and answers with the next scripted answer, else the box's default button.
// Boxes may come from any thread.
class CRecordingMessageBox : public IMessageBox {
   public:
    struct Box {
        std::string m_text;
        std::string m_caption;
        unsigned m_flags = 0;
    };

    CRecordingMessageBox() : m_scope(this) {}

    int Show(std::string_view text, std::string_view caption, unsigned flags) override;

    // The answers of the next boxes, in order.
    void Answer(std::initializer_list<int> answers);
    std::vector<Box> Boxes() const;
    // The texts shown so far, in order.
    std::vector<std::string> Texts() const;
    void Clear();

   private:
    mutable std::mutex m_lock;
    std::vector<Box> m_boxes;
    std::deque<int> m_answers;
    CScopedMessageBox m_scope;
};
