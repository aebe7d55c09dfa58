#pragma once

#include <QLineEdit>

#include <cstdint>

class TIPEdit;

// One octet of a TIPEdit: a borderless, centred edit of at most three digits that keeps its
// last accepted number in FieldValue and hands navigation to its owner.
class TIPFieldEdit : public QLineEdit {
    Q_OBJECT

  public:
    TIPFieldEdit(TIPEdit& owner, int position, QWidget* parent);

    // Position of the field in its control, 0 to 3 from left to right.
    int Position() const { return position_; }

    // The last entry was not a number in range; true only while the owner's OnError runs.
    bool FieldError() const { return fieldError_; }
    // The last accepted value; what the owner's IPString reports.
    std::uint8_t FieldValue() const { return fieldValue_; }
    // The accepted range. Fixed: an invalid entry is replaced by "255", which must itself pass.
    std::uint8_t MinValue() const { return minValue_; }
    std::uint8_t MaxValue() const { return maxValue_; }

    // Where the selection starts (or the caret stands) within the line; 0 is before the first
    // character.
    int CaretColumn() const;

    // Replaces the shown text the way the platform edit does it: the caret goes to the start and
    // validation runs once, seeing the caret there. All text this code sets goes through here.
    void SetFieldText(const QString& text);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

  private:
    friend class TIPEdit;

    void Change();
    void StoreValue(std::uint8_t value) { fieldValue_ = value; }

    TIPEdit& owner_;
    const int position_;
    bool fieldError_ = false;
    const std::uint8_t minValue_ = 0;
    const std::uint8_t maxValue_ = 255;
    std::uint8_t fieldValue_ = 0;
    bool settingText_ = false;
};
