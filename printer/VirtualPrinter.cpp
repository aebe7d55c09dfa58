#include "printer/VirtualPrinter.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

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

// ESC R: the characters each international set prints at 23 24 40 5B 5C 5D 5E 60 7B 7C 7D 7E.
constexpr char kIntlPositions[] = "#$@[\\]^`{|}~";
constexpr const char* kIntlSets[][12] = {
    {"#", "$", "@", "[", "\\", "]", "^", "`", "{", "|", "}", "~"},  // USA
    {"#", "$", "à", "°", "ç", "§", "^", "`", "é", "ù", "è", "¨"},   // France
    {"#", "$", "§", "Ä", "Ö", "Ü", "^", "`", "ä", "ö", "ü", "ß"},   // Germany
    {"£", "$", "@", "[", "\\", "]", "^", "`", "{", "|", "}", "~"},  // UK
    {"#", "$", "@", "Æ", "Ø", "Å", "^", "`", "æ", "ø", "å", "~"},   // Denmark I
    {"#", "¤", "É", "Ä", "Ö", "Å", "Ü", "é", "ä", "ö", "å", "ü"},   // Sweden
    {"#", "$", "@", "°", "\\", "é", "^", "ù", "à", "ò", "è", "ì"},  // Italy
    {"₧", "$", "@", "¡", "Ñ", "¿", "^", "`", "¨", "ñ", "}", "~"},   // Spain I
    {"#", "$", "@", "[", "¥", "]", "^", "`", "{", "|", "}", "~"},   // Japan
    {"#", "¤", "É", "Æ", "Ø", "Å", "Ü", "é", "æ", "ø", "å", "ü"},   // Norway
    {"#", "$", "É", "Æ", "Ø", "Å", "Ü", "é", "æ", "ø", "å", "ü"},   // Denmark II
    {"#", "$", "á", "¡", "Ñ", "¿", "é", "`", "í", "ñ", "ó", "ú"},   // Spain II
    {"#", "$", "á", "¡", "Ñ", "¿", "é", "ü", "í", "ñ", "ó", "ú"},   // Latin America
    {"#", "$", "@", "[", "₩", "]", "^", "`", "{", "|", "}", "~"},   // Korea
    {"#", "$", "Ž", "Š", "Đ", "Ć", "Č", "ž", "š", "đ", "ć", "č"},   // Slovenia/Croatia
    {"#", "¥", "@", "[", "\\", "]", "^", "`", "{", "|", "}", "~"},  // China
};
constexpr size_t kIntlSetCount = std::size(kIntlSets);

// Single-byte text as printed with international set `intl`: the bytes it replaces come out as
// its characters, the rest as the code page reads them.
std::string IntlText(std::string_view bytes, const DecoderState& state, uint8_t intl) {
    if (intl == 0 || intl >= kIntlSetCount)
        return DecodeText(bytes, state);
    std::string out;
    size_t from = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char* at = std::strchr(kIntlPositions, bytes[i]);
        if (bytes[i] == 0 || at == nullptr)
            continue;
        out += DecodeText(bytes.substr(from, i - from), state);
        out += kIntlSets[intl][at - kIntlPositions];
        from = i + 1;
    }
    return out + DecodeText(bytes.substr(from), state);
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

