// Pictures: rasters, bit images, GS ( L graphics and FS q NV images as the printer stores and
// prints them, and the bar codes and 2D symbols that Symbols.cpp draws.

#include <algorithm>
#include <utility>

#include "printer/Symbols.h"
#include "printer/VirtualPrinter.h"
#include "protocol/Bytes.h"

namespace kelvo::printer {

namespace {

using Id = CommandId;

// FS q limits in bytes: 8184 x 2304 dots.
constexpr unsigned kNvWidthBytes = kMaxFsQWidthDots / 8;
constexpr unsigned kNvHeightBytes = kMaxFsQHeightDots / 8;

bool Bit(uint8_t byte, int fromTop) {
    return (byte >> (7 - fromTop)) & 1;
}

// FS p and GS v 0 scales: 0 normal, 1 double width, 2 double height, 3 both.
std::optional<std::pair<int, int>> Scale(uint8_t m) {
    const unsigned d = Digit(m);
    if (d > 3)
        return std::nullopt;
    return std::pair{d & 1 ? 2 : 1, d & 2 ? 2 : 1};
}

// The source picture blown up by (sx, sy); what falls outside the print area is not printed.
template <class Black>
PaperImage Render(int width, int height, int sx, int sy, int paperWidth, uint64_t& work,
                  Black black) {
    PaperImage image;
    image.width = std::min(width * sx, paperWidth);
    image.height = std::min(height * sy, kImageRows);
    const size_t size = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    image.dots = Dots::Blank(size);
    uint8_t* dots = image.dots.Write();
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x)
            dots[static_cast<size_t>(y) * image.width + x] = black(x / sx, y / sy) ? 1 : 0;
    }
    work += size;
    return image;
}

}  // namespace

bool VirtualPrinter::GraphicsCommand(CommandId id, std::string_view c, std::string& answer) {
    const uint8_t a = c.size() > 2 ? At(c, 2) : 0;
    switch (id) {
        case Id::PrintNvImage:
            if (const auto scale = Scale(At(c, 3)); a >= 1 && size_t{a} <= nv_.size() && scale)
                PrintPicture(
                    ScaledPrint(nv_[a - 1u], nvPrints_[a - 1u], scale->first, scale->second));
            break;
        case Id::RasterImage: {
            const unsigned xBytes = Word(c, 4), rows = Word(c, 6);
            const auto scale = Scale(At(c, 3));
            if (xBytes > 0 && rows > 0 && scale) {
                CheckWidth(int64_t{8} * xBytes * scale->first);
                PrintPicture(Render(static_cast<int>(8 * xBytes), static_cast<int>(rows),
                                    scale->first, scale->second, paperWidth_, counters_.work,
                                    [&](int x, int y) {
                                        return Bit(At(c, 8 + size_t{xBytes} * y + x / 8), x % 8);
                                    }));
            }
            break;
        }
        case Id::BitImage: {
            // 8-dot modes print at a third of the vertical density, single density at half the
            // horizontal one.
            const unsigned columns = Word(c, 3);
            const int band = a < 32 ? 8 : 24;
            if (columns > 0 && (a == 0 || a == 1 || a == 32 || a == 33)) {
                CheckWidth(int64_t{columns} * (a % 2 ? 1 : 2));
                PrintPicture(Render(
                    static_cast<int>(columns), band, a % 2 ? 1 : 2, band == 8 ? 3 : 1, paperWidth_,
                    counters_.work, [&](int x, int y) {
                        return Bit(At(c, 5 + static_cast<size_t>(x) * (band / 8) + y / 8), y % 8);
                    }));
                bandDots_ = band == 8 ? 3 * band : band;
            }
            break;
        }
        case Id::Symbol:
            if (const auto symbol = SymbolFunction(c, symbols_, answer))
                PrintSymbol(*symbol);
            else if (auto refusal = SymbolRefusal(c, symbols_))
                Refuse(refusal->kind, std::move(refusal->what));
            break;
        case Id::Graphics:
        case Id::GraphicsLong:
            Graphics(c.substr(id == Id::Graphics ? 5 : 7), answer);
            break;
        case Id::Barcode:
            if (const auto symbol = Barcode(c, symbols_))
                PrintSymbol(*symbol);
            else if (auto refusal = SymbolRefusal(c, symbols_))
                Refuse(refusal->kind, std::move(refusal->what));
            break;
        case Id::BarHeight:
        case Id::BarModule:
        case Id::HriPosition:
        case Id::HriFont:
            BarcodeSetting(id, c, symbols_);
            break;
        default:
            return false;
    }
    return true;
}

