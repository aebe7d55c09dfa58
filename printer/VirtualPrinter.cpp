#include "printer/VirtualPrinter.h"

#include <algorithm>
#include <optional>

#include "protocol/Commands.h"

namespace kelvo::printer {

namespace {

using namespace std::string_view_literals;
using Kind = DecodedCommand::Kind;

// Trimmed a thousand at a time, so that a long job does not shift the whole list for every line.
constexpr size_t kPaperItems = 5000;
constexpr size_t kPaperTrim = 1000;
constexpr size_t kPaperImageDots = size_t{32} << 20;
// One maximum FS q image fits; anything longer is read past rather than kept in memory.
constexpr uint64_t kLongestCommand = uint64_t{4} << 20;
// FS q limits in bytes: 8184 x 2304 dots.
constexpr unsigned kNvWidthBytes = 1023;
constexpr unsigned kNvHeightBytes = 288;
// Rows of one printed picture: an NV image at double height.
constexpr int kImageRows = 2 * 8 * kNvHeightBytes;

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
PaperImage Render(int width, int height, int sx, int sy, Align align, Black black) {
    PaperImage image;
    image.width = std::min(width * sx, kPaperDots);
    image.height = std::min(height * sy, kImageRows);
    image.align = align;
    image.dots.resize(static_cast<size_t>(image.width) * static_cast<size_t>(image.height));
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x)
            image.dots[static_cast<size_t>(y) * image.width + x] = black(x / sx, y / sy) ? 1 : 0;
    }
    return image;
}

// FS q n, then per image xL xH yL yH and x * y * 8 bytes: 8x dot columns from the left, each y
// bytes from the top, the most significant bit on top. Empty when any image breaks the limits.
std::optional<std::vector<PaperImage>> ReadFsQ(std::string_view c) {
    const unsigned n = At(c, 2);
    if (n == 0)
        return std::nullopt;
    std::vector<PaperImage> images;
    size_t at = 3;
    for (unsigned i = 0; i < n; ++i) {
        const unsigned x = Word(c, at), y = Word(c, at + 2);
        at += 4;
        if (x == 0 || y == 0 || x > kNvWidthBytes || y > kNvHeightBytes)
            return std::nullopt;
        PaperImage image;
        image.width = static_cast<int>(8 * x);
        image.height = static_cast<int>(8 * y);
        image.dots.resize(size_t{64} * x * y);
        for (size_t column = 0; column < 8 * x; ++column) {
            for (size_t row = 0; row < 8 * y; ++row) {
                image.dots[row * image.width + column] =
                    Bit(At(c, at + column * y + row / 8), static_cast<int>(row % 8));
            }
        }
        at += size_t{8} * x * y;
        images.push_back(std::move(image));
    }
    return images;
}

}  // namespace

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
}

uint8_t VirtualPrinter::StatusByte(int n) const {
    const StatusFlags& f = flags_;
    switch (n) {
        case 1:
            return 0x12 | (f.drawerOpen ? 0x04 : 0) |
                   (!f.online || f.coverOpen || f.paperOut ? 0x08 : 0);
        case 2:
            return 0x12 | (f.coverOpen ? 0x04 : 0) | (f.paperOut ? 0x20 : 0) | (f.error ? 0x40 : 0);
        case 3:
            return 0x12;
        case 4:
            return 0x12 | (f.paperNearEnd ? 0x0C : 0) | (f.paperOut ? 0x60 : 0);
        default:
            return 0;
    }
}

std::string VirtualPrinter::Feed(std::string_view bytes) {
    counters_.bytes += bytes.size();
    const auto passed = static_cast<size_t>(std::min<uint64_t>(skip_, bytes.size()));
    skip_ -= passed;
    bytes.remove_prefix(passed);
    std::string answer;
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
        // One entry at a time: what it does (ESC @, a stored code page) changes how the next reads.
        const DecodedCommand c = DecodeCommands(rest, state_, 1).front();
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
        }
        pos += c.length;
    }
}

