#pragma once
#include <QFrame>
#include <array>
#include <cstdint>

class QLineEdit;

// An IPv4 address field: four parts of 0..255 between dots. Typing a third
// digit or a dot moves on to the next part; an empty part counts as 0.
class CIpAddressEdit : public QFrame {
    Q_OBJECT
   public:
    explicit CIpAddressEdit(QWidget* parent = nullptr);

    // a.b.c.d as a * 2^24 + b * 2^16 + c * 2^8 + d.
    uint32_t Address() const;
    void SetAddress(uint32_t address);
    QLineEdit* Part(int index) const { return m_parts[size_t(index)]; }

    // The first part selected, with the focus: the field at fault.
    void SelectFirstPart();

   protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

   private:
    std::array<QLineEdit*, 4> m_parts{};
};
