#include "protocol/Decoder.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <string_view>

#include "protocol/Bytes.h"
#include "protocol/Commands.h"
#include "protocol/FsQ.h"
#include "protocol/Iconv.h"

namespace kelvo {

namespace {

using namespace std::string_view_literals;
using Kind = DecodedCommand::Kind;
using Id = CommandId;

// Unknown bytes side by side share one entry up to this many, so that noise stays readable.
constexpr size_t kUnknownRun = 16;
// Arguments shown in hex after a command's name; the words say the rest.
constexpr size_t kArgBytes = 8;
// QR code data shown in a detail.
constexpr size_t kQrDataShown = 40;
// A graphics command's words come from at most this many bytes of its parameters.
constexpr size_t kGraphicsWordBytes = 16;
// A long picture (GS v 0, GS 8 L) waiting in a stream keeps this many of its first bytes, which say
// all its words do; the rest is counted, not held.
constexpr size_t kPictureKept = 32;
// Bytes of one text entry, at most: a longer run goes on in the next, cut between characters.
constexpr size_t kTextRun = 4096;

std::string Num(uint64_t v) {
    return std::to_string(v);
}

const char* OnOff(bool on) {
    return on ? "on" : "off";
}

constexpr char kHex[] = "0123456789ABCDEF";

std::string EscapedByte(uint8_t b) {
    return std::string("\\x") + kHex[b >> 4] + kHex[b & 0x0F];
}

// The name of value n among names for first, first + 1, ...; otherwise "<other> n".
std::string Pick(unsigned n, std::initializer_list<const char*> names, const char* other,
                 unsigned first = 0) {
    return n >= first && n - first < names.size() ? names.begin()[n - first]
                                                  : std::string(other) + " " + Num(n);
}

std::string IntlCharset(uint8_t n) {
    return Pick(
        n,
        {"USA", "France", "Germany", "UK", "Denmark I", "Sweden", "Italy", "Spain I", "Japan",
         "Norway", "Denmark II", "Spain II", "Latin America", "Korea", "Slovenia/Croatia", "China"},
        "set");
}

constexpr TextCodePage kCodePages[] = {
    {0, "PC437", "CP437"},  {2, "PC850", "CP850"},  {3, "PC860", "CP860"},
    {4, "PC863", "CP863"},  {5, "PC865", "CP865"},  {16, "WPC1252", "CP1252"},
    {17, "PC866", "CP866"}, {18, "PC852", "CP852"}, {19, "PC858", "CP858"},
};

const TextCodePage* FindCodePage(uint8_t n) {
    for (const TextCodePage& page : kCodePages) {
        if (page.n == n)
            return &page;
    }
    return nullptr;
}

std::string CodePageName(uint8_t n) {
    const TextCodePage* page = FindCodePage(n);
    return "code page " + Num(n) + (page ? std::string(" (") + page->label + ")" : "");
}

const char* ImageScale(uint8_t m) {
    switch (Digit(m)) {
        case 0:
            return "normal";
        case 1:
            return "double width";
        case 2:
            return "double height";
        case 3:
            return "quadruple";
        default:
            return "unknown scale";
    }
}

}  // namespace

std::string Shortened(std::string_view data, size_t maxBytes) {
    std::string out;
    for (size_t i = 0; i < std::min(data.size(), maxBytes); ++i) {
        const auto b = static_cast<uint8_t>(data[i]);
        if (b >= 0x20 && b < 0x7F)
            out += static_cast<char>(b);
        else
            out += EscapedByte(b);
    }
    return data.size() > maxBytes ? out + "…" : out;
}

namespace {

bool StartsWirelessHeader(std::string_view rest) {
    return rest[0] == '+' && rest.starts_with(WirelessDataHeader());
}

// ---- Commands ----

using Describe = std::string (*)(const uint8_t* args, DecoderState& state);

// A variable-length command measured from its first byte: the length it declares (which may pass
// the end of the input), its header (shown as arguments), and its words once it is complete.
struct Measured {
    uint64_t length = 0;
    size_t header = 0;
    std::string detail;
    std::string name;  // when the name depends on the bytes
    Id id = Id::None;  // likewise
};
using Measure = Measured (*)(std::string_view rest);

struct Entry {
    Id id;
    std::string_view key;  // the bytes that select the command
    const char* name;
    size_t nameLength;  // the key bytes the name stands for; later key bytes are arguments
    size_t length;      // of the whole command; 0 when `measure` finds it
    Describe describe;
    Measure measure = nullptr;
};

std::string Cut(const uint8_t* a, DecoderState&) {
    const std::string n = a[0] >= 65 ? Num(a[1]) : "";
    switch (a[0]) {
        case 0:
        case 48:
            return "full cut";
        case 1:
        case 49:
            return "partial cut";
        case 65:
        case 66:
            return "feed " + n + (a[0] == 65 ? ", full cut" : ", partial cut");
        case 97:
        case 98:
            return "cutting range basic feed + " + n +
                   (a[0] == 97 ? ", full cut" : ", partial cut");
        default:  // 103, 104
            return "feed " + n + (a[0] == 103 ? ", full cut" : ", partial cut") +
                   ", then feed to the print start";
    }
}

std::string ConfigSwitches(const uint8_t* a, DecoderState&) {
    const uint8_t cr = FunctionSwitchByte(true, false, false) & 0x0F;
    const uint8_t external = FunctionSwitchByte(false, true, false) & 0x0F;
    const uint8_t builtin = FunctionSwitchByte(false, false, true) & 0x0F;
    return std::string("store switches: CR ") + OnOff(a[0] & cr) + ", external buzzer " +
           OnOff(a[0] & external) + ", built-in buzzer " + OnOff(a[0] & builtin);
}

std::string ConfigBaud(const uint8_t* a, DecoderState&) {
    const long baud = BaudRate(static_cast<char>(a[0]));
    return baud != 0 ? "store serial baud rate " + Num(baud)
                     : "store serial baud rate: unknown code " + Num(a[0]);
}

std::string PrintMode(const uint8_t* a, DecoderState&) {
    std::string s = a[0] & 0x01 ? "print mode: font B" : "print mode: font A";
    for (auto [bit, word] : {std::pair{0x08, ", emphasized"},
                             {0x10, ", double height"},
                             {0x20, ", double width"},
                             {0x80, ", underline"}}) {
        if (a[0] & bit)
            s += word;
    }
    return s;
}

std::string StatusBack(const uint8_t* a, DecoderState&) {
    std::string s;
    for (auto [bit, word] :
         {std::pair{0x01, "drawer"}, {0x02, "online"}, {0x04, "error"}, {0x08, "paper"}}) {
        if (a[0] & bit)
            s += (s.empty() ? "" : ", ") + std::string(word);
    }
    return "automatic status back: " + (s.empty() ? std::string("off") : s);
}

Measured FsQ(std::string_view r);
Measured RasterImage(std::string_view r);
Measured BitImage(std::string_view r);
Measured GsParen(std::string_view r);
Measured FsParen(std::string_view r);
Measured GsEightL(std::string_view r);
Measured Barcode(std::string_view r);
Measured TabStops(std::string_view r);

// ESC V and the like: n or its digit.
std::string Rotation(const uint8_t* a, DecoderState&) {
    return std::string("90-degree clockwise rotation ") +
           OnOff(Digit(a[0]) == 1 || Digit(a[0]) == 2);
}

std::string ChineseMode(const uint8_t* a, DecoderState&) {
    std::string s = "Chinese character mode:";
    bool any = false;
    for (auto [bit, word] :
         {std::pair{0x04, " double width"}, {0x08, " double height"}, {0x80, " underline"}}) {
        if (a[0] & bit) {
            s += (any ? "," : "") + std::string(word);
            any = true;
        }
    }
    return any ? s : s + " normal";
}

int16_t Signed(const uint8_t* a) {
    return static_cast<int16_t>(a[0] + 256 * a[1]);
}

// Keys are prefix-free: at most one entry's key starts the input.
const Entry kEntries[]{
    // ESC
    {Id::Initialize, "\x1B\x40"sv, "ESC @", 2, 2,
     [](const uint8_t*, DecoderState&) -> std::string { return "initialize"; }},
    {Id::Justify, "\x1B\x61"sv, "ESC a", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         return "justification " + Pick(Digit(a[0]), {"left", "centre", "right"}, "value");
     }},
    {Id::DrawerPulse, "\x1B\x70"sv, "ESC p", 2, 5,
     [](const uint8_t* a, DecoderState&) {
         const std::string pin = Digit(a[0]) == 0 ? "2" : Digit(a[0]) == 1 ? "5" : "?";
         return "drawer pulse: pin " + pin + ", on " + Num(a[1] * 2) + " ms, off " + Num(a[2] * 2) +
                " ms";
     }},
    {Id::IntlCharset, "\x1B\x52"sv, "ESC R", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         return "international character set " + IntlCharset(a[0]);
     }},
    {Id::PrintMode, "\x1B\x21"sv, "ESC !", 2, 3, PrintMode},
    {Id::Emphasized, "\x1B\x45"sv, "ESC E", 2, 3,
     [](const uint8_t* a, DecoderState&) { return std::string("emphasized ") + OnOff(a[0] & 1); }},
    {Id::Underline, "\x1B\x2D"sv, "ESC -", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         return "underline " + Pick(Digit(a[0]), {"off", "1 dot", "2 dots"}, "value");
     }},
    {Id::FeedLines, "\x1B\x64"sv, "ESC d", 2, 3,
     [](const uint8_t* a, DecoderState&) { return "print and feed " + Num(a[0]) + " lines"; }},
    {Id::FeedDots, "\x1B\x4A"sv, "ESC J", 2, 3,
     [](const uint8_t* a, DecoderState&) { return "print and feed " + Num(a[0]) + " units"; }},
    {Id::CodePage, "\x1B\x74"sv, "ESC t", 2, 3,
     [](const uint8_t* a, DecoderState&) { return CodePageName(a[0]); }},
    {Id::DefaultLineSpacing, "\x1B\x32"sv, "ESC 2", 2, 2,
     [](const uint8_t*, DecoderState&) -> std::string { return "default line spacing"; }},
    {Id::LineSpacing, "\x1B\x33"sv, "ESC 3", 2, 3,
     [](const uint8_t* a, DecoderState&) { return "line spacing " + Num(a[0]) + " units"; }},
    {Id::Font, "\x1B\x4D"sv, "ESC M", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         return "font " + Pick(Digit(a[0]), {"A", "B", "C"}, "number");
     }},
    {Id::BitImage, "\x1B\x2A"sv, "ESC *", 2, 0, nullptr, BitImage},
    {Id::CharSpacing, "\x1B\x20"sv, "ESC SP", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         return "right-side character spacing " + Num(a[0]) + " dots";
     }},
    {Id::AbsolutePosition, "\x1B\x24"sv, "ESC $", 2, 4,
     [](const uint8_t* a, DecoderState&) {
         return "absolute print position " + Num(a[0] + 256u * a[1]) + " dots";
     }},
    {Id::RelativePosition, "\x1B\x5C"sv, "ESC \\", 2, 4,
     [](const uint8_t* a, DecoderState&) {
         return "relative print position " + std::to_string(Signed(a)) + " dots";
     }},
    {Id::Rotation, "\x1B\x56"sv, "ESC V", 2, 3, Rotation},
    {Id::TabStops, "\x1B\x44"sv, "ESC D", 2, 0, nullptr, TabStops},
    {Id::UpsideDown, "\x1B\x7B"sv, "ESC {", 2, 3,
     [](const uint8_t* a, DecoderState&) { return std::string("upside-down ") + OnOff(a[0] & 1); }},
    // GS
    {Id::CharSize, "\x1D\x21"sv, "GS !", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         return "character size: width x" + Num((a[0] >> 4) + 1) + ", height x" +
                Num((a[0] & 0x0F) + 1);
     }},
    {Id::Cut, "\x1D\x56\x00"sv, "GS V", 2, 3, Cut},
    {Id::Cut, "\x1D\x56\x30"sv, "GS V", 2, 3, Cut},
    {Id::Cut, "\x1D\x56\x01"sv, "GS V", 2, 3, Cut},
    {Id::Cut, "\x1D\x56\x31"sv, "GS V", 2, 3, Cut},
    {Id::Cut, "\x1D\x56\x41"sv, "GS V", 2, 4, Cut},
    {Id::Cut, "\x1D\x56\x42"sv, "GS V", 2, 4, Cut},
    {Id::Cut, "\x1D\x56\x61"sv, "GS V", 2, 4, Cut},
    {Id::Cut, "\x1D\x56\x62"sv, "GS V", 2, 4, Cut},
    {Id::Cut, "\x1D\x56\x67"sv, "GS V", 2, 4, Cut},
    {Id::Cut, "\x1D\x56\x68"sv, "GS V", 2, 4, Cut},
    // This printer family's GS T takes no argument (Epson's takes one).
    {Id::GsT, "\x1D\x54"sv, "GS T", 2, 2,
     [](const uint8_t*, DecoderState&) -> std::string { return "no argument on this printer"; }},
    {Id::MotionUnits, "\x1D\x50"sv, "GS P", 2, 4,
     [](const uint8_t* a, DecoderState&) {
         auto unit = [](uint8_t v) { return v ? "1/" + Num(v) + " inch" : std::string("default"); };
         return "motion units: horizontal " + unit(a[0]) + ", vertical " + unit(a[1]);
     }},
    {Id::Reverse, "\x1D\x42"sv, "GS B", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         return std::string("white/black reverse ") + OnOff(a[0] & 1);
     }},
    {Id::RasterImage, "\x1D\x76\x30"sv, "GS v 0", 3, 0, nullptr, RasterImage},
    {Id::GraphicsLong, "\x1D\x38\x4C"sv, "GS 8 L", 3, 0, nullptr, GsEightL},
    {Id::LeftMargin, "\x1D\x4C"sv, "GS L", 2, 4,
     [](const uint8_t* a, DecoderState&) {
         return "left margin " + Num(a[0] + 256u * a[1]) + " dots";
     }},
    {Id::AreaWidth, "\x1D\x57"sv, "GS W", 2, 4,
     [](const uint8_t* a, DecoderState&) {
         return "print area width " + Num(a[0] + 256u * a[1]) + " dots";
     }},
    {Id::AutoStatus, "\x1D\x61"sv, "GS a", 2, 3, StatusBack},
    {Id::SensorStatus, "\x1D\x72"sv, "GS r", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         return "transmit " + Pick(Digit(a[0]), {"?", "paper sensor", "drawer"}, "kind") +
                " status";
     }},
    {Id::PrinterId, "\x1D\x49"sv, "GS I", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         if (a[0] >= 65)
             return "transmit " +
                    Pick(a[0],
                         {"firmware version", "maker name", "model name", "serial number", "fonts"},
                         "printer information", 65);
         return "transmit " +
                Pick(Digit(a[0]), {"model ID", "type ID", "version ID"}, "printer information", 1);
     }},
    {Id::GsParen, "\x1D\x28"sv, "GS (", 3, 0, nullptr, GsParen},
    {Id::Barcode, "\x1D\x6B"sv, "GS k", 2, 0, nullptr, Barcode},
    {Id::BarHeight, "\x1D\x68"sv, "GS h", 2, 3,
     [](const uint8_t* a, DecoderState&) { return "barcode height " + Num(a[0]) + " dots"; }},
    {Id::BarModule, "\x1D\x77"sv, "GS w", 2, 3,
     [](const uint8_t* a, DecoderState&) { return "barcode module width " + Num(a[0]) + " dots"; }},
    {Id::HriPosition, "\x1D\x48"sv, "GS H", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         return "barcode text " +
                Pick(Digit(a[0]), {"off", "above", "below", "above and below"}, "position");
     }},
    {Id::HriFont, "\x1D\x66"sv, "GS f", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         return "barcode text font " + Pick(Digit(a[0]), {"A", "B"}, "number");
     }},
    // FS
    {Id::PrintNvImage, "\x1C\x70"sv, "FS p", 2, 4,
     [](const uint8_t* a, DecoderState&) {
         return "print NV image " + Num(a[0]) + ", " + ImageScale(a[1]);
     }},
    {Id::StoreNvImages, "\x1C\x71"sv, "FS q", 2, 0, nullptr, FsQ},
    {Id::WideMode, "\x1C\x21"sv, "FS !", 2, 3, ChineseMode},
    {Id::WideUnderline, "\x1C\x2D"sv, "FS -", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         return "Chinese character underline " +
                Pick(Digit(a[0]), {"off", "1 dot", "2 dots"}, "value");
     }},
    {Id::ChineseOn, "\x1C\x26"sv, "FS &", 2, 2,
     [](const uint8_t*, DecoderState&) -> std::string { return "Chinese mode on"; }},
    {Id::ChineseOff, "\x1C\x2E"sv, "FS .", 2, 2,
     [](const uint8_t*, DecoderState&) -> std::string { return "Chinese mode off"; }},
    {Id::FsParen, "\x1C\x28"sv, "FS (", 3, 0, nullptr, FsParen},
    {Id::KanjiCodes, "\x1C\x43"sv, "FS C", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         return "Kanji code system " +
                Pick(Digit(a[0]), {"JIS", "Shift JIS", "Shift JIS-2004"}, "number");
     }},
    // DLE
    {Id::RealTimeStatus, "\x10\x04"sv, "DLE EOT", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         return "request real-time status: " +
                Pick(a[0], {"?", "printer", "offline cause", "error cause", "paper sensor"},
                     "kind");
     }},
    {Id::RealTimeRequest, "\x10\x05"sv, "DLE ENQ", 2, 3,
     [](const uint8_t* a, DecoderState&) {
         return "real-time request: " +
                Pick(a[0], {"?", "recover and go on", "recover, clearing the buffers"}, "kind");
     }},
    // Vendor configuration, stored in the printer
    {Id::StoreBaud, "\x1F\x1B\x1F\x53"sv, "1F 1B 1F 53", 4, 5, ConfigBaud},
    {Id::StoreIntlCharset, "\x1F\x1B\x1F\xFD"sv, "1F 1B 1F FD", 4, 5,
     [](const uint8_t* a, DecoderState&) {
         return "store power-on international character set " + IntlCharset(a[0]);
     }},
    {Id::StoreCodePage, "\x1F\x1B\x1F\xFF"sv, "1F 1B 1F FF", 4, 5,
     [](const uint8_t* a, DecoderState&) { return "store power-on " + CodePageName(a[0]); }},
    {Id::StoreChineseMode, "\x1F\x1B\x1F\xFE"sv, "1F 1B 1F FE", 4, 5,
     [](const uint8_t* a, DecoderState&) {
         return "store Chinese mode at power-on: " + Pick(a[0], {"on", "off"}, "value");
     }},
    {Id::StoreSwitches, "\x1F\x1B\x1F\x50"sv, "1F 1B 1F 50", 4, 5, ConfigSwitches},
    {Id::StoreIp, "\x1F\x02\x57\x49"sv, "1F 02 57 49", 4, 8,
     [](const uint8_t* a, DecoderState&) {
         return "store IP address " + Num(a[0]) + "." + Num(a[1]) + "." + Num(a[2]) + "." +
                Num(a[3]);
     }},
    {Id::StoreMac, "\x1F\x02\x57\x43"sv, "1F 02 57 43", 4, 10,
     [](const uint8_t* a, DecoderState&) {
         std::string mac = HexBytes({reinterpret_cast<const char*>(a), 6});
         std::replace(mac.begin(), mac.end(), ' ', ':');
         return "store MAC address " + mac;
     }},
    {Id::FactoryReset, "\x1F\x02\x40\x4E"sv, "1F 02 40 4E", 4, 4,
     [](const uint8_t*, DecoderState&) -> std::string { return "restore factory settings"; }},
};

