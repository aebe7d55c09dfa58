#pragma once

#include <QCache>
#include <QImage>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <vector>

#include "printer/VirtualPrinter.h"

// The paper of a virtual printer as a picture as wide as its paper (576 or 384 dots): font A cells
// of 12 x 24 dots for single-byte text and 24 x 24 for Chinese, from installed fonts, with sizes
// and bold applied; images dot for dot; a tear line where the paper was cut. Only what is in view
// is painted, so a long roll costs nothing until it is looked at, and each picture is drawn once
// however often it was printed (prints of one NV image share one drawing).
class TReceiptView : public QWidget {
    Q_OBJECT

  public:
    explicit TReceiptView(QWidget* parent = nullptr);

    // Rows of the roll one picture holds at most (about 4 m of paper, 18 MiB): a longer roll
    // renders as its newest part.
    static constexpr int kMaxRenderRows = 32768;
    // Pictures' drawings kept for painting, in bytes.
    static constexpr int kPictureCacheBytes = 32 << 20;

    // A copy of the paper, oldest first.
    void SetPaper(std::vector<kelvo::printer::PaperItem> paper);
    // Follows a printer's paper without copying it all again: `items` are its items from number
    // `from` on (counted from its first item ever); those before `firstKept` are gone from it.
    // A `from` that does not continue what is shown starts the view again from there.
    void Append(uint64_t firstKept, uint64_t from, std::vector<kelvo::printer::PaperItem> items);
    // The number of the item after the last one shown.
    uint64_t End() const { return first_ + paper_.size(); }
    const std::vector<kelvo::printer::PaperItem>& Paper() const { return paper_; }
    // The roll's height in dots.
    int RollHeight() const { return tops_.back(); }
    // The top in dots of item number `item` (counted as Append counts), within the roll.
    int TopOf(uint64_t item) const;
    // The printer's paper width in dots, which its lines are aligned in.
    void SetPaperWidth(int dots);
    int PaperWidth() const { return width_; }

    // The roll as one picture (for saving as PNG and for tests): its newest kMaxRenderRows rows.
    QImage Render() const;
    // The height in dots of one item on the paper.
    static int ItemHeight(const kelvo::printer::PaperItem& item);

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    struct Picture {
        std::shared_ptr<const void> owner;  // keeps the dots, and so the key, from being reused
        QImage image;
    };
    void PaintRange(QPainter& painter, int top, int bottom) const;
    void PaintImage(QPainter& painter, const kelvo::printer::PaperImage& image, int top) const;
    void Laid();

    std::vector<kelvo::printer::PaperItem> paper_;
    uint64_t first_ = 0;  // the number of paper_[0]
    int width_ = kelvo::printer::kPaperDots;
    std::vector<int> tops_;  // each item's top, in dots; one more entry for the end
    mutable QCache<quintptr, Picture> pictures_{kPictureCacheBytes};
};
