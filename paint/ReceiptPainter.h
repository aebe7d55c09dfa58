#pragma once

#include <QCache>
#include <QImage>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "printer/VirtualPrinter.h"

class QPainter;

namespace kelvo::paint {

// The paper of a virtual printer drawn as wide as its paper (576 or 384 dots): font A cells of
// 12 x 24 dots for single-byte text and 24 x 24 for Chinese, from installed fonts, with sizes and
// bold applied; images dot for dot; a tear line where the paper was cut. It draws only the rows
// asked for, so a long roll costs nothing until it is looked at, and each picture is drawn once
// however often it was printed (prints of one NV image share one drawing). Qt GUI only: the
// window's view, the headless printer and `render` all draw with it.
class ReceiptPainter {
  public:
    // Rows of the roll one picture holds at most (about 4 m of paper, 18 MiB): a longer roll
    // renders as its newest part.
    static constexpr int kMaxRenderRows = 32768;
    // Pictures' drawings kept for painting, in bytes.
    static constexpr int kPictureCacheBytes = 32 << 20;
    // Room a view leaves around the paper; a cut's tear line reaches into it.
    static constexpr int kMargin = 8;

    ReceiptPainter();

    // A copy of the paper, oldest first.
    void SetPaper(std::vector<printer::PaperItem> paper);
    // Follows a printer's paper without copying it all again: `items` are its items from number
    // `from` on (counted from its first item ever); those before `firstKept` are gone from it.
    // A `from` that does not continue what is held starts again from there.
    void Append(uint64_t firstKept, uint64_t from, std::vector<printer::PaperItem> items);
    // The number of the item after the last one held.
    uint64_t End() const { return first_ + paper_.size(); }
    const std::vector<printer::PaperItem>& Paper() const { return paper_; }
    // The roll's height in dots.
    int RollHeight() const { return tops_.back(); }
    // The top in dots of item number `item` (counted as Append counts), within the roll.
    int TopOf(uint64_t item) const;
    // The printer's paper width in dots, which its lines are aligned in.
    void SetPaperWidth(int dots) { width_ = dots; }
    int PaperWidth() const { return width_; }

    // Paints the roll's rows [top, bottom) on white paper, the roll's top at the painter's 0.
    void Paint(QPainter& painter, int top, int bottom) const;
    // The roll as one picture (for saving as PNG and for tests): its newest kMaxRenderRows rows.
    QImage Render() const;
    // The same drawn in `canvas`, which grows as needed and is kept for the next: the picture
    // holds it, and is good until `canvas` changes.
    QImage Render(std::vector<uchar>& canvas) const;

  private:
    struct Picture {
        // Tells whether the dots it was drawn from are gone, and their address (the key) may
        // name another picture, without keeping them: the cache counts only its 1-bit drawings.
        std::weak_ptr<const void> owner;
        QImage image;
    };
    void PaintImage(QPainter& painter, const printer::PaperImage& image, int top) const;
    int RenderRows() const { return std::min(tops_.back(), kMaxRenderRows); }
    void RenderIn(QImage& image) const;
    void Laid();

    std::vector<printer::PaperItem> paper_;
    uint64_t first_ = 0;  // the number of paper_[0]
    int width_ = printer::kPaperDots;
    std::vector<int> tops_;  // each item's top, in dots; one more entry for the end
    mutable QCache<quintptr, Picture> pictures_{kPictureCacheBytes};
};

}  // namespace kelvo::paint