bool IsIntroducer(uint8_t b) {
    return b == 0x1B || b == 0x1D || b == 0x1C || b == 0x10 || b == 0x1F;
}

// ESC, GS, FS and DLE by name, the vendor prefix in hex, printable bytes as themselves.
std::string Mnemonic(std::string_view bytes) {
    if (At(bytes, 0) == 0x1F)
        return HexBytes(bytes);
    std::string s;
    for (char c : bytes) {
        const auto b = static_cast<uint8_t>(c);
        if (!s.empty())
            s += ' ';
        if (b == 0x1B)
            s += "ESC";
        else if (b == 0x1D)
            s += "GS";
        else if (b == 0x1C)
            s += "FS";
        else if (b == 0x10)
            s += "DLE";
        else if (b > 0x20 && b < 0x7F)
            s += c;
        else
            s += HexBytes({&c, 1});
    }
    return s;
}

// The bytes from `from` up to `to` (both cut to the input) in hex, as a command's arguments.
std::string Args(std::string_view rest, size_t from, uint64_t to) {
    const size_t end = static_cast<size_t>(std::min<uint64_t>(to, rest.size()));
    return HexBytes(rest.substr(std::min(from, end), end - std::min(from, end)), kArgBytes);
}

// A command the input ends inside: all of the rest (`have` bytes, `rest` their first), with the
// length it needed.
DecodedCommand Truncated(std::string name, std::string_view rest, uint64_t have, size_t nameLength,
                         uint64_t header, uint64_t need) {
    DecodedCommand c{Kind::Command,
                     0,
                     static_cast<size_t>(have),
                     std::move(name),
                     Args(rest, nameLength, header),
                     "truncated: " + Num(have) + " of " + Num(need) + " bytes"};
    c.truncated = true;
    c.needed = need;
    return c;
}

