#include "app/ReceiptView.h"

#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

namespace {
constexpr int kMargin = kelvo::paint::ReceiptPainter::kMargin;
}  // namespace

TReceiptView::TReceiptView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("ReceiptView"));
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, QColor(0xB0, 0xB0, 0xB0));
    setPalette(palette);
}

void TReceiptView::SetPaper(std::vector<kelvo::printer::PaperItem> paper) {
    painter_.SetPaper(std::move(paper));
    Laid();
}

void TReceiptView::Append(uint64_t firstKept, uint64_t from,
                          std::vector<kelvo::printer::PaperItem> items) {
    painter_.Append(firstKept, from, std::move(items));
    Laid();
}

void TReceiptView::Laid() {
    setFixedSize(sizeHint());
    update();
}

QSize TReceiptView::sizeHint() const {
    return {painter_.PaperWidth() + 2 * kMargin, painter_.RollHeight() + 2 * kMargin};
}

void TReceiptView::SetPaperWidth(int dots) {
    if (dots == painter_.PaperWidth())
        return;
    painter_.SetPaperWidth(dots);
    Laid();
}

void TReceiptView::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.translate(kMargin, kMargin);
    const QRect shown = event->rect().translated(-kMargin, -kMargin);
    const int height = painter_.RollHeight();
    p.setClipRect(QRect(-kMargin, 0, painter_.PaperWidth() + 2 * kMargin, height));
    painter_.Paint(p, std::max(0, shown.top()), std::min(height, shown.bottom() + 1));
}
