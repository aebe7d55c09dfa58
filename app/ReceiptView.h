#pragma once

#include <QImage>
#include <QWidget>

#include <vector>

#include "printer/VirtualPrinter.h"

// The paper of a virtual printer as a picture 576 dots wide: font A cells of 12 x 24 dots for
// single-byte text and 24 x 24 for Chinese, from installed fonts, with sizes and bold applied;
// images dot for dot; a tear line where the paper was cut. Only what is in view is painted, so
// a long roll costs nothing until it is looked at.
class TReceiptView : public QWidget {
    Q_OBJECT

  public:
    explicit TReceiptView(QWidget* parent = nullptr);

    // A copy of the paper, oldest first; the view keeps its place at the bottom when it was there.
    void SetPaper(std::vector<kelvo::printer::PaperItem> paper);
    const std::vector<kelvo::printer::PaperItem>& Paper() const { return paper_; }

    // The whole roll as one picture (for saving as PNG and for tests).
    QImage Render() const;
    // The height in dots of one item on the paper.
    static int ItemHeight(const kelvo::printer::PaperItem& item);

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void PaintRange(QPainter& painter, int top, int bottom) const;

    std::vector<kelvo::printer::PaperItem> paper_;
    std::vector<int> tops_;  // each item's top, in dots; one more entry for the end
};