DecodedCommand Unknown(std::string_view rest, size_t length) {
    return {Kind::Unknown, 0, length, "", "", HexBytes(rest.substr(0, length))};
}

}  // namespace

bool ApplyToState(CommandId id, std::string_view c, DecoderState& state,
                  const DecoderState& powerOn) {
    // ESC t n and the vendor's 1F 1B 1F xx n; a command cut before its n changes nothing.
    const size_t at = id == Id::CodePage ? 2 : 4;
    const uint8_t n = at < c.size() ? At(c, at) : 0;
    switch (id) {
        case Id::CodePage:
        case Id::StoreCodePage:
            if (at >= c.size())
                return false;
            state.codePage = n;
            return true;
        case Id::StoreChineseMode:
            if (at >= c.size())
                return false;
            if (n <= 1)
                state.chinese = n == 0;
            return true;
        case Id::ChineseOn:
        case Id::ChineseOff:
            state.chinese = id == Id::ChineseOn;
            return true;
        case Id::Initialize:
            state = powerOn;
            return true;
        case Id::FactoryReset:
            state = {};
            return true;
        default:
            return false;
    }
}

bool ApplyToState(std::string_view c, DecoderState& state, const DecoderState& powerOn) {
    for (const Entry& e : kEntries) {
        if (c.starts_with(e.key))
            return ApplyToState(e.id, c, state, powerOn);
    }
    return false;
}

