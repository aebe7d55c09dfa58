#pragma once

// The paper: what a reader of the receipt sees (lines of text in their styles, pictures, feeds and
// cuts), oldest first, as the printer model prints it and a view draws it. No Qt.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace kelvo::printer {

// The print width of 80 mm paper at 203 dpi, the widest this family takes, and of 58 mm paper.
inline constexpr int kPaperDots = 576;
inline constexpr int kPaper80Dots = kPaperDots;
inline constexpr int kPaper58Dots = 384;

// What the paper holds at most, whatever is printed: the newest items only, trimmed a batch at a
// time from the oldest.
inline constexpr size_t kPaperItems = 5000;
// Dots of the pictures on the paper, each print counted in full even where prints share dots.
inline constexpr size_t kPaperImageDots = size_t{32} << 20;
// The paper's height in dots (about 32 m at 8 dots a millimetre).
inline constexpr int64_t kPaperHeightDots = int64_t{1} << 18;

struct TextStyle {
    bool bold = false;      // ESC E, ESC ! bit 3
    uint8_t underline = 0;  // ESC - n (0, 1, 2 dots), ESC ! bit 7
    uint8_t widthMul = 1;   // GS ! high nibble + 1, ESC ! bit 5 doubles
    uint8_t heightMul = 1;  // GS ! low nibble + 1, ESC ! bit 4 doubles
    bool fontB = false;     // ESC ! bit 0, ESC M
    bool reverse = false;   // GS B: white on black
    // ESC {: the line is printed turned 180 degrees, as its first run says (the printer takes
    // it at the start of a line).
    bool upsideDown = false;
    uint8_t spacing = 0;   // ESC SP: blank dots right of each character, doubled with its width
    bool rotated = false;  // ESC V: each character turned 90 degrees clockwise in its cell
    bool operator==(const TextStyle&) const = default;
};

// A piece of one printed line in one style. `wide` characters (two-byte GBK in Chinese mode)
// are 24 dots wide in font A; others 12 (font B: 9 and 17 dots wide, 17 high).
struct TextRun {
    std::string utf8;
    TextStyle style;
    bool wide = false;
    // Dots from the print area's left edge where a tab or ESC $ / ESC \ put the run; -1: it
    // follows the run before.
    int x = -1;
    bool operator==(const TextRun&) const = default;
};

// The cell one character of this style is drawn in, and the dots it takes along the line (its
// spacing included).
int CharacterWidth(const TextStyle& style, bool wide);
int CharacterHeight(const TextStyle& style);
int CharacterPitch(const TextStyle& style, bool wide);

enum class Align : uint8_t { Left = 0, Centre = 1, Right = 2 };

// One printed line: what came before its LF (or CR when CR prints, or a line that filled the
// paper width), with the justification in force when it printed and the line spacing after it.
struct PaperLine {
    std::vector<TextRun> runs;
    Align align = Align::Left;
    int spacing = 30;  // dots fed for this line (ESC 2: 30, ESC 3 n: n, at least the line height)
    // The print area (GS L, GS W) the line was laid out and justified in: `left` dots from the
    // paper's edge, `width` dots wide (0: to the paper's right edge).
    int left = 0;
    int width = 0;
    bool operator==(const PaperLine&) const = default;
};

// The dots of a picture, one byte each, shared by every copy: an NV image printed a thousand times
// is held once, and a view can draw it once.
class Dots {
  public:
    using value_type = uint8_t;
    using const_iterator = const uint8_t*;
    using iterator = const_iterator;

    Dots() = default;
    Dots(const std::vector<uint8_t>& dots);  // NOLINT: a picture is its dots
    Dots(std::initializer_list<uint8_t> dots);
    // `size` dots the caller writes through Write() before anyone reads them.
    static Dots Blank(size_t size);

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const uint8_t* data() const { return data_.get(); }
    const_iterator begin() const { return data(); }
    const_iterator end() const { return data() + size_; }
    uint8_t operator[](size_t i) const { return data_[i]; }
    uint8_t* Write() { return data_.get(); }
    // Which picture these are: equal for copies of one picture.
    const void* Identity() const { return data_.get(); }
    // Keeps the dots alive as long as the holder lives.
    std::shared_ptr<const void> Owner() const { return data_; }
    bool operator==(const Dots& other) const;

  private:
    std::shared_ptr<uint8_t[]> data_;
    size_t size_ = 0;
};

// A monochrome picture printed dot for dot: `dots` holds width*height bytes, 1 = black, row by
// row from the top.
struct PaperImage {
    int width = 0;
    int height = 0;
    Dots dots;
    Align align = Align::Left;
    // A bar code or 2D symbol's kind ("QR", "CODE128") and the data it encodes; empty for any
    // other picture.
    std::string symbol{};
    std::string symbolData{};
    bool operator==(const PaperImage&) const = default;
};

struct PaperFeed {  // ESC d, ESC J, GS V feeds: blank paper
    int dots = 0;
    bool operator==(const PaperFeed&) const = default;
};

struct PaperCut {
    bool partial = true;
    bool operator==(const PaperCut&) const = default;
};

using PaperItem = std::variant<PaperLine, PaperImage, PaperFeed, PaperCut>;

// Dots of paper a cut's tear line takes.
inline constexpr int kCutDots = 24;
// The height in dots of one item on the paper: a line at least one font A line.
int ItemHeight(const PaperItem& item);

// The paper printed so far, at most the newest kPaperItems items (and within kPaperImageDots and
// kPaperHeightDots).
class PaperRoll {
  public:
    const std::vector<PaperItem>& Items() const { return items_; }
    // Items dropped from the front so far: item n, counted from the first ever added, is
    // Items()[n - Dropped()].
    uint64_t Dropped() const { return dropped_; }
    // The number the next item added gets.
    uint64_t End() const { return dropped_ + items_.size(); }
    int64_t Height() const { return height_; }
    // Dots of paper ever printed on, trimmed and cleared items included.
    uint64_t Fed() const { return fed_; }
    size_t ImageDots() const { return imageDots_; }
    // Adds `item`, dropping old ones past the limits; returns how many items that moved.
    size_t Add(PaperItem item);
    void Clear();

  private:
    std::vector<PaperItem> items_;
    uint64_t dropped_ = 0;
    size_t imageDots_ = 0;  // dots held by the images among the items
    int64_t height_ = 0;    // of the items, in dots
    uint64_t fed_ = 0;
};

}  // namespace kelvo::printer