size_t VirtualPrinter::LoadNv(std::string_view data) {
    detail::NvLoad& load = *nvLoad_;
    size_t used = 0;
    for (;;) {
        if (load.left == 0 && load.count > 0 && load.done == load.count) {
            if (!load.broken) {
                nv_ = std::move(load.images);
                nvPrints_.assign(nv_.size(), {});
            }
            nvLoad_.reset();
            break;
        }
        if (used == data.size())
            break;
        if (load.left == 0) {
            // n, then each image's xL xH yL yH
            const size_t want = load.count == 0 ? 1 : 4;
            const size_t take = std::min(want - load.header.size(), data.size() - used);
            load.header.append(data.substr(used, take));
            used += take;
            load.received += take;
            if (load.header.size() < want)
                break;
            if (load.count == 0) {
                load.count = At(load.header, 0);
                load.header.clear();
                if (load.count == 0) {
                    nvLoad_.reset();  // no image: nothing stored
                    break;
                }
                continue;
            }
            const unsigned x = Word(load.header, 0), y = Word(load.header, 2);
            load.header.clear();
            const uint64_t bytes = uint64_t{8} * x * y;
            load.declared += 4 + bytes;
            if (load.declared > kMaxNvBytes) {
                // Refused at the size that passes what the printer stores: what follows is read
                // as it is.
                ++job_.refused;
                Refuse(Refusal::Kind::TooLarge,
                       "FS q of at least " + std::to_string(load.declared) + " bytes");
                nvLoad_.reset();
                break;
            }
            if (x == 0 || y == 0 || x > kNvWidthBytes || y > kNvHeightBytes)
                load.broken = true;
            if (!load.broken) {
                PaperImage image;
                image.width = static_cast<int>(8 * x);
                image.height = static_cast<int>(8 * y);
                image.dots = Dots::Blank(size_t{64} * x * y);
                load.images.push_back(std::move(image));
            }
            load.left = bytes;
            load.rows = y;
            load.at = 0;
            if (bytes == 0)
                ++load.done;
            continue;
        }
        // Column data: 8x dot columns from the left, each y bytes from the top, the most
        // significant bit on top.
        const auto take = static_cast<size_t>(std::min<uint64_t>(load.left, data.size() - used));
        if (!load.broken) {
            PaperImage& image = load.images.back();
            uint8_t* dots = image.dots.Write();
            const auto width = static_cast<size_t>(image.width);
            for (size_t i = 0; i < take; ++i) {
                const uint64_t k = load.at + i;
                const size_t column = k / load.rows, top = k % load.rows * 8;
                const uint8_t b = At(data, used + i);
                for (int bit = 0; bit < 8; ++bit)
                    dots[(top + bit) * width + column] = Bit(b, bit);
            }
        }
        counters_.work += 8 * take;
        used += take;
        load.received += take;
        load.at += take;
        load.left -= take;
        if (load.left == 0)
            ++load.done;
    }
    return used;
}

const PaperImage& VirtualPrinter::ScaledPrint(const PaperImage& stored,
                                              std::array<std::optional<PaperImage>, 4>& prints,
                                              int sx, int sy) {
    CheckWidth(int64_t{stored.width} * sx);
    std::optional<PaperImage>& print = prints[(sx - 1u) | (sy - 1u) << 1];
    if (!print) {
        if (sx == 1 && sy == 1 && stored.width <= paperWidth_ && stored.height <= kImageRows) {
            print = stored;  // printed as stored
        } else {
            print = Render(stored.width, stored.height, sx, sy, paperWidth_, counters_.work,
                           [&](int x, int y) {
                               return stored.dots[static_cast<size_t>(y) * stored.width + x] != 0;
                           });
        }
    }
    return *print;
}

// The HRI text as lines of its own, so that the view draws it as it draws any text.
void VirtualPrinter::PrintSymbol(const DrawnSymbol& symbol) {
    PrintPendingLine();
    auto text = [&] {
        TextStyle style;
        style.fontB = symbols_.hriFontB;
        ++counters_.lines;
        Add(PaperLine{{{symbol.text, style, false}}, align_, CharacterHeight(style)});
    };
    if (symbols_.hri & 1 && !symbol.text.empty())
        text();
    if (symbol.fresh) {
        counters_.work += symbol.image.dots.size();
        counters_.symbolDots += symbol.image.dots.size();
    }
    PrintPicture(symbol.image);
    if (symbols_.hri & 2 && !symbol.text.empty())
        text();
}

void VirtualPrinter::Refuse(Refusal::Kind kind, std::string what) {
    if (refusals_)
        refusals_(Refusal{kind, std::move(what)});
}

void VirtualPrinter::CheckWidth(int64_t width) {
    if (width > paperWidth_)
        Refuse(Refusal::Kind::PictureCut, "a picture " + std::to_string(width) +
                                              " dots wide, on paper " +
                                              std::to_string(paperWidth_) + " dots wide");
}

void VirtualPrinter::PrintPicture(PaperImage image) {
    PrintPendingLine();
    image.align = align_;
    Add(std::move(image));
}