namespace {

// `have`: the bytes of the input from here, of which `rest` may be only the first (for a long
// picture, whose words its first bytes say).
DecodedCommand DecodeEntry(const Entry& e, std::string_view rest, DecoderState& state,
                           uint64_t have) {
    if (e.measure) {
        Measured m = e.measure(rest);
        std::string name = m.name.empty() ? std::string(e.name) : std::move(m.name);
        if (m.length > have)
            return Truncated(std::move(name), rest, have, e.nameLength, m.header, m.length);
        DecodedCommand c{Kind::Command,
                         0,
                         static_cast<size_t>(m.length),
                         std::move(name),
                         Args(rest, e.nameLength, m.header),
                         std::move(m.detail)};
        c.id = m.id;
        return c;
    }
    if (rest.size() < e.length)
        return Truncated(e.name, rest, rest.size(), e.nameLength, e.length, e.length);
    const auto* args = reinterpret_cast<const uint8_t*>(rest.data()) + e.nameLength;
    ApplyToState(e.id, rest.substr(0, e.length), state);
    return {Kind::Command,          0, e.length, e.name, Args(rest, e.nameLength, e.length),
            e.describe(args, state)};
}

DecodedCommand DecodeIntroduced(std::string_view rest, DecoderState& state, uint64_t have) {
    size_t matched = 0;  // longest run of key bytes the input agrees with
    const Entry* partial = nullptr;
    uint64_t need = UINT64_MAX;
    for (const Entry& e : kEntries) {
        if (rest.starts_with(e.key)) {
            DecodedCommand c = DecodeEntry(e, rest, state, have);
            c.id = c.id == Id::None ? e.id : c.id;
            return c;
        }
        size_t i = 0;
        while (i < e.key.size() && i < rest.size() && e.key[i] == rest[i])
            ++i;
        matched = std::max(matched, i);
        if (i == rest.size()) {  // the input ends inside this key
            partial = partial ? partial : &e;
            need = std::min<uint64_t>(need, std::max(e.key.size(), e.length));
        }
    }
    if (partial) {
        const bool named = partial->nameLength <= rest.size();
        return Truncated(named ? partial->name : Mnemonic(rest), rest, rest.size(),
                         named ? partial->nameLength : rest.size(), need, need);
    }
    // The byte that selects nothing goes with the unknown prefix unless it may start something.
    return Unknown(rest, matched + (IsTextByte(At(rest, matched)) ? 1 : 0));
}

// ---- Commands that declare their own length ----

Measured FsQ(std::string_view r) {
    Measured m{3, 3, "", ""};
    if (r.size() < 3)
        return m;
    const unsigned n = At(r, 2);
    m.detail = "store " + Num(n) + (n == 1 ? " NV image" : " NV images");
    for (unsigned i = 0; i < n; ++i) {
        if (r.size() < m.length + 4) {
            m.length += 4;
            return m;
        }
        const uint64_t x = Word(r, m.length), y = Word(r, m.length + 2);
        m.detail += "; image " + Num(i + 1) + " of " + Num(n) + ": " + Num(8 * x) + " x " +
                    Num(8 * y) + " dots";
        m.length += 4 + x * y * 8;
        if (m.length - 3 > kMaxFsQBytes) {
            // Refused at this header, as the printer does: what follows is read as commands.
            m.length -= x * y * 8;
            m.detail += ", refused: more than " + Num(kMaxFsQBytes) + " bytes of NV images";
            return m;
        }
        if (m.length > r.size())
            return m;
    }
    return m;
}

Measured RasterImage(std::string_view r) {
    Measured m{8, 8, "", ""};
    if (r.size() < 8)
        return m;
    const uint64_t x = Word(r, 4), y = Word(r, 6);
    m.length += x * y;
    m.detail = "raster image " + Num(8 * x) + " x " + Num(y) + " dots, " + ImageScale(At(r, 3));
    return m;
}

Measured BitImage(std::string_view r) {
    Measured m{5, 5, "", ""};
    if (r.size() < 5)
        return m;
    const uint8_t mode = At(r, 2);
    const uint64_t n = Word(r, 3);
    if (mode == 0 || mode == 1) {
        m.length += n;
        m.detail = "bit image " + Num(n) + " x 8 dots";
    } else if (mode == 32 || mode == 33) {
        m.length += 3 * n;
        m.detail = "bit image " + Num(n) + " x 24 dots";
    } else {
        m.detail = "bit image in unknown mode " + Num(mode);
        return m;
    }
    m.detail += mode % 2 ? ", double density" : ", single density";
    return m;
}

std::string QrFunction(std::string_view p) {
    const uint8_t fn = At(p, 1);
    auto arg = [&](size_t i) {
        return i < p.size() ? std::optional<uint8_t>(At(p, i)) : std::nullopt;
    };
    switch (fn) {
        case 65:
            return "QR code: select model " +
                   (arg(2) ? Pick(*arg(2), {"1", "2", "micro"}, "number", 49) : "?");
        case 67:
            return "QR code: module size " + (arg(2) ? Num(*arg(2)) : "?");
        case 69:
            return "QR code: error correction level " +
                   (arg(2) ? Pick(*arg(2), {"L", "M", "Q", "H"}, "value", 48) : "?");
        case 80:
            return "QR code: store data \"" +
                   Shortened(p.size() > 3 ? p.substr(3) : ""sv, kQrDataShown) + "\"";
        case 81:
            return "QR code: print";
        case 82:
            return "QR code: transmit size";
        default:
            return "QR code: function " + Num(fn);
    }
}

// The 2D symbols other than QR: PDF417 (48), MaxiCode (50), Aztec (53) and DataMatrix (54).
std::string SymbolFunction(std::string_view p) {
    const uint8_t cn = At(p, 0), fn = At(p, 1);
    const char* symbol = cn == 48   ? "PDF417"
                         : cn == 50 ? "MaxiCode"
                         : cn == 53 ? "Aztec"
                         : cn == 54 ? "DataMatrix"
                                    : nullptr;
    if (!symbol)
        return "symbol " + Num(cn) + ", function " + Num(fn) + ", " + Num(p.size()) + " bytes";
    const std::string name = std::string(symbol) + ": ";
    switch (fn) {
        case 80:
            return name + "store data \"" +
                   Shortened(p.size() > 3 ? p.substr(3) : ""sv, kQrDataShown) + "\"";
        case 81:
            return name + "print";
        case 82:
            return name + "transmit size";
        default:
            break;
    }
    if (cn == 53 && fn == 50)
        return name + "mode and data layers";
    if (cn == 50 && fn == 65)
        return name + "mode " + (p.size() > 2 ? Num(Digit(At(p, 2))) : "?");
    if ((cn == 53 && fn == 51) || (cn == 54 && fn == 67) || (cn == 48 && fn == 67))
        return name + "module size " + (p.size() > 2 ? Num(At(p, 2)) : "?");
    if (cn == 53 && fn == 53)
        return name + "error correction " + (p.size() > 2 ? Num(At(p, 2)) : "?") + "%";
    if (cn == 54 && fn == 66)
        return name + "symbol type and size";
    return name + "function " + Num(fn);
}

// GS ( L and GS 8 L: graphics in the print buffer and in NV memory. `p` starts at m.
std::string GraphicsFunction(std::string_view p) {
    if (p.size() < 2)
        return "graphics: " + Num(p.size()) + " bytes";
    const uint8_t fn = At(p, 1);
    auto size = [&](size_t at) {
        return p.size() >= at + 4 ? Num(Word(p, at)) + " x " + Num(Word(p, at + 2)) + " dots"
                                  : std::string("?");
    };
    auto key = [&](size_t at) {
        return p.size() >= at + 2 ? Shortened(p.substr(at, 2), 2) : std::string("?");
    };
    switch (fn) {
        case 0:
        case 48:
            return "graphics: transmit NV capacity";
        case 1:
        case 49:
            return "graphics: reference dot density";
        case 2:
        case 50:
            return "graphics: print the buffered picture";
        case 3:
        case 51:
            return "graphics: transmit remaining NV capacity";
        case 4:
        case 52:
            return "graphics: transmit remaining download capacity";
        case 64:
            return "graphics: transmit NV key codes";
        case 65:
            return "graphics: erase all NV pictures";
        case 66:
            return "graphics: erase NV picture \"" + key(2) + "\"";
        case 67:
            return "graphics: define NV picture \"" + key(3) + "\", " + size(6);
        case 69:
            return "graphics: print NV picture \"" + key(2) + "\"";
        case 112:
            return "graphics: store picture " + size(6) + " in the print buffer";
        default:
            return "graphics: function " + Num(fn);
    }
}

// The parameters of a "( fn pL pH ..." command once they have all come; its length, as far as it
// is known, goes in `m`.
std::optional<std::string_view> ParenParameters(std::string_view r, Measured& m) {
    if (r.size() < 5)
        return std::nullopt;
    m.length += Word(r, 3);
    m.header = static_cast<size_t>(m.length);
    if (m.length > r.size())
        return std::nullopt;
    return r.substr(5, static_cast<size_t>(m.length - 5));
}

Measured GsParen(std::string_view r) {
    Measured m{5, 5, "", ""};
    if (r.size() >= 3) {
        m.name = "GS ( " + Mnemonic(r.substr(2, 1));
        m.id = At(r, 2) == 'k' ? Id::Symbol : At(r, 2) == 'L' ? Id::Graphics : Id::GsParen;
    }
    const std::optional<std::string_view> all = ParenParameters(r, m);
    if (!all)
        return m;
    const std::string_view params = *all;
    const uint64_t p = params.size();
    if (At(r, 2) == 'k' && p >= 2) {
        m.detail = At(params, 0) == 49 ? QrFunction(params) : SymbolFunction(params);
    } else if (At(r, 2) == 'L') {
        m.header = std::min<size_t>(m.header, 5 + 12);
        m.detail = GraphicsFunction(params);
    } else {
        m.detail = Num(p) + " bytes of parameters";
    }
    return m;
}

// FS ( fn pL pH ...: like GS (, every function carries its length.
Measured FsParen(std::string_view r) {
    Measured m{5, 5, "", ""};
    if (r.size() >= 3)
        m.name = "FS ( " + Mnemonic(r.substr(2, 1));
    const std::optional<std::string_view> all = ParenParameters(r, m);
    if (!all)
        return m;
    const std::string_view params = *all;
    const uint64_t p = params.size();
    if (At(r, 2) == 'A' && p == 2 && At(params, 0) == 48)
        m.detail = "Kanji font " + Pick(Digit(At(params, 1)), {"A", "B", "C"}, "number");
    else
        m.detail = Num(p) + " bytes of parameters";
    return m;
}

// GS 8 L p1 p2 p3 p4 m fn ...: GS ( L with a 32-bit length.
Measured GsEightL(std::string_view r) {
    Measured m{7, 7, "", ""};
    if (r.size() < 7)
        return m;
    const uint64_t p = Word(r, 3) + (Word(r, 5) << 16);
    m.length += p;
    m.header = static_cast<size_t>(std::min<uint64_t>(m.length, 7 + 12));
    // Known from its first bytes, before its data has come.
    const size_t words = static_cast<size_t>(std::min<uint64_t>(p, kGraphicsWordBytes));
    if (r.size() >= 7 + words)
        m.detail = GraphicsFunction(r.substr(7, words));
    return m;
}

// ESC D n1 ... nk NUL: at most 32 stops, each past the one before; a value that is not ends the
// list and is read as what it is.
Measured TabStops(std::string_view r) {
    static constexpr size_t kMaxStops = 32;
    Measured m{3, 2, "", ""};
    size_t end = 2;
    unsigned last = 0;
    while (end < r.size() && end - 2 < kMaxStops && At(r, end) > last) {
        last = At(r, end);
        ++end;
    }
    if (end == r.size()) {
        m.length = end + 1;  // its NUL, or the next stop, is still to come
        return m;
    }
    const size_t stops = end - 2;
    const bool ended = At(r, end) == 0;
    m.length = end + (ended ? 1 : 0);
    m.header = m.length;
    m.detail = stops == 0 ? "clear tab stops" : "tab stops at " + Num(stops) + " columns";
    return m;
}

// GS k m d1..dk NUL (m 0..6) or GS k m n d1..dn (m 65..73). The first form ends at its NUL, or
// before a byte no symbology takes (which is then read on its own), or after 255 data bytes.
Measured Barcode(std::string_view r) {
    static constexpr size_t kMaxData = 255;
    Measured m{3, 3, "", ""};
    if (r.size() < 3)
        return m;
    const uint8_t kind = At(r, 2);
    if (kind <= 6) {
        size_t end = 3;
        while (end < r.size() && end - 3 < kMaxData && At(r, end) >= 0x20 && At(r, end) < 0x7F)
            ++end;
        if (end == r.size() && end - 3 < kMaxData) {
            m.length = end + 1;  // its NUL, at least, is still to come
            return m;
        }
        const bool ended = end < r.size() && At(r, end) == 0;
        m.length = end + (ended ? 1 : 0);
        m.header = 3;
        m.detail = "barcode " + Num(kind) + " \"" + Shortened(r.substr(3, end - 3), kQrDataShown) +
                   "\"" + (ended ? "" : ", not ended");
        return m;
    }
    m.length = 4;
    if (r.size() < 4)
        return m;
    m.length = 4 + uint64_t{At(r, 3)};
    m.header = 4;
    if (m.length <= r.size())
        m.detail = "barcode " + Num(kind) + " \"" +
                   Shortened(r.substr(4, static_cast<size_t>(m.length) - 4), kQrDataShown) + "\"";
    return m;
}

// Opening a converter costs far more than converting one receipt line, so each thread keeps
// one per character set (charset names are string literals, so their addresses are the keys).
// Null when this system's iconv lacks the charset; a system without it still shows the ASCII.
const Iconv* CachedConverter(const char* charset) {
    struct Slot {
        const char* charset;
        std::unique_ptr<Iconv> converter;
    };
    thread_local std::vector<Slot> slots;
    auto found = std::find_if(slots.begin(), slots.end(),
                              [&](const Slot& s) { return s.charset == charset; });
    if (found == slots.end()) {
        std::unique_ptr<Iconv> converter;
        try {
            converter = std::make_unique<Iconv>("UTF-8", charset);
        } catch (const std::runtime_error&) {
        }
        slots.push_back({charset, std::move(converter)});
        found = slots.end() - 1;
    }
    if (found->converter)  // a conversion cut short may have left it mid-sequence
        ::iconv(found->converter->get(), nullptr, nullptr, nullptr, nullptr);
    return found->converter.get();
}

DecodedCommand DecodeOne(std::string_view rest, DecoderState& state) {
    const uint8_t b = At(rest, 0);
    switch (b) {
        case 0x0A:
            return {Kind::Control, 0, 1, "LF", "", "print and line feed"};
        case 0x0D:
            return {Kind::Control, 0, 1, "CR", "", "print and carriage return"};
        case 0x09:
            return {Kind::Control, 0, 1, "HT", "", "horizontal tab"};
        default:
            break;
    }
    if (IsIntroducer(b))
        return DecodeIntroduced(rest, state, rest.size());
    if (StartsWirelessHeader(rest)) {
        const std::string header = WirelessDataHeader();
        size_t end = header.size();
        while (end < rest.size() && end < kTextRun && At(rest, end) >= '0' && At(rest, end) <= '9')
            ++end;
        const std::string_view number = rest.substr(header.size(), end - header.size());
        DecodedCommand c{Kind::Command,
                         0,
                         end,
                         header,
                         "",
                         number.empty() ? "wireless frame without a printer number"
                                        : "wireless frame for printer " + std::string(number)};
        c.id = Id::WirelessHeader;
        return c;
    }
    size_t end = TextLength(rest);
    if (end == 0)
        return Unknown(rest, 1);
    if (end > kTextRun) {
        // Between characters: in Chinese mode a lead byte and the text byte after it are one.
        size_t cut = 0;
        while (cut < kTextRun)
            cut += state.chinese && At(rest, cut) >= 0x81 ? 2 : 1;
        end = cut;
    }
    return {Kind::Text, 0, end, "", "", DecodeText(rest.substr(0, end), state)};
}

}  // namespace

