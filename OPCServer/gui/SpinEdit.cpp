#include "gui/SpinEdit.h"

#include <QLineEdit>
#include <algorithm>

namespace {

// Steps closer than this belong to one press of a button (auto-repeat).
constexpr qint64 kSamePressMs = 600;

}  // namespace

CSpinEdit::CSpinEdit(int editLimit, int spinMin, int spinMax, Acceleration acceleration, QWidget* parent)
    : QAbstractSpinBox(parent), m_spinMin(spinMin), m_spinMax(spinMax), m_acceleration(acceleration)
{
    lineEdit()->setMaxLength(editLimit);
    setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    setAccelerated(false);  // the steps above are the acceleration
    setKeyboardTracking(false);
}

int64_t CSpinEdit::Value() const
{
    const QString digits = text().trimmed();
    bool ok = false;
    const qlonglong value = digits.toLongLong(&ok);
    return ok ? int64_t(value) : kNotANumber;
}

void CSpinEdit::SetValue(int64_t value)
{
    lineEdit()->setText(QString::number(value));
}

void CSpinEdit::stepBy(int steps)
{
    if (!m_lastStep.isValid() || m_lastStep.elapsed() > kSamePressMs) {
        m_holdStart.start();
    }
    m_lastStep.start();
    const qint64 held = m_holdStart.elapsed();
    const int increment = m_acceleration[held >= 4000 ? 2 : held >= 2000 ? 1 : 0];
    const int64_t current = Value() == kNotANumber ? m_spinMin : Value();
    const int64_t next = std::clamp<int64_t>(current + int64_t(steps) * increment, m_spinMin, m_spinMax);
    SetValue(next);
    selectAll();
}

QValidator::State CSpinEdit::validate(QString& input, int& /*pos*/) const
{
    for (const QChar c : input) {
        if (!c.isDigit()) {
            return QValidator::Invalid;
        }
    }
    return QValidator::Acceptable;
}

QAbstractSpinBox::StepEnabled CSpinEdit::stepEnabled() const
{
    const int64_t value = Value();
    if (value == kNotANumber) {
        return StepUpEnabled | StepDownEnabled;
    }
    StepEnabled enabled = StepNone;
    if (value < m_spinMax) {
        enabled |= StepUpEnabled;
    }
    if (value > m_spinMin) {
        enabled |= StepDownEnabled;
    }
    return enabled;
}
