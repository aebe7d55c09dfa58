#pragma once

#include <QColor>
#include <QCursor>
#include <QRawFont>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>

#include "widgets/IPFieldEdit.h"

class TIPEdit;

// Raised by a field whose text is not a number in its range; Field is its position, 0 to 3.
using TIPErrorEvent = std::function<void(TIPEdit* Sender, int Field)>;

enum class TBorderStyle { bsNone, bsSingle };

// The IPv4 address control: one bordered box holding four octet fields with dots painted
// between them. Pages read IPString.
//
// Event handlers run inside Qt's event delivery: a handler that can throw must be wrapped
// (TForm1::Run) so nothing escapes into the event loop.
class TIPEdit : public QWidget {
    Q_OBJECT

  public:
    using TNotifyEvent = std::function<void(TIPEdit* Sender)>;

    explicit TIPEdit(QWidget* parent = nullptr);
    ~TIPEdit() override;

    // Dotted decimal text of the four accepted values, or "255" alone while a field's error is
    // being raised.
    QString IPString() const;
    // Sets all four fields from dotted text, or none when the text lacks a "." after one of the
    // first three octets (see kelvo::ParseIPString). Raises no events.
    void SetIPString(const QString& text);

    // True while some field holds its error mark (only while OnError runs).
    bool Error() const;

    bool ReadOnly() const;
    void SetReadOnly(bool readOnly);

    // Whether Tab stops at the fields. The control itself is never a tab stop of its own in Qt's
    // chain: Tab lands on its fields, which hand a focus coming from outside to field 0.
    bool TabStop() const { return tabStop_; }
    void SetTabStop(bool tabStop);

    QCursor Cursor() const { return cursor(); }
    void SetCursor(const QCursor& cursor);

    TBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TBorderStyle style);

    // Background of the control and of its fields; the window colour at start.
    QColor Color() const;
    void SetColor(const QColor& color);

    TIPFieldEdit* Field(int position) const { return fields_.at(position); }

    // Moves the focus from the focused field to its right (left) neighbour, whose whole text is
    // then selected or whose caret stands at 0 (at the end of its text). No focused field, or no
    // neighbour: nothing happens.
    void FocusNextField(bool selectAll);
    void FocusPreviousField(bool selectAll);

    TNotifyEvent OnChange;
    TIPErrorEvent OnError;
    TNotifyEvent OnEnter;
    TNotifyEvent OnExit;

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

  private:
    friend class TIPFieldEdit;
    class ClientArea;

    // Field geometry from the control's size and font, in client-area coordinates.
    struct Metrics {
        int fieldWidth;
        int gap;
        int fieldHeight;
        int top;
        int firstLeft;
    };
    Metrics ComputeMetrics() const;
    int BorderWidth() const;
    void LayoutFields();
    void PaintClient(QPainter& painter) const;
    // The dots' size for a gap and a resolution: the pixel size they are drawn at (0: the nominal
    // point size), the full stop's ink box there and the nominal size's ascent, which places
    // them; with a scalable face, the face at that size and the full stop's glyph in it.
    struct DotFit {
        int gap = 0;
        int dpi = 0;
        int pixels = 0;
        QRect ink;
        int ascent = 0;
        QRawFont face;
        quint32 glyph = 0;
    };
    DotFit FitDot(const QFont& bold, int gap) const;
    int FocusedField() const;
    bool Contains(const QWidget* widget) const;
    void FocusChanged(QWidget* old, QWidget* now);

    void RaiseError(int position);
    void RaiseChange();

    ClientArea* client_ = nullptr;
    mutable std::optional<DotFit> dotFit_;
    std::array<TIPFieldEdit*, 4> fields_{};
    TBorderStyle borderStyle_ = TBorderStyle::bsSingle;
    bool tabStop_ = true;
    QMetaObject::Connection focusWatch_;
};
