#include "widgets/IPFieldEdit.h"

#include <QFocusEvent>
#include <QKeyEvent>

#include "protocol/IPAddressText.h"
#include "widgets/IPEdit.h"

namespace {

enum class KeyKind { Digit, Dot, Backspace, OtherCharacter, NotACharacter };

// What the platform would turn a key press into: a typed character, or a key the edit handles
// on its own (cursor keys, Delete, the Insert/Delete clipboard shortcuts, function keys).
KeyKind Classify(const QKeyEvent& event) {
    const int key = event.key();
    const Qt::KeyboardModifiers mods = event.modifiers();
    const bool control = (mods & Qt::ControlModifier) && !(mods & Qt::AltModifier);
    if (key == Qt::Key_Backspace) {
        // Ctrl+Backspace types DEL, not a backspace.
        return control ? KeyKind::OtherCharacter : KeyKind::Backspace;
    }
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
        return KeyKind::OtherCharacter;
    }
    switch (key) {
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_Insert:
        case Qt::Key_Delete:
            return KeyKind::NotACharacter;
        default:
            break;
    }
    // Control chords are control characters (copy, cut, paste, undo, select all ...): swallowed.
    if (control)
        return KeyKind::OtherCharacter;
    const QString text = event.text();
    if (text.isEmpty())
        return KeyKind::NotACharacter;
    const QChar c = text.at(0);
    if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
        return KeyKind::Digit;
    if (c == QLatin1Char('.'))
        return KeyKind::Dot;
    return KeyKind::OtherCharacter;
}

}  // namespace

TIPFieldEdit::TIPFieldEdit(TIPEdit& owner, int position, QWidget* parent)
    : QLineEdit(parent), owner_(owner), position_(position) {
    setFrame(false);
    setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    setMaxLength(3);
    // Digits are filtered key by key; an input method or a drop would bypass that.
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setAcceptDrops(false);
    // QLineEdit keeps 2 pixels each side for itself; three digits need all of a 27-pixel field.
    setTextMargins(-2, 0, -2, 0);
    setText(QStringLiteral("0"));
    connect(this, &QLineEdit::textChanged, this, [this] {
        if (!settingText_)
            Change();
    });
}

int TIPFieldEdit::CaretColumn() const {
    return hasSelectedText() ? selectionStart() : cursorPosition();
}

void TIPFieldEdit::SetFieldText(const QString& text) {
    if (text == this->text())
        return;
    settingText_ = true;
    setText(text);
    setCursorPosition(0);
    settingText_ = false;
    Change();
}

void TIPFieldEdit::Change() {
    const QString shown = text();
    if (!shown.isEmpty()) {
        const std::optional<int> value = kelvo::ReadDecimalOctet(shown.toStdString());
        if (!value || *value < minValue_ || *value > maxValue_) {
            fieldError_ = true;
            owner_.RaiseError(position_);
            // Validation runs again on the replacement, clears the mark and stores 255 with the
            // caret at the start, so the focus stays here.
            SetFieldText(QStringLiteral("255"));
            return;
        }
        fieldError_ = false;
        if (*value != fieldValue_) {
            fieldValue_ = static_cast<std::uint8_t>(*value);
            owner_.RaiseChange();
        }
    }
    if (!fieldError_ && shown.size() == 3 && CaretColumn() == 3)
        owner_.FocusNextField(true);
}

void TIPFieldEdit::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Right && CaretColumn() >= text().size()) {
        deselect();
        owner_.FocusNextField(false);
        event->accept();
        return;
    }
    if (key == Qt::Key_Left && CaretColumn() == 0) {
        setCursorPosition(0);  // collapses a selection that starts here
        owner_.FocusPreviousField(false);
        event->accept();
        return;
    }
    switch (Classify(*event)) {
        case KeyKind::Digit:
        case KeyKind::NotACharacter:
            QLineEdit::keyPressEvent(event);
            return;
        case KeyKind::Dot:
            if (!hasSelectedText() && !text().isEmpty())
                owner_.FocusNextField(true);
            event->accept();
            return;
        case KeyKind::Backspace:
            if (CaretColumn() == 0) {
                // This field still carries the backspace out, so a selection here is deleted.
                // Qt drops a selection when the focus leaves; the platform edit keeps it.
                const int start = selectionStart();
                const int length = selectionLength();
                owner_.FocusPreviousField(false);
                if (length > 0)
                    setSelection(start, length);
            }
            QLineEdit::keyPressEvent(event);
            return;
        case KeyKind::OtherCharacter:
            event->accept();
            return;
    }
}

void TIPFieldEdit::focusInEvent(QFocusEvent* event) {
    // QLineEdit selects everything when tabbed into; entering a field keeps its selection as is.
    QFocusEvent plain(event->type(), Qt::OtherFocusReason);
    QLineEdit::focusInEvent(&plain);
}