std::span<const TextCodePage> TextCodePages() {
    return kCodePages;
}

size_t TextLength(std::string_view bytes) {
    size_t end = 0;
    while (end < bytes.size() && IsTextByte(At(bytes, end)) &&
           !StartsWirelessHeader(bytes.substr(end)))
        ++end;
    return end;
}

namespace {

// Code page 1, which no iconv charset holds: its block and line graphics at 80-9F and JIS X
// 0201's half-width katakana at A1-DF, three bytes of UTF-8 each.
constexpr std::string_view kKatakanaGraphics = "▁▂▃▄▅▆▇█▏▎▍▌▋▊▉┼┴┬┤├▔─│▕┌┐└┘╭╮╰╯";
constexpr std::string_view kHalfWidthKatakana =
    "｡｢｣､･ｦｧｨｩｪｫｬｭｮｯｰｱｲｳｴｵｶｷｸｹｺｻｼｽｾｿﾀﾁﾂﾃﾄﾅﾆﾇﾈﾉﾊﾋﾌﾍﾎﾏﾐﾑﾒﾓﾔﾕﾖﾗﾘﾙﾚﾛﾜﾝﾞﾟ";
static_assert(kKatakanaGraphics.size() == 3 * 0x20 && kHalfWidthKatakana.size() == 3 * 0x3F);

// `unmapped` is told the offset of each byte the character set holds no character for.
template <class Unmapped>
std::string KatakanaText(std::string_view bytes, Unmapped unmapped) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        if (b < 0x80)
            out += bytes[i];
        else if (b < 0xA0)
            out += kKatakanaGraphics.substr(3 * (b - 0x80), 3);
        else if (b >= 0xA1 && b <= 0xDF)
            out += kHalfWidthKatakana.substr(3 * (b - 0xA1), 3);
        else {
            out += EscapedByte(b);
            unmapped(i);
        }
    }
    return out;
}

