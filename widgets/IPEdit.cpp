#include "widgets/IPEdit.h"

#include <qdrawutil.h>
#include <QApplication>
#include <QFocusEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QRawFont>

#include <algorithm>
#include <cstdlib>

#include "protocol/IPAddressText.h"

namespace {

// Font size in points and height in pixels, whichever of the two the font was given in.
int FontPoints(const QFont& font, int dpi) {
    if (font.pointSizeF() > 0)
        return qRound(font.pointSizeF());
    return qRound(font.pixelSize() * 72.0 / dpi);
}

int FontPixels(const QFont& font, int dpi) {
    if (font.pixelSize() > 0)
        return font.pixelSize();
    return qRound(font.pointSizeF() * dpi / 72.0);
}

constexpr int kDotPointSize = 18;
constexpr int kClientEdgeWidth = 2;  // the sunken 3-D edge of a single border

}  // namespace

// The area inside the border: holds the fields (which it clips, as the window's client area
// would) and paints the background and the dots behind them.
class TIPEdit::ClientArea : public QWidget {
  public:
    explicit ClientArea(TIPEdit& owner) : QWidget(&owner), owner_(owner) {}

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        owner_.PaintClient(painter);
    }

  private:
    TIPEdit& owner_;
};

TIPEdit::TIPEdit(QWidget* parent) : QWidget(parent) {
    client_ = new ClientArea(*this);
    for (int i = 0; i < static_cast<int>(fields_.size()); ++i) {
        fields_[i] = new TIPFieldEdit(*this, i, client_);
    }
    // The fields are the tab stops; focus that reaches the control itself goes on to field 0.
    setFocusPolicy(Qt::NoFocus);

    QFont f = font();
    f.setPointSize(9);
    f.setBold(true);
    setFont(f);
    SetColor(palette().color(QPalette::Window));
    SetCursor(QCursor(Qt::IBeamCursor));
    resize(125, 21);
    LayoutFields();

    focusWatch_ = connect(qApp, &QApplication::focusChanged, this,
                          [this](QWidget* old, QWidget* now) { FocusChanged(old, now); });
}

TIPEdit::~TIPEdit() {
    // Children die after this body; focus moving off a dying field must not reach us then.
    disconnect(focusWatch_);
}

QString TIPEdit::IPString() const {
    for (const TIPFieldEdit* field : fields_) {
        if (field->FieldError())
            return QStringLiteral("255");
    }
    kelvo::IPOctets octets{};
    for (std::size_t i = 0; i < fields_.size(); ++i)
        octets[i] = fields_[i]->FieldValue();
    return QString::fromStdString(kelvo::FormatIPString(octets));
}

void TIPEdit::SetIPString(const QString& text) {
    const std::optional<kelvo::IPOctets> octets = kelvo::ParseIPString(text.toStdString());
    if (!octets)
        return;
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        // Value first: validation of the new text then finds nothing to report.
        fields_[i]->StoreValue((*octets)[i]);
        fields_[i]->SetFieldText(QString::number((*octets)[i]));
    }
}

bool TIPEdit::Error() const {
    return std::any_of(fields_.begin(), fields_.end(),
                       [](const TIPFieldEdit* field) { return field->FieldError(); });
}

bool TIPEdit::ReadOnly() const {
    return fields_[0]->isReadOnly();
}

void TIPEdit::SetReadOnly(bool readOnly) {
    if (readOnly == ReadOnly())
        return;
    for (TIPFieldEdit* field : fields_)
        field->setReadOnly(readOnly);
}

void TIPEdit::SetTabStop(bool tabStop) {
    if (tabStop == tabStop_)
        return;
    tabStop_ = tabStop;
    for (TIPFieldEdit* field : fields_) {
        field->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
    }
}

void TIPEdit::SetCursor(const QCursor& cursor) {
    setCursor(cursor);
    client_->setCursor(cursor);
    for (TIPFieldEdit* field : fields_)
        field->setCursor(cursor);
}

void TIPEdit::SetBorderStyle(TBorderStyle style) {
    if (style == borderStyle_)
        return;
    borderStyle_ = style;
    LayoutFields();
    update();
}

