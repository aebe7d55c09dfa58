#include "printer/VirtualPrinter.h"

#include <algorithm>
#include <utility>

#include "protocol/Bytes.h"
#include "protocol/Commands.h"

// The printer's face: the stream read one entry at a time as the decoder identifies it, each
// command acted on by its part (Text.cpp, Graphics.cpp, Status.cpp; the stored settings here),
// and the paper each prints on.
namespace kelvo::printer {

using namespace std::string_view_literals;
using Kind = DecodedCommand::Kind;
using Id = CommandId;

long StoredSettings::Baud() const {
    return BaudRate(baudCode);
}

VirtualPrinter::VirtualPrinter() {
    ResetModes();
}

void VirtualPrinter::SetSettings(const StoredSettings& settings) {
    settings_ = settings;
    ResetModes();  // the power-on text state follows what is stored
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
    NoteAnswer(answer);
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
        if (const size_t length = TextLength(rest)) {
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
        if (c.id == Id::StoreNvImages) {
            nvLoad_.emplace();
            pos += 2 + LoadNv(rest.substr(2));
            if (nvLoad_)
                return;  // all of the rest was its data
            continue;
        }
        // A raster larger than the printer takes is refused at its header, not waited for.
        const size_t header = c.id == Id::RasterImage ? 8 : c.id == Id::GraphicsLong ? 7 : 0;
        if (header > 0 && (c.truncated ? c.needed : c.length) - header > kMaxRasterBytes) {
            ++job_.refused;
            Refuse(Refusal::Kind::TooLarge,
                   c.name + " of " + std::to_string((c.truncated ? c.needed : c.length) - header) +
                       " bytes");
            pos += header;
            continue;
        }
        if (c.truncated) {
            Hold(rest, c.needed);
            return;
        }
        const std::string_view bytes = rest.substr(0, c.length);
        if (c.kind == Kind::Command)
            Command(c.id, bytes, answer);
        else if (bytes == "\x1B\x69"sv || bytes == "\x1B\x6D"sv)
            // ESC i and ESC m, the older partial cuts that POS software still sends.
            Command(Id::Cut, "\x1D\x56\x01"sv, answer);
        pos += c.length;
    }
}

void VirtualPrinter::Hold(std::string_view rest, uint64_t needed) {
    held_.assign(rest);
    heldNeed_ = std::max<uint64_t>(needed, rest.size() + 1);
}

void VirtualPrinter::Command(CommandId id, std::string_view c, std::string& answer) {
    // What text means from here on follows the decoder's rule.
    ApplyToState(id, c, state_, PowerOnState());
    if (!TextCommand(id, c) && !GraphicsCommand(id, c, answer) && !StatusCommand(id, c, answer))
        SettingCommand(id, c);
}

void VirtualPrinter::SettingCommand(CommandId id, std::string_view c) {
    const uint8_t v = c.size() > 4 ? At(c, 4) : 0;
    switch (id) {
        case Id::Initialize:
            line_.clear();  // the print buffer is cleared, not printed
            lineDots_ = 0;
            placed_ = false;
            bandDots_ = 0;
            asbMask_ = 0;
            ResetModes();
            break;
        case Id::StoreBaud:
            if (BaudRate(static_cast<char>(v)) != 0)
                settings_.baudCode = static_cast<char>(v);
            break;
        case Id::StoreIntlCharset:
            settings_.intlCharset = v;
            SelectIntl(v);
            break;
        case Id::StoreCodePage:
            settings_.codePage = v;
            break;
        case Id::StoreChineseMode:
            if (v <= 1)
                settings_.chineseMode = v == 0;
            break;
        case Id::StoreSwitches:
            settings_.switches = v;
            break;
        case Id::StoreIp:
            std::copy_n(c.begin() + 4, 4, settings_.ip.begin());
            break;
        case Id::StoreMac:
            std::copy_n(c.begin() + 4, 6, settings_.mac.begin());
            break;
        case Id::FactoryReset:
            settings_ = {};
            ResetModes();
            break;
        default:
            break;
    }
}

void VirtualPrinter::Add(PaperItem item) {
    bandDots_ = 0;
    NoteJobItem(item);
    counters_.work += paper_.Add(std::move(item));
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

}  // namespace kelvo::printer