// DecodeText, telling `unmapped` where each byte that converts to nothing is.
template <class Unmapped>
std::string Converted(std::string_view bytes, const DecoderState& state, Unmapped unmapped) {
    // Printable ASCII reads the same in GBK and every code page here; most receipt text is just
    // that, and iconv would only copy it.
    if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return c >= 0x20 && c < 0x7F; }))
        return std::string(bytes);
    if (!state.chinese && state.codePage == 1)
        return KatakanaText(bytes, unmapped);
    const TextCodePage* page = FindCodePage(state.codePage);
    const char* charset = state.chinese ? "GBK" : page ? page->charset : nullptr;
    std::string out;
    if (const Iconv* converter = charset ? CachedConverter(charset) : nullptr) {
        return converter->ConvertAll(bytes, [&](std::string& converted, const char* at, size_t) {
            converted += EscapedByte(static_cast<uint8_t>(*at));
            unmapped(static_cast<size_t>(at - bytes.data()));
            return size_t{1};
        });
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        if (b < 0x80)
            out += bytes[i];
        else {
            out += EscapedByte(b);
            unmapped(i);
        }
    }
    return out;
}

}  // namespace

// Every byte comes out as \xNN when there is no converter.
std::string DecodeText(std::string_view bytes, const DecoderState& state) {
    return Converted(bytes, state, [](size_t) {});
}

