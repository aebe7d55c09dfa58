// Text: characters laid out on the current line in their styles and character sets, the line
// printed at its end, and the feeds and cuts between lines.

#include <algorithm>
#include <cstring>

#include "printer/VirtualPrinter.h"
#include "protocol/Bytes.h"
#include "protocol/Commands.h"

namespace kelvo::printer {

namespace {

using Id = CommandId;

bool IsGbkLead(uint8_t b) {
    return b >= 0x81 && b <= 0xFE;
}

bool IsGbkTrail(uint8_t b) {
    return b >= 0x40 && b <= 0xFE && b != 0x7F;
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

}  // namespace

bool VirtualPrinter::TextCommand(CommandId id, std::string_view c) {
    const uint8_t a = c.size() > 2 ? At(c, 2) : 0;
    switch (id) {
        case Id::Justify:
            if (Digit(a) <= 2)
                align_ = static_cast<Align>(Digit(a));
            break;
        case Id::Emphasized:
            style_.bold = a & 1;
            break;
        case Id::Underline:
            if (Digit(a) <= 2)
                style_.underline = static_cast<uint8_t>(Digit(a));
            break;
        case Id::WideUnderline:
            if (Digit(a) <= 2)
                wideModes_.underline = static_cast<uint8_t>(Digit(a));
            break;
        case Id::WideMode:
            wideModes_ = {static_cast<uint8_t>(a & 0x04 ? 2 : 1),
                          static_cast<uint8_t>(a & 0x08 ? 2 : 1),
                          static_cast<uint8_t>(a & 0x80 ? 1 : 0)};
            break;
        case Id::CharSpacing:
            style_.spacing = a;
            break;
        case Id::Rotation:
            if (Digit(a) <= 2)
                style_.rotated = Digit(a) != 0;
            break;
        case Id::IntlCharset:
            SelectIntl(a);
            break;
        case Id::TabStops:
            // Columns of the character width (its spacing included) in force now.
            tabs_.clear();
            for (size_t i = 2; i < c.size() && At(c, i) != 0; ++i)
                tabs_.push_back(At(c, i) * CharacterPitch(style_, false));
            break;
        case Id::AbsolutePosition:
            if (static_cast<int>(Word(c, 2)) <= AreaWidth())
                MoveTo(static_cast<int>(Word(c, 2)));
            break;
        case Id::RelativePosition:
            if (const int to = lineDots_ + static_cast<int16_t>(Word(c, 2));
                to >= 0 && to <= AreaWidth())
                MoveTo(to);
            break;
        case Id::LeftMargin:
        case Id::AreaWidth:
            // Taken at the start of a line only.
            if (line_.empty() && lineDots_ == 0 && !placed_)
                (id == Id::LeftMargin ? margin_ : areaWidth_) = static_cast<int>(Word(c, 2));
            break;
        case Id::PrintMode:
            // Reverse, upside-down, spacing and rotation are not among ESC !'s bits: they stay.
            style_.bold = (a & 0x08) != 0;
            style_.underline = static_cast<uint8_t>(a & 0x80 ? 1 : 0);
            style_.widthMul = static_cast<uint8_t>(a & 0x20 ? 2 : 1);
            style_.heightMul = static_cast<uint8_t>(a & 0x10 ? 2 : 1);
            style_.fontB = (a & 0x01) != 0;
            break;
        case Id::Reverse:
            style_.reverse = a & 1;
            break;
        case Id::UpsideDown:
            style_.upsideDown = a & 1;
            break;
        case Id::CharSize:
            if ((a >> 4) < 8 && (a & 0x0F) < 8) {  // larger sizes are out of range: ignored
                style_.widthMul = wideModes_.widthMul = static_cast<uint8_t>((a >> 4) + 1);
                style_.heightMul = wideModes_.heightMul = static_cast<uint8_t>((a & 0x0F) + 1);
            }
            break;
        case Id::Font:
            if (Digit(a) <= 1)
                style_.fontB = Digit(a) == 1;
            break;
        case Id::DefaultLineSpacing:
            lineSpacing_ = 30;
            break;
        case Id::LineSpacing:
            lineSpacing_ = a;
            break;
        case Id::FeedLines:
        case Id::FeedDots: {
            const int dots = std::min(id == Id::FeedLines ? a * lineSpacing_ : a, kMaxFeedDots);
            if (!line_.empty() || bandDots_ > 0)
                PrintLine(dots);
            else if (dots > 0)
                Add(PaperFeed{dots});
            break;
        }
        case Id::Cut:
            PrintPendingLine();
            if (c.size() == 4 && c[3] != 0)
                Add(PaperFeed{At(c, 3)});
            Add(PaperCut{a == 1 || a == 49 || a == 66 || a == 98 || a == 104});
            ++counters_.cuts;
            break;
        case Id::WirelessHeader:
            Text(c, false);  // no bridge in front: the header is only text
            break;
        default:
            return false;
    }
    return true;
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
                       line_.back().wide == wide && line_.back().state == state_ &&
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

void VirtualPrinter::SelectIntl(uint8_t n) {
    if (n < kIntlSetCount)
        intl_ = n;
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
    for (const detail::LineRun& run : line_) {
        height = std::max(height, CharacterHeight(run.style));
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

}  // namespace kelvo::printer
