#include "printer/Paper.h"

#include <algorithm>

namespace kelvo::printer {

namespace {

// Trimmed a batch at a time, so that a long job does not shift the whole list for every item.
constexpr size_t kPaperTrim = 1000;

}  // namespace

Dots::Dots(const std::vector<uint8_t>& dots) : Dots(Blank(dots.size())) {
    std::copy(dots.begin(), dots.end(), data_.get());
}

Dots::Dots(std::initializer_list<uint8_t> dots) : Dots(Blank(dots.size())) {
    std::copy(dots.begin(), dots.end(), data_.get());
}

Dots Dots::Blank(size_t size) {
    Dots d;
    // Not zeroed: every writer covers every dot, and a large picture's pages are then touched
    // only as its data arrives.
    d.data_ = std::shared_ptr<uint8_t[]>(new uint8_t[std::max<size_t>(size, 1)]);
    d.size_ = size;
    return d;
}

bool Dots::operator==(const Dots& other) const {
    return size_ == other.size_ &&
           (data_ == other.data_ || std::equal(begin(), end(), other.begin()));
}

int CharacterWidth(const TextStyle& s, bool wide) {
    return (s.fontB ? (wide ? 17 : 9) : (wide ? 24 : 12)) * s.widthMul;
}

int CharacterPitch(const TextStyle& style, bool wide) {
    return CharacterWidth(style, wide) + style.spacing * style.widthMul;
}

int CharacterHeight(const TextStyle& s) {
    return (s.fontB ? 17 : 24) * s.heightMul;
}

int ItemHeight(const PaperItem& item) {
    if (const auto* line = std::get_if<PaperLine>(&item)) {
        int tallest = 24;
        for (const TextRun& run : line->runs)
            tallest = std::max(tallest, CharacterHeight(run.style));
        return std::max(tallest, line->spacing);
    }
    if (const auto* image = std::get_if<PaperImage>(&item))
        return std::max(0, image->height);
    if (const auto* feed = std::get_if<PaperFeed>(&item))
        return std::max(0, feed->dots);
    return kCutDots;
}

size_t PaperRoll::Add(PaperItem item) {
    if (const auto* image = std::get_if<PaperImage>(&item))
        imageDots_ += image->dots.size();
    height_ += ItemHeight(item);
    fed_ += static_cast<uint64_t>(ItemHeight(item));
    items_.push_back(std::move(item));
    if (items_.size() <= kPaperItems && imageDots_ <= kPaperImageDots &&
        height_ <= kPaperHeightDots)
        return 0;
    size_t drop = 0;
    auto dropOne = [&] {
        if (const auto* image = std::get_if<PaperImage>(&items_[drop]))
            imageDots_ -= image->dots.size();
        height_ -= ItemHeight(items_[drop++]);
    };
    while (items_.size() > kPaperItems && drop < kPaperTrim)
        dropOne();
    // Down to three quarters of each limit passed, so that the next trim is far off.
    const bool overDots = imageDots_ > kPaperImageDots, overHeight = height_ > kPaperHeightDots;
    while (drop < items_.size() - 1 && ((overDots && imageDots_ > kPaperImageDots / 4 * 3) ||
                                        (overHeight && height_ > kPaperHeightDots / 4 * 3)))
        dropOne();
    items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(drop));
    dropped_ += drop;
    return items_.size();
}

void PaperRoll::Clear() {
    dropped_ += items_.size();
    items_.clear();
    imageDots_ = 0;
    height_ = 0;
}

}  // namespace kelvo::printer