QColor TIPEdit::Color() const {
    return palette().color(QPalette::Window);
}

void TIPEdit::SetColor(const QColor& color) {
    QPalette p = palette();
    p.setColor(QPalette::Window, color);
    p.setColor(QPalette::Base, color);  // what the fields fill with
    setPalette(p);
}

void TIPEdit::FocusNextField(bool selectAll) {
    const int current = FocusedField();
    if (current < 0 || current + 1 >= static_cast<int>(fields_.size()))
        return;
    TIPFieldEdit* next = fields_[current + 1];
    if (selectAll) {
        next->selectAll();
    } else {
        next->setCursorPosition(0);
    }
    next->setFocus(Qt::OtherFocusReason);
}

void TIPEdit::FocusPreviousField(bool selectAll) {
    const int current = FocusedField();
    if (current <= 0)
        return;
    TIPFieldEdit* previous = fields_[current - 1];
    if (selectAll) {
        previous->selectAll();
    } else {
        previous->setCursorPosition(std::min(3, static_cast<int>(previous->text().size())));
    }
    previous->setFocus(Qt::OtherFocusReason);
}

void TIPEdit::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayoutFields();
}

void TIPEdit::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        dotFit_.reset();
        LayoutFields();
    }
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange) {
        update();
        client_->update();
    }
}

void TIPEdit::paintEvent(QPaintEvent*) {
    if (borderStyle_ != TBorderStyle::bsSingle)
        return;
    QPainter painter(this);
    qDrawWinPanel(&painter, rect(), palette(), /*sunken=*/true);
}

void TIPEdit::mousePressEvent(QMouseEvent* event) {
    // Presses on the border, the gaps and the dots arrive here; the fields take their own.
    if (event->button() == Qt::LeftButton && FocusedField() < 0) {
        fields_[0]->setFocus(Qt::MouseFocusReason);
    }
    event->accept();
}

void TIPEdit::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    fields_[0]->setFocus(Qt::OtherFocusReason);
}

TIPEdit::Metrics TIPEdit::ComputeMetrics() const {
    const int dpi = logicalDpiY();
    Metrics m{};
    m.fieldWidth = 3 * std::abs(FontPoints(font(), dpi));
    m.gap = m.fieldWidth / 9 + 1;
    m.fieldHeight = height() - 2;
    m.top = (height() - std::abs(FontPixels(font(), dpi)) - 6) / 2 + 1;
    m.firstLeft = (width() - 4 * m.fieldWidth - 3 * m.gap - 4) / 2;
    return m;
}

int TIPEdit::BorderWidth() const {
    return borderStyle_ == TBorderStyle::bsSingle ? kClientEdgeWidth : 0;
}

void TIPEdit::LayoutFields() {
    const int b = BorderWidth();
    client_->setGeometry(b, b, std::max(0, width() - 2 * b), std::max(0, height() - 2 * b));
    const Metrics m = ComputeMetrics();
    for (int i = 0; i < static_cast<int>(fields_.size()); ++i) {
        fields_[i]->setGeometry(m.firstLeft + i * (m.fieldWidth + m.gap), m.top, m.fieldWidth,
                                std::max(0, m.fieldHeight));
    }
}

