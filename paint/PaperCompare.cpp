#include "paint/PaperCompare.h"

#include <algorithm>
#include <cstdint>

namespace kelvo::paint {

namespace {

struct Mask {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> black;
    bool At(int x, int y) const { return black[static_cast<size_t>(y) * width + x] != 0; }
};

Mask BlackDots(const QImage& image) {
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    Mask m{grey.width(), grey.height(), {}};
    m.black.resize(static_cast<size_t>(m.width) * m.height);
    for (int y = 0; y < m.height; ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = 0; x < m.width; ++x)
            m.black[static_cast<size_t>(y) * m.width + x] = row[x] < 128;
    }
    return m;
}

// For each dot, whether a dot of `colour` lies within t dots across and down: two passes of
// running counts, so that the tolerance costs the same however wide.
std::vector<uint8_t> Near(const Mask& m, bool colour, int t) {
    const size_t w = static_cast<size_t>(m.width), h = static_cast<size_t>(m.height);
    std::vector<uint8_t> across(w * h), out(w * h);
    std::vector<int> count(std::max(w, h) + 1);
    for (size_t y = 0; y < h; ++y) {
        for (size_t x = 0; x < w; ++x)
            count[x + 1] = count[x] + ((m.black[y * w + x] != 0) == colour);
        for (size_t x = 0; x < w; ++x)
            across[y * w + x] = count[std::min(w, x + t + 1)] > count[x > size_t(t) ? x - t : 0];
    }
    for (size_t x = 0; x < w; ++x) {
        for (size_t y = 0; y < h; ++y)
            count[y + 1] = count[y] + across[y * w + x];
        for (size_t y = 0; y < h; ++y)
            out[y * w + x] = count[std::min(h, y + t + 1)] > count[y > size_t(t) ? y - t : 0];
    }
    return out;
}

}  // namespace

PaperDifference ComparePaper(const QImage& goldenImage, const QImage& nowImage, int tolerance) {
    const Mask golden = BlackDots(goldenImage), now = BlackDots(nowImage);
    PaperDifference d;
    d.golden = goldenImage.size();
    d.now = nowImage.size();
    // With no tolerance every dot that differs is changed: a long roll's masks are not made.
    std::vector<uint8_t> nearGolden[2], nearNow[2];
    for (const bool colour : {false, true}) {
        if (tolerance > 0) {
            nearGolden[colour] = Near(golden, colour, tolerance);
            nearNow[colour] = Near(now, colour, tolerance);
        }
    }
    const int width = std::max(golden.width, now.width);
    const int height = std::max(golden.height, now.height);
    // Five colours, a byte a dot: a long roll's diff costs what its paper does.
    enum : uchar { kWhite, kGrey, kGone, kNew, kPast };
    d.diff = QImage(width, height, QImage::Format_Indexed8);
    d.diff.setColorTable({qRgb(0xFF, 0xFF, 0xFF), qRgb(0xC8, 0xC8, 0xC8), qRgb(0xE0, 0, 0),
                          qRgb(0, 0x40, 0xE0), qRgb(0xFF, 0xC0, 0xC0)});
    for (int y = 0; y < height; ++y) {
        uchar* row = d.diff.scanLine(y);
        bool rowChanged = false;
        for (int x = 0; x < width; ++x) {
            const bool inGolden = x < golden.width && y < golden.height;
            const bool inNow = x < now.width && y < now.height;
            const bool g = inGolden && golden.At(x, y), n = inNow && now.At(x, y);
            bool changed = !inGolden || !inNow;
            if (!changed && g != n) {
                const size_t gi = static_cast<size_t>(y) * golden.width + x;
                const size_t ni = static_cast<size_t>(y) * now.width + x;
                changed = tolerance == 0 || !nearNow[g][ni] || !nearGolden[n][gi];
            }
            if (changed) {
                ++d.changedDots;
                rowChanged = true;
                row[x] = g && !n ? kGone : n && !g ? kNew : kPast;
            } else {
                row[x] = (inNow ? n : g) ? kGrey : kWhite;
            }
        }
        if (!rowChanged)
            continue;
        if (!d.rows.empty() && d.rows.back().second == y - 1)
            d.rows.back().second = y;
        else
            d.rows.emplace_back(y, y);
    }
    return d;
}

}  // namespace kelvo::paint
