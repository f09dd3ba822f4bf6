#include "support/RecordingMessageBox.h"

int CRecordingMessageBox::Show(std::string_view text, std::string_view caption, unsigned flags)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_boxes.push_back({std::string(text), std::string(caption), flags});
    if (m_answers.empty()) {
        return DefaultButtonAnswer(flags);
    }
    const int answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

void CRecordingMessageBox::Answer(std::initializer_list<int> answers)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_answers.insert(m_answers.end(), answers);
}

std::vector<CRecordingMessageBox::Box> CRecordingMessageBox::Boxes() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_boxes;
}

std::vector<std::string> CRecordingMessageBox::Texts() const
{
    std::vector<std::string> texts;
    for (const Box& box : Boxes()) {
        texts.push_back(box.m_text);
    }
    return texts;
}

void CRecordingMessageBox::Clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_boxes.clear();
    m_answers.clear();
}