std::vector<size_t> UnprintableBytes(std::string_view bytes, const DecoderState& state) {
    std::vector<size_t> at;
    Converted(bytes, state, [&](size_t i) { at.push_back(i); });
    return at;
}

namespace {

// DecodeCommands into `out`, telling the state its last entry was read in.
void Decode(std::string_view bytes, DecoderState& state, size_t maxCommands,
            std::vector<DecodedCommand>& out, DecoderState& beforeLast) {
    size_t pos = 0;
    while (pos < bytes.size() && out.size() < maxCommands) {
        const DecoderState before = state;
        DecodedCommand c = DecodeOne(bytes.substr(pos), state);
        c.offset = pos;
        pos += c.length;
        DecodedCommand* last = out.empty() ? nullptr : &out.back();
        if (c.kind == Kind::Unknown && last && last->kind == Kind::Unknown &&
            last->length + c.length <= kUnknownRun) {
            last->length += c.length;
            last->detail = HexBytes(bytes.substr(last->offset, last->length));
            continue;
        }
        beforeLast = before;
        out.push_back(std::move(c));
    }
}

}  // namespace

std::vector<DecodedCommand> DecodeCommands(std::string_view bytes, DecoderState& state,
                                           size_t maxCommands) {
    std::vector<DecodedCommand> out;
    DecoderState beforeLast;
    Decode(bytes, state, maxCommands, out, beforeLast);
    return out;
}

