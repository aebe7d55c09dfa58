#include "printer/VirtualPrinter.h"

#include <algorithm>
#include <optional>

#include "printer/Identity.h"
#include "printer/Symbols.h"
#include "protocol/Commands.h"

namespace kelvo::printer {

namespace {

using namespace std::string_view_literals;
using Kind = DecodedCommand::Kind;

// Trimmed a batch at a time, so that a long job does not shift the whole list for every item.
constexpr size_t kPaperTrim = 1000;
// FS q limits in bytes: 8184 x 2304 dots.
constexpr unsigned kNvWidthBytes = posdll::kMaxWidthDots / 8;
constexpr unsigned kNvHeightBytes = posdll::kMaxHeightDots / 8;

uint8_t At(std::string_view s, size_t i) {
    return static_cast<uint8_t>(s[i]);
}

unsigned Word(std::string_view s, size_t i) {
    return At(s, i) + 256u * At(s, i + 1);
}

bool Bit(uint8_t byte, int fromTop) {
    return (byte >> (7 - fromTop)) & 1;
}

// Many arguments may be given as a number or as its ASCII digit (0 or 48).
unsigned Digit(uint8_t n) {
    return n >= '0' && n <= '9' ? n - '0' : n;
}

bool IsGbkLead(uint8_t b) {
    return b >= 0x81 && b <= 0xFE;
}

bool IsGbkTrail(uint8_t b) {
    return b >= 0x40 && b <= 0xFE && b != 0x7F;
}

bool IsTextByte(uint8_t b) {
    return b >= 0x20 && b != 0x7F;
}

bool StartsWirelessHeader(std::string_view rest) {
    return rest[0] == '+' && rest.starts_with(WirelessDataHeader());
}

// Where the decoder ends a text entry that starts the input.
size_t TextLength(std::string_view rest) {
    size_t end = 1;
    while (end < rest.size() && IsTextByte(At(rest, end)) &&
           !StartsWirelessHeader(rest.substr(end)))
        ++end;
    return end;
}

int CharWidth(const TextStyle& s, bool wide) {
    return (s.fontB ? (wide ? 17 : 9) : (wide ? 24 : 12)) * s.widthMul;
}

int CharHeight(const TextStyle& s) {
    return (s.fontB ? 17 : 24) * s.heightMul;
}

bool SameState(const DecoderState& a, const DecoderState& b) {
    return a.chinese == b.chinese && a.codePage == b.codePage;
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
PaperImage Render(int width, int height, int sx, int sy, int paperWidth, Align align,
                  uint64_t& work, Black black) {
    PaperImage image;
    image.width = std::min(width * sx, paperWidth);
    image.height = std::min(height * sy, kImageRows);
    image.align = align;
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

int ItemHeight(const PaperItem& item) {
    if (const auto* line = std::get_if<PaperLine>(&item)) {
        int tallest = 24;
        for (const TextRun& run : line->runs)
            tallest = std::max(tallest, CharHeight(run.style));
        return std::max(tallest, line->spacing);
    }
    if (const auto* image = std::get_if<PaperImage>(&item))
        return std::max(0, image->height);
    if (const auto* feed = std::get_if<PaperFeed>(&item))
        return std::max(0, feed->dots);
    return kCutDots;
}

long StoredSettings::Baud() const {
    for (long baud : {115200, 38400, 19200, 9600}) {
        if (BaudCode(baud) == baudCode)
            return baud;
    }
    return 0;
}

VirtualPrinter::VirtualPrinter() {
    ResetModes();
}

void VirtualPrinter::ClearPaper() {
    dropped_ += paper_.size();
    paper_.clear();
    imageDots_ = 0;
    paperHeight_ = 0;
}

void VirtualPrinter::EndJob(std::string how) {
    if (nvLoad_) {
        job_.dropped = "FS q";
        job_.droppedHave = nvLoad_->received;
        job_.droppedNeed = nvLoad_->declared;
        nvLoad_.reset();
    } else if (!held_.empty()) {
        DecoderState state = state_;
        const DecodedCommand c = DecodeCommands(held_, state, 1).front();
        job_.dropped = c.name.empty() ? "text" : c.name;
        job_.droppedHave = held_.size();
        job_.droppedNeed = std::max<uint64_t>(heldNeed_, c.needed);
        held_.clear();
    }
    job_.end = std::move(how);
    const uint64_t next = job_.number + 1;
    jobs_.push_back(std::move(job_));
    if (jobs_.size() > kJobsKept)
        jobs_.pop_front();
    job_ = {};
    job_.number = next;
}

bool VirtualPrinter::SetPaperWidth(int dots) {
    if (dots != kPaper80Dots && dots != kPaper58Dots)
        return false;
    if (dots != paperWidth_)
        nvPrints_.assign(nv_.size(), {});  // drawn for the other width
    paperWidth_ = dots;
    return true;
}

uint8_t VirtualPrinter::StatusByte(int n) const {
    const StatusFlags& f = flags_;
    switch (n) {
        case 1:
            return 0x12 | (f.drawerOpen ? 0x04 : 0) |
                   (!f.online || f.coverOpen || f.paperOut || f.error ? 0x08 : 0);
        case 2:
            return 0x12 | (f.coverOpen ? 0x04 : 0) | (f.paperOut ? 0x20 : 0) | (f.error ? 0x40 : 0);
        case 3:
            if (!f.error)
                return 0x12;
            return 0x12 | (f.errorCause == ErrorCause::Cutter            ? 0x08
                           : f.errorCause == ErrorCause::AutoRecoverable ? 0x40
                                                                         : 0x20);
        case 4:
            return 0x12 | (f.paperNearEnd ? 0x0C : 0) | (f.paperOut ? 0x60 : 0);
        default:
            return 0;
    }
}

std::string VirtualPrinter::Feed(std::string_view bytes) {
    counters_.bytes += bytes.size();
    job_.bytes += bytes.size();
    std::string answer;
    if (nvLoad_) {
        bytes.remove_prefix(LoadNv(bytes));
        if (nvLoad_ || bytes.empty())
            return answer;
    }
    if (held_.empty()) {
        Interpret(bytes, answer);
        return answer;
    }
    // Waiting for the declared length first keeps a long image sent in small pieces linear.
    held_.append(bytes);
    if (held_.size() >= heldNeed_) {
        const std::string data = std::move(held_);
        held_.clear();
        Interpret(data, answer);
    }
    return answer;
}

void VirtualPrinter::Interpret(std::string_view data, std::string& answer) {
    for (size_t pos = 0; pos < data.size();) {
        const std::string_view rest = data.substr(pos);
        ++counters_.work;
        // Text and line ends are most of a receipt: read here as the decoder would, without the
        // words it writes for a reader.
        const uint8_t first = At(rest, 0);
        if (first == '\n' || first == '\r' || first == '\t') {
            Control(first);
            ++pos;
            continue;
        }
        if (IsTextByte(first) && !StartsWirelessHeader(rest)) {
            const size_t length = TextLength(rest);
            const std::string_view bytes = rest.substr(0, length);
            const size_t used = Text(bytes, length == rest.size());
            if (used < bytes.size()) {
                Hold(bytes.substr(used), 2);
                return;
            }
            pos += length;
            continue;
        }
        if (rest.starts_with("\x1C\x71"sv)) {
            nvLoad_.emplace();
            pos += 2 + LoadNv(rest.substr(2));
            if (nvLoad_)
                return;  // all of the rest was its data
            continue;
        }
        // One entry at a time: what it does (ESC @, a stored code page) changes how the next reads.
        const DecodedCommand c = DecodeCommands(rest, state_, 1).front();
        // A raster larger than the printer takes is refused at its header, not waited for.
        if (rest.starts_with("\x1D\x76\x30"sv) && rest.size() >= 8 &&
            uint64_t{Word(rest, 4)} * Word(rest, 6) > kMaxRasterBytes) {
            ++job_.refused;
            pos += 8;
            continue;
        }
        if (c.truncated) {
            Hold(rest, c.needed);
            return;
        }
        const std::string_view bytes = rest.substr(0, c.length);
        if (c.kind == Kind::Text) {
            const size_t used = Text(bytes, c.length == rest.size());
            if (used < bytes.size()) {
                Hold(bytes.substr(used), 2);
                return;
            }
        } else if (c.kind == Kind::Control) {
            Control(At(bytes, 0));
        } else if (c.kind == Kind::Command) {
            Command(bytes, answer);
        } else if (bytes == "\x1B\x69"sv || bytes == "\x1B\x6D"sv) {
            // ESC i and ESC m, the older partial cuts that POS software still sends.
            Command("\x1D\x56\x01"sv, answer);
        }
        pos += c.length;
    }
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

void VirtualPrinter::Hold(std::string_view rest, uint64_t needed) {
    held_.assign(rest);
    heldNeed_ = std::max<uint64_t>(needed, rest.size() + 1);
}

size_t VirtualPrinter::Text(std::string_view text, bool endsInput) {
    size_t i = 0;
    while (i < text.size()) {
        if (!state_.chinese || At(text, i) < 0x80) {
            // One byte, one narrow character: the whole stretch goes in at once.
            size_t end = i + 1;
            while (end < text.size() && (!state_.chinese || At(text, end) < 0x80))
                ++end;
            PutNarrow(text.substr(i, end - i));
            i = end;
            continue;
        }
        size_t n = 1;
        if (state_.chinese && IsGbkLead(At(text, i))) {
            if (i + 1 == text.size() && endsInput)
                return i;  // its second byte comes with the next input
            if (i + 1 < text.size() && IsGbkTrail(At(text, i + 1)))
                n = 2;
        }
        Put(text.substr(i, n), n == 2);
        i += n;
    }
    return i;
}

void VirtualPrinter::Put(std::string_view character, bool wide) {
    const int width = CharWidth(style_, wide);
    if (lineDots_ + width > paperWidth_ && !line_.empty())
        PrintLine(lineSpacing_);
    lineDots_ += width;
    if (!line_.empty() && line_.back().style == style_ && line_.back().wide == wide &&
        SameState(line_.back().state, state_)) {
        line_.back().bytes += character;
    } else {
        line_.push_back({std::string(character), style_, wide, state_});
    }
}

void VirtualPrinter::PutNarrow(std::string_view characters) {
    const int width = CharWidth(style_, false);
    while (!characters.empty()) {
        if (lineDots_ + width > paperWidth_ && !line_.empty())
            PrintLine(lineSpacing_);
        // As many as fit on this line, one at least (a character wider than the paper still
        // prints alone).
        const int room = std::max(1, (paperWidth_ - lineDots_) / width);
        const size_t n = std::min(characters.size(), static_cast<size_t>(room));
        lineDots_ += static_cast<int>(n) * width;
        const std::string_view part = characters.substr(0, n);
        if (!line_.empty() && line_.back().style == style_ && !line_.back().wide &&
            SameState(line_.back().state, state_)) {
            line_.back().bytes += part;
        } else {
            line_.push_back({std::string(part), style_, false, state_});
        }
        characters.remove_prefix(n);
    }
}

void VirtualPrinter::Control(uint8_t byte) {
    const uint8_t crHonoured = FunctionSwitchByte(true, false, false) & 0x0F;
    if (byte == '\n' || (byte == '\r' && (settings_.switches & crHonoured))) {
        PrintLine(lineSpacing_);
    } else if (byte == '\t') {
        // Tab stops every 8 font A characters; other widths stop after 8 spaces.
        for (int i = 0; i < 8; ++i) {
            Put(" ", false);
            if (lineDots_ % (8 * 12) == 0)
                break;
        }
    }
}

void VirtualPrinter::PrintLine(int feed) {
    if (line_.empty() && bandDots_ > 0) {
        // The band was the line: a spacing no more than its height puts the next band right
        // below it, as column pictures are sent.
        const int gap = std::min(feed, kMaxFeedDots) - bandDots_;
        bandDots_ = 0;
        ++counters_.lines;
        if (gap > 0)
            Add(PaperFeed{gap});
        return;
    }
    PaperLine line;
    line.align = align_;
    int height = 0;
    for (const Run& run : line_) {
        height = std::max(height, CharHeight(run.style));
        line.runs.push_back({DecodeText(run.bytes, run.state), run.style, run.wide});
        counters_.work += run.bytes.size();
    }
    line.spacing = std::max(std::min(feed, kMaxFeedDots), height);
    line_.clear();
    lineDots_ = 0;
    ++counters_.lines;
    Add(std::move(line));
}

void VirtualPrinter::PrintPendingLine() {
    if (!line_.empty())
        PrintLine(lineSpacing_);
}

void VirtualPrinter::Add(PaperItem item) {
    bandDots_ = 0;
    if (const auto* image = std::get_if<PaperImage>(&item))
        imageDots_ += image->dots.size();
    paperHeight_ += ItemHeight(item);
    paper_.push_back(std::move(item));
    if (paper_.size() <= kPaperItems && imageDots_ <= kPaperImageDots &&
        paperHeight_ <= kPaperHeightDots)
        return;
    // Down to three quarters of each limit passed, so that the next trim is far off.
    size_t drop = paper_.size() > kPaperItems ? kPaperTrim : 0;
    size_t dots = imageDots_;
    int64_t height = paperHeight_;
    for (size_t i = 0; i < drop; ++i) {
        if (const auto* image = std::get_if<PaperImage>(&paper_[i]))
            dots -= image->dots.size();
        height -= ItemHeight(paper_[i]);
    }
    const bool overDots = dots > kPaperImageDots, overHeight = height > kPaperHeightDots;
    while (drop < paper_.size() - 1 && ((overDots && dots > kPaperImageDots / 4 * 3) ||
                                        (overHeight && height > kPaperHeightDots / 4 * 3))) {
        if (const auto* image = std::get_if<PaperImage>(&paper_[drop]))
            dots -= image->dots.size();
        height -= ItemHeight(paper_[drop]);
        ++drop;
    }
    imageDots_ = dots;
    paperHeight_ = height;
    paper_.erase(paper_.begin(), paper_.begin() + static_cast<std::ptrdiff_t>(drop));
    dropped_ += drop;
    counters_.work += paper_.size();
}

const Dots& VirtualPrinter::NvPrint(size_t index, int scale) {
    std::optional<PaperImage>& print = nvPrints_[index][static_cast<size_t>(scale)];
    const PaperImage& nv = nv_[index];
    if (!print) {
        const int sx = scale & 1 ? 2 : 1, sy = scale & 2 ? 2 : 1;
        if (sx == 1 && sy == 1 && nv.width <= paperWidth_ && nv.height <= kImageRows) {
            print = nv;  // printed as stored
        } else {
            print = Render(
                nv.width, nv.height, sx, sy, paperWidth_, Align::Left, counters_.work,
                [&](int x, int y) { return nv.dots[static_cast<size_t>(y) * nv.width + x]; });
        }
    }
    return print->dots;
}

void VirtualPrinter::ResetModes() {
    state_ = {settings_.chineseMode, settings_.codePage};
    style_ = {};
    align_ = Align::Left;
    lineSpacing_ = 30;
    symbols_ = {};
}

// The HRI text as lines of its own, so that the view draws it as it draws any text.
void VirtualPrinter::PrintSymbol(const DrawnSymbol& symbol) {
    PrintPendingLine();
    auto text = [&] {
        TextStyle style;
        style.fontB = symbols_.hriFontB;
        ++counters_.lines;
        Add(PaperLine{{{symbol.text, style, false}}, align_, CharHeight(style)});
    };
    if (symbols_.hri & 1 && !symbol.text.empty())
        text();
    PaperImage image = symbol.image;
    image.align = align_;
    if (symbol.fresh) {
        counters_.work += image.dots.size();
        counters_.symbolDots += image.dots.size();
    }
    Add(std::move(image));
    if (symbols_.hri & 2 && !symbol.text.empty())
        text();
}

void VirtualPrinter::Command(std::string_view c, std::string& answer) {
    auto is = [&](std::string_view key) { return c.starts_with(key); };
    const uint8_t a = c.size() > 2 ? At(c, 2) : 0;
    if (is("\x1F"sv)) {
        Vendor(c);
    } else if (is("\x10\x04"sv)) {
        if (const uint8_t status = StatusByte(a))
            answer += static_cast<char>(status);
    } else if (is("\x1B\x40"sv)) {
        line_.clear();  // the print buffer is cleared, not printed
        lineDots_ = 0;
        bandDots_ = 0;
        ResetModes();
    } else if (is("\x1B\x61"sv)) {
        if (Digit(a) <= 2)
            align_ = static_cast<Align>(Digit(a));
    } else if (is("\x1B\x45"sv)) {
        style_.bold = a & 1;
    } else if (is("\x1B\x2D"sv)) {
        if (Digit(a) <= 2)
            style_.underline = static_cast<uint8_t>(Digit(a));
    } else if (is("\x1B\x21"sv)) {
        // Reverse and upside-down are not among ESC !'s bits: they stay.
        style_ = {(a & 0x08) != 0,
                  static_cast<uint8_t>(a & 0x80 ? 1 : 0),
                  static_cast<uint8_t>(a & 0x20 ? 2 : 1),
                  static_cast<uint8_t>(a & 0x10 ? 2 : 1),
                  (a & 0x01) != 0,
                  style_.reverse,
                  style_.upsideDown};
    } else if (is("\x1D\x42"sv)) {
        style_.reverse = a & 1;
    } else if (is("\x1B\x7B"sv)) {
        style_.upsideDown = a & 1;
    } else if (is("\x1D\x49"sv)) {
        answer += IdentityAnswer(a);
    } else if (is("\x1D\x72"sv)) {
        // Paper sensors: bits 0-1 near end, bits 2-3 out; drawer: bit 0 connector pin 3 high.
        const StatusFlags& f = flags_;
        if (Digit(a) == 1)
            answer += static_cast<char>((f.paperNearEnd ? 0x03 : 0) | (f.paperOut ? 0x0C : 0));
        else if (Digit(a) == 2)
            answer += static_cast<char>(f.drawerOpen ? 0x01 : 0);
    } else if (is("\x1D\x21"sv)) {
        if ((a >> 4) < 8 && (a & 0x0F) < 8) {  // larger sizes are out of range: ignored
            style_.widthMul = static_cast<uint8_t>((a >> 4) + 1);
            style_.heightMul = static_cast<uint8_t>((a & 0x0F) + 1);
        }
    } else if (is("\x1B\x4D"sv)) {
        if (Digit(a) <= 1)
            style_.fontB = Digit(a) == 1;
    } else if (is("\x1B\x32"sv)) {
        lineSpacing_ = 30;
    } else if (is("\x1B\x33"sv)) {
        lineSpacing_ = a;
    } else if (is("\x1B\x64"sv) || is("\x1B\x4A"sv)) {
        const int dots = std::min(is("\x1B\x64"sv) ? a * lineSpacing_ : a, kMaxFeedDots);
        if (!line_.empty() || bandDots_ > 0)
            PrintLine(dots);
        else if (dots > 0)
            Add(PaperFeed{dots});
    } else if (is("\x1D\x56"sv)) {
        PrintPendingLine();
        if (c.size() == 4 && c[3] != 0)
            Add(PaperFeed{At(c, 3)});
        const bool partial = a == 1 || a == 49 || a == 66 || a == 98 || a == 104;
        Add(PaperCut{partial});
        ++counters_.cuts;
    } else if (is("\x1B\x70"sv)) {
        ++counters_.drawerPulses;
    } else if (is("\x1B\x74"sv)) {
        state_.codePage = a;
    } else if (is("\x1C\x26"sv) || is("\x1C\x2E"sv)) {
        state_.chinese = is("\x1C\x26"sv);
    } else if (is("\x1C\x70"sv)) {
        if (a >= 1 && size_t{a} <= nv_.size() && Digit(At(c, 3)) <= 3) {
            PrintPendingLine();
            const Dots& dots = NvPrint(a - 1u, static_cast<int>(Digit(At(c, 3))));
            const auto [sx, sy] = *Scale(At(c, 3));
            const PaperImage& nv = nv_[a - 1u];
            Add(PaperImage{std::min(nv.width * sx, paperWidth_),
                           std::min(nv.height * sy, kImageRows), dots, align_});
        }
    } else if (is("\x1D\x76\x30"sv)) {
        const unsigned xBytes = Word(c, 4), rows = Word(c, 6);
        const auto scale = Scale(At(c, 3));
        if (xBytes > 0 && rows > 0 && scale) {
            PrintPendingLine();
            Add(Render(static_cast<int>(8 * xBytes), static_cast<int>(rows), scale->first,
                       scale->second, paperWidth_, align_, counters_.work, [&](int x, int y) {
                           return Bit(At(c, 8 + size_t{xBytes} * y + x / 8), x % 8);
                       }));
        }
    } else if (is("\x1B\x2A"sv)) {
        // 8-dot modes print at a third of the vertical density, single density at half the
        // horizontal one.
        const unsigned columns = Word(c, 3);
        const int band = a < 32 ? 8 : 24;
        if (columns > 0 && (a == 0 || a == 1 || a == 32 || a == 33)) {
            PrintPendingLine();
            Add(Render(static_cast<int>(columns), band, a % 2 ? 1 : 2, band == 8 ? 3 : 1,
                       paperWidth_, align_, counters_.work, [&](int x, int y) {
                           return Bit(At(c, 5 + static_cast<size_t>(x) * (band / 8) + y / 8),
                                      y % 8);
                       }));
            bandDots_ = band == 8 ? 3 * band : band;
        }
    } else if (is("\x1D\x28\x6B"sv)) {
        if (const auto symbol = SymbolFunction(c, symbols_))
            PrintSymbol(*symbol);
    } else if (is("\x1D\x6B"sv)) {
        if (const auto symbol = Barcode(c, symbols_))
            PrintSymbol(*symbol);
    } else if (is("\x1D\x68"sv) || is("\x1D\x77"sv) || is("\x1D\x48"sv) || is("\x1D\x66"sv)) {
        BarcodeSetting(c, symbols_);
    } else if (is(WirelessDataHeader())) {
        Text(c, false);  // no bridge in front: the header is only text
    }
}

void VirtualPrinter::Vendor(std::string_view c) {
    auto is = [&](std::string_view key) { return c.starts_with(key); };
    const uint8_t v = c.size() > 4 ? At(c, 4) : 0;
    if (is("\x1F\x1B\x1F\x53"sv)) {
        const char code = static_cast<char>(v);
        if (code == kBaudCode115200 || code == kBaudCode38400 || code == kBaudCode19200 ||
            code == kBaudCode9600)
            settings_.baudCode = code;
    } else if (is("\x1F\x1B\x1F\xFD"sv)) {
        settings_.intlCharset = v;
    } else if (is("\x1F\x1B\x1F\xFF"sv)) {
        settings_.codePage = state_.codePage = v;
    } else if (is("\x1F\x1B\x1F\xFE"sv)) {
        if (v <= 1)
            settings_.chineseMode = state_.chinese = v == 0;
    } else if (is("\x1F\x1B\x1F\x50"sv)) {
        settings_.switches = v;
    } else if (is("\x1F\x02\x57\x49"sv)) {
        std::copy_n(c.begin() + 4, 4, settings_.ip.begin());
    } else if (is("\x1F\x02\x57\x43"sv)) {
        std::copy_n(c.begin() + 4, 6, settings_.mac.begin());
    } else if (is("\x1F\x02\x40\x4E"sv)) {
        settings_ = {};
        ResetModes();
    }
}

Bridge::Bridge(VirtualPrinter& direct,
               std::vector<std::pair<std::string, VirtualPrinter*>> numbered)
    : direct_(&direct), numbered_(std::move(numbered)), target_(&direct) {}

void Bridge::EndFrame() {
    target_ = direct_;
}

void Bridge::Send(std::string_view bytes, std::string& answer) {
    if (target_ && !bytes.empty())
        answer += target_->Feed(bytes);
}

std::string Bridge::Feed(std::string_view bytes) {
    // A number longer than this is not waited for.
    constexpr size_t kMaxDigits = 8;
    const std::string header = WirelessDataHeader();
    const std::string data = std::move(held_) + std::string(bytes);
    held_.clear();
    std::string answer;
    std::string_view rest = data;
    while (!rest.empty()) {
        const size_t at = rest.find(header);
        if (at == std::string_view::npos) {
            size_t keep = std::min(header.size() - 1, rest.size());
            while (keep > 0 && !rest.ends_with(std::string_view(header).substr(0, keep)))
                --keep;
            Send(rest.substr(0, rest.size() - keep), answer);
            held_ = rest.substr(rest.size() - keep);
            break;
        }
        Send(rest.substr(0, at), answer);
        size_t end = at + header.size();
        while (end < rest.size() && end - at - header.size() < kMaxDigits && rest[end] >= '0' &&
               rest[end] <= '9')
            ++end;
        if (end == rest.size() && end - at - header.size() < kMaxDigits) {
            held_ = rest.substr(at);  // more digits may follow
            break;
        }
        const std::string_view number = rest.substr(at + header.size(), end - at - header.size());
        const auto found = std::find_if(numbered_.begin(), numbered_.end(),
                                        [&](const auto& p) { return p.first == number; });
        target_ = found == numbered_.end() ? nullptr : found->second;
        rest.remove_prefix(end);
    }
    return answer;
}

}  // namespace kelvo::printer