void VirtualPrinter::Hold(std::string_view rest, uint64_t needed) {
    if (needed > kLongestCommand) {
        skip_ = needed - rest.size();
        return;
    }
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
    if (lineDots_ + width > kPaperDots && !line_.empty())
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
        if (lineDots_ + width > kPaperDots && !line_.empty())
            PrintLine(lineSpacing_);
        // As many as fit on this line, one at least (a character wider than the paper still
        // prints alone).
        const int room = std::max(1, (kPaperDots - lineDots_) / width);
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
    PaperLine line;
    line.align = align_;
    int height = 0;
    for (const Run& run : line_) {
        height = std::max(height, CharHeight(run.style));
        line.runs.push_back({DecodeText(run.bytes, run.state), run.style, run.wide});
    }
    line.spacing = std::max(feed, height);
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
    if (const auto* image = std::get_if<PaperImage>(&item))
        imageDots_ += image->dots.size();
    paper_.push_back(std::move(item));
    if (paper_.size() <= kPaperItems && imageDots_ <= kPaperImageDots)
        return;
    size_t drop = paper_.size() > kPaperItems ? kPaperTrim : 0;
    for (size_t dots = imageDots_; drop < paper_.size() - 1 && dots > kPaperImageDots; ++drop) {
        if (const auto* image = std::get_if<PaperImage>(&paper_[drop]))
            dots -= image->dots.size();
    }
    for (size_t i = 0; i < drop; ++i) {
        if (const auto* image = std::get_if<PaperImage>(&paper_[i]))
            imageDots_ -= image->dots.size();
    }
    paper_.erase(paper_.begin(), paper_.begin() + static_cast<std::ptrdiff_t>(drop));
    dropped_ += drop;
}

void VirtualPrinter::ResetModes() {
    state_ = {settings_.chineseMode, settings_.codePage};
    style_ = {};
    align_ = Align::Left;
    lineSpacing_ = 30;
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
        style_ = {(a & 0x08) != 0, static_cast<uint8_t>(a & 0x80 ? 1 : 0),
                  static_cast<uint8_t>(a & 0x20 ? 2 : 1), static_cast<uint8_t>(a & 0x10 ? 2 : 1),
                  (a & 0x01) != 0};
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
        const int dots = is("\x1B\x64"sv) ? a * lineSpacing_ : a;
        if (!line_.empty())
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
    } else if (is("\x1C\x71"sv)) {
        if (auto images = ReadFsQ(c))
            nv_ = std::move(*images);
    } else if (is("\x1C\x70"sv)) {
        const auto scale = Scale(At(c, 3));
        if (a >= 1 && size_t{a} <= nv_.size() && scale) {
            const PaperImage& nv = nv_[a - 1];
            PrintPendingLine();
            Add(Render(nv.width, nv.height, scale->first, scale->second, align_, [&](int x, int y) {
                return nv.dots[static_cast<size_t>(y) * nv.width + x];
            }));
        }
    } else if (is("\x1D\x76\x30"sv)) {
        const unsigned xBytes = Word(c, 4), rows = Word(c, 6);
        const auto scale = Scale(At(c, 3));
        if (xBytes > 0 && rows > 0 && scale) {
            PrintPendingLine();
            Add(Render(static_cast<int>(8 * xBytes), static_cast<int>(rows), scale->first,
                       scale->second, align_, [&](int x, int y) {
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
            Add(Render(static_cast<int>(columns), band, a % 2 ? 1 : 2, band == 8 ? 3 : 1, align_,
                       [&](int x, int y) {
                           return Bit(At(c, 5 + static_cast<size_t>(x) * (band / 8) + y / 8),
                                      y % 8);
                       }));
        }
    } else if (is("\x1D\x28\x6B"sv) && c.size() >= 8 && At(c, 5) == '1') {
        if (At(c, 6) == 80) {
            qrData_ = DecodeText(c.substr(8), state_);
        } else if (At(c, 6) == 81 && !qrData_.empty()) {
            PrintPendingLine();
            PaperLine qr{{{"[QR: " + qrData_ + "]", TextStyle{}, false}}, align_, lineSpacing_};
            ++counters_.lines;
            Add(std::move(qr));
        }
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