const std::vector<DecodedCommand>& CommandStream::Feed(std::string_view bytes) {
    settled_.clear();
    if (pictureNeed_ > 0) {
        const auto counted =
            static_cast<size_t>(std::min<uint64_t>(bytes.size(), pictureNeed_ - pictureHave_));
        pictureHave_ += counted;
        bytes.remove_prefix(counted);
        if (pictureHave_ < pictureNeed_)
            return settled_;
        SettlePicture();
    }
    held_.append(bytes);
    if (held_.size() >= waitFor_)
        Settle(false);
    return settled_;
}

const std::vector<DecodedCommand>& CommandStream::End() {
    settled_.clear();
    if (pictureNeed_ > 0)
        SettlePicture();  // cut short by the end
    else
        Settle(true);
    return settled_;
}

void CommandStream::SettlePicture() {
    DecodedCommand c = DecodeIntroduced(held_, state_, pictureHave_);
    c.offset = heldAt_;
    settled_.push_back(std::move(c));
    heldAt_ += static_cast<size_t>(pictureHave_);
    held_.clear();
    pictureNeed_ = pictureHave_ = waitFor_ = 0;
}

void CommandStream::Settle(bool ended) {
    std::vector<DecodedCommand>& out = settled_;
    const size_t from = out.size();  // a picture may have settled first
    DecoderState before;
    Decode(held_, state_, SIZE_MAX, out, before);
    size_t settled = held_.size();
    if (!ended && out.size() > from) {
        // The end of the bytes may have cut the last entry: it is read again with the next.
        const DecodedCommand last = std::move(out.back());
        out.pop_back();
        settled = last.offset;
        state_ = before;
        const size_t waiting = held_.size() - settled;
        const bool picture =
            last.truncated && (last.id == Id::RasterImage || last.id == Id::GraphicsLong);
        if (picture && waiting >= kPictureKept) {
            pictureNeed_ = last.needed;
            pictureHave_ = waiting;
            held_.resize(settled + kPictureKept);
        } else {
            // More unknown bytes would join a short unknown run before it.
            if (out.size() > from && out.back().kind == Kind::Unknown &&
                out.back().length < kUnknownRun) {
                settled = out.back().offset;  // read in the same state: unknown bytes change none
                out.pop_back();
            }
            // Waiting for what a long entry declares, or for twice its bytes, keeps it linear; a
            // picture is counted once its first bytes are there.
            waitFor_ = picture ? last.offset - settled + kPictureKept
                               : std::max<uint64_t>(last.truncated ? last.needed : 0,
                                                    2 * (held_.size() - settled));
        }
    }
    for (size_t i = from; i < out.size(); ++i)
        out[i].offset += heldAt_;
    held_.erase(0, settled);
    heldAt_ += settled;
}

std::string FormatCommand(const DecodedCommand& c) {
    switch (c.kind) {
        case Kind::Text:
            return "text  \"" + c.detail + "\"";
        case Kind::Unknown:
            return "unknown  " + c.detail;
        default:
            return c.name + (c.args.empty() ? "" : " " + c.args) +
                   (c.detail.empty() ? "" : "  " + c.detail);
    }
}

std::string HexBytes(std::string_view bytes, size_t maxBytes) {
    std::string out;
    const size_t shown = std::min(bytes.size(), maxBytes);
    out.reserve(shown * 3 + 4);
    for (size_t i = 0; i < shown; ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        if (i > 0)
            out += ' ';
        out += kHex[b >> 4];
        out += kHex[b & 0x0F];
    }
    if (shown < bytes.size())
        out += shown > 0 ? " …" : "…";
    return out;
}

}  // namespace kelvo
