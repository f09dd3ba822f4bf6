#pragma once
#include <QAbstractSpinBox>
#include <QElapsedTimer>
#include <array>
#include <cstdint>

// A numeric edit field with its spin buttons, as the dialogs pair them: the
// field takes up to its edit limit of digits, whatever their value, and the
// range is checked on OK; the buttons move the value within the spin's own
// range, faster the longer they are held.
class CSpinEdit : public QAbstractSpinBox {
    Q_OBJECT
   public:
    // Step at once, after 2 s and after 4 s of holding a button.
    using Acceleration = std::array<int, 3>;
    // What a button does when no acceleration is set: 1, then 5 after 2 s,
    // then 20 (after 5 s, counted here from 4 s).
    static constexpr Acceleration kDefaultAcceleration = {1, 5, 20};
    // The value of a field that holds no number; every range refuses it.
    static constexpr int64_t kNotANumber = INT64_MIN;

    CSpinEdit(int editLimit, int spinMin, int spinMax, Acceleration acceleration = kDefaultAcceleration,
              QWidget* parent = nullptr);

    int64_t Value() const;
    void SetValue(int64_t value);

    void stepBy(int steps) override;
    QValidator::State validate(QString& input, int& pos) const override;

   protected:
    StepEnabled stepEnabled() const override;

   private:
    int m_spinMin;
    int m_spinMax;
    Acceleration m_acceleration;
    QElapsedTimer m_holdStart;
    QElapsedTimer m_lastStep;
};
