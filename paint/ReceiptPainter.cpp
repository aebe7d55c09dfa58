#include "paint/ReceiptPainter.h"

#include <QHash>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

using namespace kelvo::printer;

constexpr int kMargin = kelvo::paint::ReceiptPainter::kMargin;

struct Cell {
    int width;
    int height;
};

Cell CellOf(const TextRun& run) {
    return {kelvo::printer::CharacterWidth(run.style, run.wide),
            kelvo::printer::CharacterHeight(run.style)};
}

int LineHeight(const PaperLine& line) {
    return kelvo::printer::ItemHeight(line);
}

QFont CellFont(const TextRun& run) {
    QFont font(run.wide ? QStringLiteral("WenQuanYi Micro Hei")
                        : QStringLiteral("DejaVu Sans Mono"));
    font.setFamilies({font.family(), QStringLiteral("WenQuanYi Micro Hei")});
    font.setPixelSize(run.style.fontB ? 16 : 22);
    font.setBold(run.style.bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

// One character drawn once at its unit cell size and kept: a receipt repeats few characters,
// and drawing each through the font engine again would cost far more than the line it came on.
const QImage& Glyph(char32_t c, const TextRun& run) {
    static QHash<quint64, QImage> cache;
    const quint64 key = quint64(c) | quint64(run.wide) << 32 | quint64(run.style.bold) << 33 |
                        quint64(run.style.fontB) << 34 | quint64(run.style.widthMul) << 36 |
                        quint64(run.style.heightMul) << 40 | quint64(run.style.reverse) << 44 |
                        quint64(run.style.rotated) << 45;
    if (auto found = cache.constFind(key); found != cache.constEnd())
        return *found;
    if (cache.size() > 8192)
        cache.clear();  // bounded: a roll of every CJK character would otherwise keep them all
    const Cell cell = CellOf(run);
    // Opaque, in the roll's own format: cells never overlap, so drawing one is a plain copy.
    QImage glyph(cell.width, cell.height, QImage::Format_Grayscale8);
    glyph.fill(run.style.reverse ? Qt::black : Qt::white);
    QPainter p(&glyph);
    p.setPen(run.style.reverse ? Qt::white : Qt::black);
    p.setFont(CellFont(run));
    // Sizes scale the font's cell as the printer scales its dots.
    p.scale(run.style.widthMul, run.style.heightMul);
    const int w = cell.width / run.style.widthMul, h = cell.height / run.style.heightMul;
    if (run.style.rotated) {
        // Turned a quarter clockwise: the character stands on the cell's left side, in a box
        // the cell's height wide and its width high.
        QFont font = p.font();
        font.setPixelSize(std::max(6, font.pixelSize() * w / h));
        p.setFont(font);
        p.translate(w, 0);
        p.rotate(90);
        p.drawText(QRect(0, 0, h, w), Qt::AlignCenter, QString::fromUcs4(&c, 1));
    } else {
        p.drawText(QRect(0, 0, w, h), Qt::AlignCenter, QString::fromUcs4(&c, 1));
    }
    p.end();
    return *cache.insert(key, glyph);
}

// Where a cell can be copied straight in, as drawImage would draw it at whole dots: a grey
// picture painted without turning or scaling, and its clip in its own dots. Drawing a receipt's
// two thousand characters one drawImage at a time cost more than encoding its PNG.
struct Direct {
    QImage* image = nullptr;
    QPoint shift;
    QRect clip;
};

Direct DirectOf(QPainter& p) {
    const QTransform t = p.transform();
    if (p.device() == nullptr || p.device()->devType() != QInternal::Image ||
        t.type() > QTransform::TxTranslate || t.dx() != std::floor(t.dx()) ||
        t.dy() != std::floor(t.dy()))
        return {};
    auto* image = static_cast<QImage*>(p.device());
    if (image->format() != QImage::Format_Grayscale8)
        return {};
    const QPoint shift(static_cast<int>(t.dx()), static_cast<int>(t.dy()));
    const QRect clip = p.hasClipping()
                           ? t.mapRect(p.clipBoundingRect()).toAlignedRect() & image->rect()
                           : image->rect();
    return {image, shift, clip};
}

void Copy(const Direct& to, const QImage& cell, QPoint at) {
    at += to.shift;
    const QRect box = QRect(at, cell.size()) & to.clip;
    if (box.isEmpty())
        return;
    const qsizetype into = to.image->bytesPerLine(), from = cell.bytesPerLine();
    uchar* row = to.image->bits() + box.top() * into + box.left();
    const uchar* cells = cell.constBits() + (box.top() - at.y()) * from + (box.left() - at.x());
    for (int y = box.top(); y <= box.bottom(); ++y, row += into, cells += from)
        std::memcpy(row, cells, static_cast<size_t>(box.width()));
}

void PaintLine(QPainter& p, const PaperLine& line, int top, int paper) {
    // Where each run starts in the print area, then the line justified within the area as far
    // as its rightmost character reaches.
    std::vector<std::pair<int, QList<uint>>> runs;
    int cursor = 0, reach = 0;
    for (const TextRun& run : line.runs) {
        const int start = run.x >= 0 ? run.x : cursor;
        QList<uint> characters = QString::fromStdString(run.utf8).toUcs4();
        cursor = start + CharacterPitch(run.style, run.wide) * static_cast<int>(characters.size());
        reach = std::max(reach, cursor);
        runs.emplace_back(start, std::move(characters));
    }
    const int area = line.width > 0 ? line.width : paper - line.left;
    const int shift = line.align == Align::Centre  ? (area - reach) / 2
                      : line.align == Align::Right ? area - reach
                                                   : 0;
    const int origin = line.left + std::max(0, shift);
    const int height = LineHeight(line);
    const int base = top + height;  // text sits on the line's bottom
    // Only a turned line changes the painter: saving its state for every line cost as much as
    // drawing the line's characters.
    const bool turned = !line.runs.empty() && line.runs.front().style.upsideDown;
    if (turned) {
        p.save();
        // The whole line turned about the centre of its strip of paper, as the printer prints it.
        p.translate(paper, 2 * top + height);
        p.rotate(180);
    }
    const Direct direct = DirectOf(p);
    for (size_t i = 0; i < line.runs.size(); ++i) {
        const TextRun& run = line.runs[i];
        const Cell cell = CellOf(run);
        const int pitch = CharacterPitch(run.style, run.wide);
        const QColor ink = run.style.reverse ? Qt::white : Qt::black;
        int x = origin + runs[i].first;
        for (char32_t c : runs[i].second) {
            // The spacing right of a character is printed as its cell's background.
            if (run.style.reverse && (c == U' ' || pitch > cell.width))
                p.fillRect(x, base - cell.height, pitch, cell.height, Qt::black);
            if (c != U' ' && direct.image != nullptr)
                Copy(direct, Glyph(c, run), QPoint(x, base - cell.height));
            else if (c != U' ')
                p.drawImage(QPoint(x, base - cell.height), Glyph(c, run));
            if (run.style.underline > 0 && !run.style.rotated)
                p.fillRect(x, base - run.style.underline, pitch, run.style.underline, ink);
            x += pitch;
        }
    }
    if (turned)
        p.restore();
}

QImage Draw(const PaperImage& image) {
    QImage dots(image.width, image.height, QImage::Format_Mono);
    dots.setColor(0, qRgb(255, 255, 255));
    dots.setColor(1, qRgb(0, 0, 0));
    dots.fill(0);
    for (int y = 0; y < image.height; ++y) {
        uchar* row = dots.scanLine(y);
        const uint8_t* from = image.dots.data() + static_cast<size_t>(y) * image.width;
        for (int x = 0; x < image.width; ++x) {
            if (from[x] != 0)
                row[x >> 3] |= static_cast<uchar>(0x80 >> (x & 7));
        }
    }
    return dots;
}

void PaintCut(QPainter& p, const PaperCut& cut, int top, int paper) {
    const int y = top + kCutDots / 2;
    p.fillRect(QRect(-kMargin, top, paper + 2 * kMargin, kCutDots), QColor(0xE0, 0xE0, 0xE0));
    QPen pen(QColor(0x60, 0x60, 0x60));
    pen.setStyle(cut.partial ? Qt::DashLine : Qt::SolidLine);
    p.setPen(pen);
    p.drawLine(-kMargin, y, paper + kMargin, y);
    p.setPen(Qt::black);
}

}  // namespace

namespace kelvo::paint {

ReceiptPainter::ReceiptPainter() : tops_{0} {}

void ReceiptPainter::SetPaper(std::vector<PaperItem> paper) {
    paper_ = std::move(paper);
    first_ = 0;
    Laid();
    // A new paper, as for each saved job: the drawings of pictures no paper holds now go too.
    for (const quintptr key : pictures_.keys()) {
        if (pictures_.object(key)->owner.expired())
            pictures_.remove(key);
    }
}

void ReceiptPainter::Append(uint64_t firstKept, uint64_t from, std::vector<PaperItem> items) {
    if (from != End()) {
        paper_.clear();
        first_ = from;
    }
    if (firstKept > first_) {
        const auto gone =
            static_cast<size_t>(std::min<uint64_t>(firstKept - first_, paper_.size()));
        paper_.erase(paper_.begin(), paper_.begin() + static_cast<std::ptrdiff_t>(gone));
        first_ = firstKept;
    }
    paper_.insert(paper_.end(), std::make_move_iterator(items.begin()),
                  std::make_move_iterator(items.end()));
    Laid();
}

void ReceiptPainter::Laid() {
    tops_.assign(1, 0);
    tops_.reserve(paper_.size() + 1);
    for (const PaperItem& item : paper_)
        tops_.push_back(tops_.back() + ItemHeight(item));
}

int ReceiptPainter::TopOf(uint64_t item) const {
    if (item <= first_)
        return 0;
    return tops_[static_cast<size_t>(std::min<uint64_t>(item - first_, paper_.size()))];
}

void ReceiptPainter::PaintImage(QPainter& p, const PaperImage& image, int top) const {
    if (image.width <= 0 || image.height <= 0 ||
        image.dots.size() < size_t(image.width) * image.height)
        return;
    const auto key = reinterpret_cast<quintptr>(image.dots.Identity());
    Picture* picture = pictures_.object(key);
    if (picture != nullptr && picture->owner.expired()) {
        pictures_.remove(key);
        picture = nullptr;
    }
    QImage drawn;
    if (picture != nullptr) {
        drawn = picture->image;
    } else {
        drawn = Draw(image);
        const auto cost = static_cast<qsizetype>(drawn.sizeInBytes());
        if (cost < kPictureCacheBytes)
            pictures_.insert(key, new Picture{image.dots.Owner(), drawn}, cost);
    }
    const int x = image.align == Align::Centre  ? (width_ - image.width) / 2
                  : image.align == Align::Right ? width_ - image.width
                                                : 0;
    p.drawImage(std::max(0, x), top, drawn);
}

void ReceiptPainter::Paint(QPainter& p, int top, int bottom) const {
    p.fillRect(QRect(0, top, width_, bottom - top), Qt::white);
    p.setPen(Qt::black);
    // The first item that reaches into the range, then on until past it.
    auto first = std::upper_bound(tops_.begin(), tops_.end(), top);
    size_t i = first == tops_.begin() ? 0 : static_cast<size_t>(first - tops_.begin() - 1);
    for (; i < paper_.size() && tops_[i] < bottom; ++i) {
        const PaperItem& item = paper_[i];
        if (const auto* line = std::get_if<PaperLine>(&item))
            PaintLine(p, *line, tops_[i], width_);
        else if (const auto* image = std::get_if<PaperImage>(&item))
            PaintImage(p, *image, tops_[i]);
        else if (const auto* cut = std::get_if<PaperCut>(&item))
            PaintCut(p, *cut, tops_[i], width_);
    }
}

QImage ReceiptPainter::Render() const {
    QImage image(width_, std::max(1, RenderRows()), QImage::Format_Grayscale8);
    RenderIn(image);
    return image;
}

QImage ReceiptPainter::Render(std::vector<uchar>& canvas) const {
    const int line = (width_ + 3) / 4 * 4;  // rows 32-bit aligned, as Qt's own
    const int rows = std::max(1, RenderRows());
    canvas.resize(std::max(canvas.size(), static_cast<size_t>(line) * static_cast<size_t>(rows)));
    QImage image(canvas.data(), width_, rows, line, QImage::Format_Grayscale8);
    RenderIn(image);
    return image;
}

void ReceiptPainter::RenderIn(QImage& image) const {
    const int rows = RenderRows();
    const int top = tops_.back() - rows;
    if (rows == 0)
        image.fill(Qt::white);  // otherwise Paint whitens every row
    QPainter p(&image);
    p.translate(0, -top);
    p.setClipRect(QRect(0, top, width_, rows));
    Paint(p, top, tops_.back());
}

}  // namespace kelvo::paint