// GS ( L and GS 8 L from m on: m fn [parameters].
void VirtualPrinter::Graphics(std::string_view p, std::string& answer) {
    if (p.size() < 2 || At(p, 0) != 48)
        return;
    const uint8_t fn = At(p, 1);
    // Raster data: rows of whole bytes from the top, the most significant bit on the left.
    auto black = [](std::string_view data, unsigned width) {
        const size_t row = (width + 7) / 8;
        return [data, row](int x, int y) {
            return Bit(At(data, static_cast<size_t>(y) * row + static_cast<size_t>(x) / 8), x % 8);
        };
    };
    auto find = [&](std::string_view key) {
        return std::find_if(nvGraphics_.begin(), nvGraphics_.end(),
                            [&](const NvGraphic& g) { return g.key == key; });
    };
    auto erase = [&](std::vector<NvGraphic>::iterator at) {
        nvGraphicsBytes_ -= at->bytes;
        nvGraphics_.erase(at);
    };
    if (fn == 0 || fn == 48 || fn == 3 || fn == 51) {
        // Capacity in bytes as decimal digits, after a header and the function's identifier.
        const uint64_t bytes =
            fn % 48 == 0 ? kNvGraphicsBytes : kNvGraphicsBytes - nvGraphicsBytes_;
        answer += (fn % 48 == 0 ? "\x37\x30" : "\x37\x31") + std::to_string(bytes) + '\0';
    } else if (fn == 2 || fn == 50) {
        if (graphics_)
            PrintPicture(*std::exchange(graphics_, std::nullopt));
    } else if (fn == 112 && p.size() >= 10) {
        // a bx by c xL xH yL yH: a monochrome picture in colour 1, scaled by bx and by.
        const uint8_t bx = At(p, 3), by = At(p, 4);
        const unsigned x = Word(p, 6), y = Word(p, 8);
        const std::string_view data = p.substr(10);
        if (At(p, 2) == 48 && (bx == 1 || bx == 2) && (by == 1 || by == 2) && At(p, 5) == 49 &&
            x > 0 && y > 0 && data.size() >= uint64_t{(x + 7) / 8} * y) {
            CheckWidth(int64_t{x} * bx);
            graphics_ = Render(static_cast<int>(x), static_cast<int>(y), bx, by, paperWidth_,
                               counters_.work, black(data, x));
        }
    } else if (fn == 64 && p.substr(2) == "KC") {
        // All keys fit one block (kNvGraphicsKept of them): status 40h says no block follows.
        answer += "\x37\x70\x40";
        for (const NvGraphic& g : nvGraphics_)
            answer += g.key;
        answer += '\0';
    } else if (fn == 65 && p.substr(2) == "CLR") {
        nvGraphics_.clear();
        nvGraphicsBytes_ = 0;
    } else if (fn == 66 && p.size() == 4) {
        if (const auto at = find(p.substr(2, 2)); at != nvGraphics_.end())
            erase(at);
    } else if (fn == 67 && p.size() >= 11) {
        // a kc1 kc2 b xL xH yL yH, then b colours of c d1...dk; colour 1 is what prints here.
        const std::string_view key = p.substr(3, 2);
        const unsigned colours = At(p, 5), x = Word(p, 6), y = Word(p, 8);
        const uint64_t k = uint64_t{(x + 7) / 8} * y;
        const bool keyOk =
            At(key, 0) >= 32 && At(key, 0) <= 126 && At(key, 1) >= 32 && At(key, 1) <= 126;
        if (At(p, 2) != 48 || !keyOk || (colours != 1 && colours != 2) || x == 0 || y == 0 ||
            x > kMaxFsQWidthDots || y > kMaxFsQHeightDots || p.size() - 10 < colours * (1 + k))
            return;
        if (const auto at = find(key); at != nvGraphics_.end())
            erase(at);  // defined again: replaced
        if (nvGraphicsBytes_ + k > kNvGraphicsBytes || nvGraphics_.size() >= kNvGraphicsKept)
            return;  // no room: not stored
        for (unsigned i = 0; i < colours; ++i) {
            const size_t at = 10 + i * (1 + k);
            if (At(p, at) != 49)
                continue;
            NvGraphic& g = nvGraphics_.emplace_back();
            g.key = key;
            g.bytes = k;
            g.image = Render(static_cast<int>(x), static_cast<int>(y), 1, 1, static_cast<int>(x),
                             counters_.work, black(p.substr(at + 1, k), x));
            nvGraphicsBytes_ += k;
            break;
        }
    } else if (fn == 69 && p.size() == 6) {
        const auto at = find(p.substr(2, 2));
        const uint8_t sx = At(p, 4), sy = At(p, 5);
        if (at != nvGraphics_.end() && (sx == 1 || sx == 2) && (sy == 1 || sy == 2))
            PrintPicture(ScaledPrint(at->image, at->prints, sx, sy));
    }
}

}  // namespace kelvo::printer