void TIPEdit::PaintClient(QPainter& painter) const {
    // No inner frame: the control's inner border is 0 wide.
    painter.fillRect(client_->rect(), Color());

    const Metrics m = ComputeMetrics();
    QFont bold = font();
    bold.setBold(true);
    // Found once for a font, a gap and a resolution; a font change forgets it.
    if (!dotFit_ || dotFit_->gap != m.gap || dotFit_->dpi != logicalDpiY())
        dotFit_ = FitDot(bold, m.gap);
    const DotFit& fit = *dotFit_;
    // The platform places text by the top of its cell; Qt by the baseline.
    const int cellTop = m.top - kDotPointSize + std::abs(FontPoints(font(), logicalDpiY()));
    const int baseline = cellTop + fit.ascent;
    painter.setPen(palette().color(QPalette::WindowText));
    QGlyphRun run;
    if (fit.face.isValid()) {
        run.setRawFont(fit.face);
        run.setGlyphIndexes({fit.glyph});
        run.setPositions({QPointF(0, 0)});
    } else {
        if (fit.pixels > 0)
            bold.setPixelSize(fit.pixels);
        else
            bold.setPointSize(kDotPointSize);
        painter.setFont(bold);
    }
    for (int k = 0; k < 3; ++k) {
        // Each dot starts at the right edge of field k, centred in the gap after it.
        const int gapLeft = m.firstLeft + m.fieldWidth + k * (m.fieldWidth + m.gap);
        const QPoint origin(gapLeft + (m.gap - fit.ink.width()) / 2 - fit.ink.left(), baseline);
        if (fit.face.isValid())
            painter.drawGlyphRun(origin, run);
        else
            painter.drawText(origin, QStringLiteral("."));
    }
}

TIPEdit::DotFit TIPEdit::FitDot(const QFont& bold, int gap) const {
    const QString dot = QStringLiteral(".");
    // The fields cover everything but the gaps, so the dot has to fit a gap. Common scalable
    // fonts draw a wider full stop at this size than the bitmap sans the layout was made for:
    // shrink it until it fits. The sizes are those of the control's face scaled, which gives
    // the glyph box, ascent and picture a font matched at each size gives, without matching one.
    const QRawFont face = QRawFont::fromFont(bold);
    const quint32 glyph = face.isValid() ? face.glyphIndexesForString(dot).value(0) : 0;
    DotFit fit;
    fit.gap = gap;
    fit.dpi = logicalDpiY();
    if (glyph != 0) {
        int pixels = qRound(kDotPointSize * logicalDpiY() / 72.0);
        QRawFont sized = face;
        sized.setPixelSize(pixels);
        fit.ascent = qRound(sized.ascent());
        while (sized.isValid()) {
            const QRectF box = sized.boundingRect(glyph);
            fit.ink =
                QRect(qRound(box.x()), qRound(box.y()), qRound(box.width()), qRound(box.height()));
            if (fit.ink.width() <= gap || pixels <= 4) {
                fit.face = sized;
                fit.glyph = glyph;
                return fit;
            }
            sized.setPixelSize(--pixels);
            fit.pixels = pixels;
        }
        fit.pixels = 0;
    }
    // A face that cannot be scaled (a bitmap font): each trial size is matched.
    QFont trial = bold;
    trial.setPointSize(kDotPointSize);
    fit.ascent = QFontMetrics(trial, client_).ascent();
    fit.ink = QFontMetrics(trial, client_).tightBoundingRect(dot);
    while (fit.ink.width() > gap) {
        const int pixels = QFontInfo(trial).pixelSize();
        if (pixels <= 4)
            break;
        trial.setPixelSize(pixels - 1);
        fit.pixels = pixels - 1;
        fit.ink = QFontMetrics(trial, client_).tightBoundingRect(dot);
    }
    return fit;
}

int TIPEdit::FocusedField() const {
    for (int i = 0; i < static_cast<int>(fields_.size()); ++i) {
        if (fields_[i]->hasFocus())
            return i;
    }
    return -1;
}

bool TIPEdit::Contains(const QWidget* widget) const {
    return widget != nullptr && (widget == this || isAncestorOf(widget));
}

void TIPEdit::FocusChanged(QWidget* old, QWidget* now) {
    const bool wasInside = Contains(old);
    const bool isInside = Contains(now);
    // Only moves between controls count; the window losing and regaining activation does not.
    if (isInside && !wasInside && old != nullptr) {
        if (now != fields_[0])
            fields_[0]->setFocus(Qt::OtherFocusReason);
        if (OnEnter)
            OnEnter(this);
    } else if (wasInside && !isInside && now != nullptr) {
        if (OnExit)
            OnExit(this);
    }
}

void TIPEdit::RaiseError(int position) {
    if (OnError)
        OnError(this, position);
}

void TIPEdit::RaiseChange() {
    if (OnChange)
        OnChange(this);
}