int CharacterPitch(const TextStyle& style, bool wide) {
    return CharWidth(style, wide) + style.spacing * style.widthMul;
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

void VirtualPrinter::StartJob(std::string endpoint) {
    if (jobRunning_ && job_.bytes > 0)
        EndJob("next");
    job_.endpoint = std::move(endpoint);
    job_.started = std::chrono::system_clock::now();
    job_.firstItem = job_.endItem = dropped_ + paper_.size();
    jobRunning_ = true;
    trace_.before = settings_;
}

void VirtualPrinter::WatchJobs(JobWatcher watcher) {
    watcher_ = std::move(watcher);
    trace_ = {};
    trace_.before = settings_;
}

void VirtualPrinter::EndJob(std::string how) {
    if (!jobRunning_)
        StartJob(job_.endpoint);
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
    job_.ended = std::chrono::system_clock::now();
    job_.endItem = dropped_ + paper_.size();
    if (watcher_) {
        // Answers sent between jobs stay with the next one, as its first request asked for them.
        watcher_(job_, std::exchange(trace_, {}));
        trace_.before = settings_;
    }
    const uint64_t next = job_.number + 1;
    std::string endpoint = job_.endpoint;
    jobs_.push_back(std::move(job_));
    if (jobs_.size() > kJobsKept)
        jobs_.pop_front();
    job_ = {};
    job_.number = next;
    job_.endpoint = std::move(endpoint);
    jobRunning_ = false;
}

bool VirtualPrinter::SetPaperWidth(int dots) {
    if (dots != kPaper80Dots && dots != kPaper58Dots)
        return false;
    if (dots != paperWidth_) {  // drawn for the other width
        nvPrints_.assign(nv_.size(), {});
        for (NvGraphic& graphic : nvGraphics_)
            graphic.prints = {};
    }
    paperWidth_ = dots;
    symbols_.paperWidth = dots;
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

bool VirtualPrinter::Offline() const {
    return (StatusByte(1) & 0x08) != 0;
}

std::string VirtualPrinter::AsbStatus() const {
    const StatusFlags& f = flags_;
    std::string status(4, '\0');
    // Bit 4 of the first byte is set and of the others clear, so that the host can find the
    // first of the four among its answers.
    status[0] = static_cast<char>(0x10 | (f.drawerOpen ? 0x04 : 0) | (Offline() ? 0x08 : 0) |
                                  (f.coverOpen ? 0x20 : 0));
    status[1] = static_cast<char>(StatusByte(3) & 0x68);
    status[2] = static_cast<char>((f.paperNearEnd ? 0x03 : 0) | (f.paperOut ? 0x0C : 0));
    return status;
}

std::string VirtualPrinter::SetFlags(const StatusFlags& flags) {
    const std::string before = AsbStatus();
    flags_ = flags;
    if (asbMask_ == 0)
        return {};
    const std::string after = AsbStatus();
    // Per watched state, the bits that report it; the cover goes with online and offline.
    const uint8_t drawer = 0x04, online = 0x28;
    auto differs = [&](size_t i, uint8_t bits) { return ((before[i] ^ after[i]) & bits) != 0; };
    const bool changed =
        ((asbMask_ & 0x01) && differs(0, drawer)) || ((asbMask_ & 0x02) && differs(0, online)) ||
        ((asbMask_ & 0x04) && differs(1, 0xFF)) || ((asbMask_ & 0x08) && differs(2, 0xFF));
    return changed ? after : std::string();
}

std::string VirtualPrinter::RealTime(std::string_view received) {
    std::string answer = Answer(received);
    if (watcher_)
        trace_.answers += answer;
    return answer;
}

std::string VirtualPrinter::Answer(std::string_view received) {
    // A printer looks at each byte as it arrives, before it knows what the byte is part of, so
    // that these bytes inside a picture's data are taken as a request too; so are they here.
    std::string answer;
    for (size_t i = 0; i < received.size(); ++i) {
        if (realTimeHeld_.empty()) {
            // Most bytes start nothing: skip to the next DLE.
            i = received.find('\x10', i);
            if (i == std::string_view::npos)
                break;
        }
        const char c = received[i];
        const auto b = static_cast<uint8_t>(c);
        if (realTimeHeld_.size() < 2) {
            if (b == 0x10)
                realTimeHeld_.assign(1, c);
            else if (realTimeHeld_.size() == 1 && (b == 0x04 || b == 0x05))
                realTimeHeld_ += c;
            else
                realTimeHeld_.clear();
            continue;
        }
        const bool status = realTimeHeld_[1] == 0x04;
        realTimeHeld_.clear();
        if (status) {
            if (const uint8_t byte = StatusByte(b))
                answer += static_cast<char>(byte);
        } else if ((b == 1 || b == 2) && flags_.error && flags_.errorCause == ErrorCause::Cutter) {
            // DLE ENQ 1 and 2 recover from an error that allows it: the cutter's.
            StatusFlags recovered = flags_;
            recovered.error = false;
            answer += SetFlags(recovered);
        }
        if (b == 0x10)
            realTimeHeld_.assign(1, c);
    }
    return answer;
}

std::string VirtualPrinter::Print(std::string_view bytes) {
    realTimeDone_ = true;
    std::string answer = Feed(bytes);
    realTimeDone_ = false;
    return answer;
}

std::string VirtualPrinter::Feed(std::string_view bytes) {
    if (!jobRunning_)
        StartJob(job_.endpoint);
    if (!watcher_)
        return Take(bytes);
    trace_.bytes.append(
        bytes.substr(0, kJobTraceBytes - std::min(kJobTraceBytes, trace_.bytes.size())));
    std::string answer = Take(bytes);
    trace_.answers += answer;
    return answer;
}

std::string VirtualPrinter::Take(std::string_view bytes) {
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
        if (rest.starts_with("\x1D\x38\x4C"sv) && rest.size() >= 7 &&
            Word(rest, 3) + (uint64_t{Word(rest, 5)} << 16) > kMaxRasterBytes) {
            ++job_.refused;
            pos += 7;
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

int VirtualPrinter::AreaLeft() const {
    return std::min(margin_, paperWidth_ - 1);
}

int VirtualPrinter::AreaWidth() const {
    return std::max(1, std::min(areaWidth_, paperWidth_ - AreaLeft()));
}

void VirtualPrinter::MoveTo(int dots) {
    lineDots_ = dots;
    placed_ = true;
}

void VirtualPrinter::Place(std::string_view characters, const TextStyle& style, bool wide) {
    // ESC R replaces single-byte characters only.
    const uint8_t intl = wide ? uint8_t{0} : intl_;
    const bool joins = !placed_ && !line_.empty() && line_.back().style == style &&
                       line_.back().wide == wide && SameState(line_.back().state, state_) &&
                       line_.back().intl == intl;
    if (joins) {
        line_.back().bytes += characters;
        return;
    }
    if (line_.size() >= kLineRuns)
        PrintLine(lineSpacing_);
    line_.push_back({std::string(characters), style, wide, state_, placed_ ? lineDots_ : -1, intl});
    placed_ = false;
}

void VirtualPrinter::Put(std::string_view character, bool wide) {
    TextStyle style = style_;
    if (wide) {  // FS ! and FS - rule two-byte characters, and ESC SP is not theirs
        style.widthMul = wideModes_.widthMul;
        style.heightMul = wideModes_.heightMul;
        style.underline = wideModes_.underline;
        style.spacing = 0;
    }
    const int width = CharacterPitch(style, wide);
    if (lineDots_ > 0 && lineDots_ + width > AreaWidth())
        PrintLine(lineSpacing_);
    Place(character, style, wide);
    lineDots_ += width;
}

void VirtualPrinter::PutNarrow(std::string_view characters) {
    const int width = CharacterPitch(style_, false);
    while (!characters.empty()) {
        if (lineDots_ > 0 && lineDots_ + width > AreaWidth())
            PrintLine(lineSpacing_);
        // As many as fit on this line, one at least (a character wider than the paper still
        // prints alone).
        const int room = std::max(1, (AreaWidth() - lineDots_) / width);
        const size_t n = std::min(characters.size(), static_cast<size_t>(room));
        Place(characters.substr(0, n), style_, false);
        lineDots_ += static_cast<int>(n) * width;
        characters.remove_prefix(n);
    }
}

void VirtualPrinter::Control(uint8_t byte) {
    const uint8_t crHonoured = FunctionSwitchByte(true, false, false) & 0x0F;
    if (byte == '\n' || (byte == '\r' && (settings_.switches & crHonoured))) {
        PrintLine(lineSpacing_);
    } else if (byte == '\t') {
        // To the next stop; past the last one HT does nothing, and a stop beyond the print area
        // fills the line.
        const auto next = std::upper_bound(tabs_.begin(), tabs_.end(), lineDots_);
        if (next != tabs_.end())
            MoveTo(std::min(*next, AreaWidth()));
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
    line.left = AreaLeft();
    line.width = AreaWidth() == paperWidth_ - line.left ? 0 : AreaWidth();
    int height = 0;
    for (const Run& run : line_) {
        height = std::max(height, CharHeight(run.style));
        line.runs.push_back({IntlText(run.bytes, run.state, run.intl), run.style, run.wide, run.x});
        counters_.work += run.bytes.size();
    }
    line.spacing = std::max(std::min(feed, kMaxFeedDots), height);
    line_.clear();
    lineDots_ = 0;
    placed_ = false;
    ++counters_.lines;
    Add(std::move(line));
}

void VirtualPrinter::PrintPendingLine() {
    if (!line_.empty())
        PrintLine(lineSpacing_);
}

void VirtualPrinter::NoteJobItem(const PaperItem& item) {
    if (const auto* line = std::get_if<PaperLine>(&item)) {
        ++job_.lines;
        if (job_.firstLine.empty()) {
            std::string text;
            for (const TextRun& run : line->runs)
                text += run.utf8;
            const size_t from = text.find_first_not_of(' ');
            if (from != std::string::npos)
                job_.firstLine = text.substr(from, text.find_last_not_of(' ') + 1 - from);
        }
    } else if (std::holds_alternative<PaperImage>(item)) {
        ++job_.pictures;
    } else if (std::holds_alternative<PaperCut>(item)) {
        ++job_.cuts;
    }
}

void VirtualPrinter::Add(PaperItem item) {
    bandDots_ = 0;
    NoteJobItem(item);
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
    state_ = PowerOnState();
    style_ = {};
    align_ = Align::Left;
    lineSpacing_ = 30;
    wideModes_ = {};
    intl_ = settings_.intlCharset;
    margin_ = 0;
    areaWidth_ = 65535;
    tabs_.clear();
    for (size_t i = 1; i <= kTabStops; ++i)  // every 8 font A characters
        tabs_.push_back(static_cast<int>(8 * 12 * i));
    graphics_.reset();
    symbols_ = {};
    symbols_.paperWidth = paperWidth_;
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
            graphics_ = Render(static_cast<int>(x), static_cast<int>(y), bx, by, paperWidth_,
                               Align::Left, counters_.work, black(data, x));
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
            x > posdll::kMaxWidthDots || y > posdll::kMaxHeightDots ||
            p.size() - 10 < colours * (1 + k))
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
                             Align::Left, counters_.work, black(p.substr(at + 1, k), x));
            nvGraphicsBytes_ += k;
            break;
        }
    } else if (fn == 69 && p.size() == 6) {
        const auto at = find(p.substr(2, 2));
        const uint8_t sx = At(p, 4), sy = At(p, 5);
        if (at == nvGraphics_.end() || (sx != 1 && sx != 2) || (sy != 1 && sy != 2))
            return;
        const PaperImage& nv = at->image;
        std::optional<PaperImage>& print = at->prints[(sx - 1u) | (sy - 1u) << 1];
        if (!print) {
            if (sx == 1 && sy == 1 && nv.width <= paperWidth_ && nv.height <= kImageRows) {
                print = nv;  // printed as stored
            } else {
                print = Render(nv.width, nv.height, sx, sy, paperWidth_, Align::Left,
                               counters_.work, [&](int px, int py) {
                                   return nv.dots[static_cast<size_t>(py) * nv.width + px] != 0;
                               });
            }
        }
        PrintPicture(*print);
    }
}

void VirtualPrinter::Command(std::string_view c, std::string& answer) {
    auto is = [&](std::string_view key) { return c.starts_with(key); };
    const uint8_t a = c.size() > 2 ? At(c, 2) : 0;
    // What text means from here on follows the decoder's rule.
    ApplyToState(c, state_, PowerOnState());
    if (is("\x1F"sv)) {
        Vendor(c);
    } else if (is("\x10\x04"sv)) {
        if (const uint8_t status = StatusByte(a); status && !realTimeDone_)
            answer += static_cast<char>(status);
    } else if (is("\x1D\x61"sv)) {
        // As printers do, the status goes out at once when it is turned on, then on each change.
        asbMask_ = a & 0x0F;
        if (asbMask_ != 0)
            answer += AsbStatus();
    } else if (is("\x1B\x40"sv)) {
        line_.clear();  // the print buffer is cleared, not printed
        lineDots_ = 0;
        placed_ = false;
        bandDots_ = 0;
        asbMask_ = 0;
        ResetModes();
    } else if (is("\x1B\x61"sv)) {
        if (Digit(a) <= 2)
            align_ = static_cast<Align>(Digit(a));
    } else if (is("\x1B\x45"sv)) {
        style_.bold = a & 1;
    } else if (is("\x1B\x2D"sv)) {
        if (Digit(a) <= 2)
            style_.underline = static_cast<uint8_t>(Digit(a));
    } else if (is("\x1C\x2D"sv)) {
        if (Digit(a) <= 2)
            wideModes_.underline = static_cast<uint8_t>(Digit(a));
    } else if (is("\x1C\x21"sv)) {
        wideModes_ = {static_cast<uint8_t>(a & 0x04 ? 2 : 1),
                      static_cast<uint8_t>(a & 0x08 ? 2 : 1),
                      static_cast<uint8_t>(a & 0x80 ? 1 : 0)};
    } else if (is("\x1B\x20"sv)) {
        style_.spacing = a;
    } else if (is("\x1B\x56"sv)) {
        if (Digit(a) <= 2)
            style_.rotated = Digit(a) != 0;
    } else if (is("\x1B\x52"sv)) {
        if (a < kIntlSetCount)
            intl_ = a;
    } else if (is("\x1B\x44"sv)) {
        // Columns of the character width (its spacing included) in force now.
        tabs_.clear();
        for (size_t i = 2; i < c.size() && At(c, i) != 0; ++i)
            tabs_.push_back(At(c, i) * CharacterPitch(style_, false));
    } else if (is("\x1B\x24"sv)) {
        if (static_cast<int>(Word(c, 2)) <= AreaWidth())
            MoveTo(static_cast<int>(Word(c, 2)));
    } else if (is("\x1B\x5C"sv)) {
        const int to = lineDots_ + static_cast<int16_t>(Word(c, 2));
        if (to >= 0 && to <= AreaWidth())
            MoveTo(to);
    } else if (is("\x1D\x4C"sv) || is("\x1D\x57"sv)) {
        // Taken at the start of a line only.
        if (line_.empty() && lineDots_ == 0 && !placed_)
            (is("\x1D\x4C"sv) ? margin_ : areaWidth_) = static_cast<int>(Word(c, 2));
    } else if (is("\x1B\x21"sv)) {
        // Reverse, upside-down, spacing and rotation are not among ESC !'s bits: they stay.
        style_.bold = (a & 0x08) != 0;
        style_.underline = static_cast<uint8_t>(a & 0x80 ? 1 : 0);
        style_.widthMul = static_cast<uint8_t>(a & 0x20 ? 2 : 1);
        style_.heightMul = static_cast<uint8_t>(a & 0x10 ? 2 : 1);
        style_.fontB = (a & 0x01) != 0;
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
            style_.widthMul = wideModes_.widthMul = static_cast<uint8_t>((a >> 4) + 1);
            style_.heightMul = wideModes_.heightMul = static_cast<uint8_t>((a & 0x0F) + 1);
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
        if (const auto symbol = SymbolFunction(c, symbols_, answer))
            PrintSymbol(*symbol);
    } else if (is("\x1D\x28\x4C"sv)) {
        Graphics(c.substr(5), answer);
    } else if (is("\x1D\x38\x4C"sv)) {
        Graphics(c.substr(7), answer);
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
        if (v < kIntlSetCount)
            intl_ = v;
    } else if (is("\x1F\x1B\x1F\xFF"sv)) {
        settings_.codePage = v;
    } else if (is("\x1F\x1B\x1F\xFE"sv)) {
        if (v <= 1)
            settings_.chineseMode = v == 0;
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
    : direct_(&direct),
      numbered_(std::move(numbered)),
      printed_{&direct, {}},
      received_{&direct, {}} {}

bool Bridge::EndFrame() {
    VirtualPrinter* target = printed_.target;
    const bool ended = target && target->JobRunning();
    if (ended)
        target->EndJob("pause");
    printed_.target = direct_;
    return ended;
}

void Bridge::EndReceivedFrame() {
    received_.target = direct_;
}

void Bridge::StartFrameJob(VirtualPrinter& printer) const {
    if (printer.JobRunning())
        return;
    std::string name = lineName_;
    for (const auto& [number, numbered] : numbered_) {
        if (numbered == &printer)
            name = "wireless " + number;
    }
    printer.StartJob(std::move(name));
}

std::string Bridge::Feed(std::string_view bytes) {
    std::string answer;
    Split(printed_, bytes, [&](VirtualPrinter& p, std::string_view part) {
        StartFrameJob(p);
        answer += p.Feed(part);
    });
    return answer;
}

std::string Bridge::RealTime(std::string_view received) {
    std::string answer;
    Split(received_, received,
          [&](VirtualPrinter& p, std::string_view part) { answer += p.RealTime(part); });
    return answer;
}

std::string Bridge::Print(std::string_view bytes) {
    std::string answer;
    Split(printed_, bytes, [&](VirtualPrinter& p, std::string_view part) {
        StartFrameJob(p);
        answer += p.Print(part);
    });
    return answer;
}

template <class Send>
void Bridge::Split(Route& route, std::string_view bytes, Send send) {
    // A number longer than this is not waited for.
    constexpr size_t kMaxDigits = 8;
    const std::string header = WirelessDataHeader();
    const std::string data = std::move(route.held) + std::string(bytes);
    route.held.clear();
    auto pass = [&](std::string_view part) {
        if (route.target && !part.empty())
            send(*route.target, part);
    };
    std::string_view rest = data;
    while (!rest.empty()) {
        const size_t at = rest.find(header);
        if (at == std::string_view::npos) {
            size_t keep = std::min(header.size() - 1, rest.size());
            while (keep > 0 && !rest.ends_with(std::string_view(header).substr(0, keep)))
                --keep;
            pass(rest.substr(0, rest.size() - keep));
            route.held = rest.substr(rest.size() - keep);
            break;
        }
        pass(rest.substr(0, at));
        size_t end = at + header.size();
        while (end < rest.size() && end - at - header.size() < kMaxDigits && rest[end] >= '0' &&
               rest[end] <= '9')
            ++end;
        if (end == rest.size() && end - at - header.size() < kMaxDigits) {
            route.held = rest.substr(at);  // more digits may follow
            break;
        }
        const std::string_view number = rest.substr(at + header.size(), end - at - header.size());
        const auto found = std::find_if(numbered_.begin(), numbered_.end(),
                                        [&](const auto& p) { return p.first == number; });
        // On the printing side a header starts the next frame, and so the next job.
        if (&route == &printed_ && route.target && route.target->JobRunning())
            route.target->EndJob("header");
        route.target = found == numbered_.end() ? nullptr : found->second;
        rest.remove_prefix(end);
    }
}

}  // namespace kelvo::printer
