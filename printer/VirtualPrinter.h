#pragma once

// A receipt printer of this family in software: it reads the byte stream as the printer would
// and keeps what a user could see (the paper) and what the printer stores (settings, NV images,
// counters), and answers status requests from its flags. No Qt: the window renders the paper.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "protocol/Decoder.h"

namespace kelvo::printer {

// 576 dots: 80 mm paper at 203 dpi.
inline constexpr int kPaperDots = 576;

struct TextStyle {
    bool bold = false;      // ESC E, ESC ! bit 3
    uint8_t underline = 0;  // ESC - n (0, 1, 2 dots), ESC ! bit 7
    uint8_t widthMul = 1;   // GS ! high nibble + 1, ESC ! bit 5 doubles
    uint8_t heightMul = 1;  // GS ! low nibble + 1, ESC ! bit 4 doubles
    bool fontB = false;     // ESC ! bit 0, ESC M
    bool operator==(const TextStyle&) const = default;
};

// A piece of one printed line in one style. `wide` characters (two-byte GBK in Chinese mode)
// are 24 dots wide in font A; others 12 (font B: 9 and 17 dots wide, 17 high).
struct TextRun {
    std::string utf8;
    TextStyle style;
    bool wide = false;
    bool operator==(const TextRun&) const = default;
};

enum class Align : uint8_t { Left = 0, Centre = 1, Right = 2 };

// One printed line: what came before its LF (or CR when CR prints, or a line that filled the
// paper width), with the justification in force when it printed and the line spacing after it.
struct PaperLine {
    std::vector<TextRun> runs;
    Align align = Align::Left;
    int spacing = 30;  // dots fed for this line (ESC 2: 30, ESC 3 n: n, at least the line height)
    bool operator==(const PaperLine&) const = default;
};

// A monochrome picture printed dot for dot: `dots` holds width*height bytes, 1 = black, row by
// row from the top.
struct PaperImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> dots;
    Align align = Align::Left;
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

// What the vendor configuration frames store; factory reset restores these defaults.
struct StoredSettings {
    char baudCode = 'D';                          // 1F 1B 1F 53: D 115200, E 38400, F 19200, G 9600
    uint8_t intlCharset = 0;                      // 1F 1B 1F FD
    uint8_t codePage = 0;                         // 1F 1B 1F FF
    bool chineseMode = true;                      // 1F 1B 1F FE x: x == 0
    uint8_t switches = 0x42;                      // 1F 1B 1F 50
    std::array<uint8_t, 4> ip{192, 168, 1, 109};  // 1F 02 57 49
    std::array<uint8_t, 6> mac{0x00, 0x47, 0x50, 0x00, 0x00, 0x01};  // 1F 02 57 43
    long Baud() const;
    bool operator==(const StoredSettings&) const = default;
};

struct StatusFlags {
    bool online = true;
    bool coverOpen = false;
    bool paperNearEnd = false;
    bool paperOut = false;
    bool drawerOpen = false;  // drawer connector pin 3 high
    bool error = false;       // an error stopped printing (DLE EOT 2 bit 6)
    bool operator==(const StatusFlags&) const = default;
};

struct Counters {
    uint64_t bytes = 0;
    uint64_t cuts = 0;
    uint64_t drawerPulses = 0;
    uint64_t lines = 0;
};

class VirtualPrinter {
  public:
    VirtualPrinter();

    // Takes the next bytes of the stream (any split: a command or a two-byte character cut
    // between two calls is joined). Returns what the printer sends back (DLE EOT answers).
    std::string Feed(std::string_view bytes);

    // The paper printed so far, oldest first, at most the newest few thousand items. Text still
    // waiting for its line end is not on it.
    const std::vector<PaperItem>& Paper() const { return paper_; }
    void ClearPaper();
    size_t PaperSize() const { return paper_.size(); }
    // Items dropped from the front so far (old ones, and all on ClearPaper): a view that counts
    // the items it has shown finds the next one at Paper()[shown - PaperDropped()].
    uint64_t PaperDropped() const { return dropped_; }

    const StoredSettings& Settings() const { return settings_; }
    // NV images stored by FS q, numbered from 1; empty when none.
    const std::vector<PaperImage>& NvImages() const { return nv_; }
    const Counters& Count() const { return counters_; }
    StatusFlags& Flags() { return flags_; }
    const StatusFlags& Flags() const { return flags_; }

    // The answer byte to DLE EOT n (1..4) for the current flags; 0 for any other n.
    uint8_t StatusByte(int n) const;

  private:
    // Bytes of the current line in one style and one character set, converted when it prints.
    struct Run {
        std::string bytes;
        TextStyle style;
        bool wide = false;
        DecoderState state;
    };

    void Interpret(std::string_view data, std::string& answer);
    void Hold(std::string_view rest, uint64_t needed);
    size_t Text(std::string_view text, bool endsInput);
    void Put(std::string_view character, bool wide);
    void PutNarrow(std::string_view characters);
    void Control(uint8_t byte);
    void Command(std::string_view c, std::string& answer);
    void Vendor(std::string_view c);
    void ResetModes();
    void PrintLine(int feed);
    void PrintPendingLine();
    void Add(PaperItem item);

    std::vector<PaperItem> paper_;
    uint64_t dropped_ = 0;
    size_t imageDots_ = 0;  // dots held by the images on paper_
    StoredSettings settings_;
    std::vector<PaperImage> nv_;
    Counters counters_;
    StatusFlags flags_;

    // Print modes: ESC @ restores them.
    DecoderState state_;
    TextStyle style_;
    Align align_ = Align::Left;
    int lineSpacing_ = 30;

    std::vector<Run> line_;
    int lineDots_ = 0;
    std::string qrData_;

    std::string held_;       // an unfinished command (or GBK lead byte) waiting for its rest
    uint64_t heldNeed_ = 0;  // re-read once held_ is this long
    uint64_t skip_ = 0;      // bytes still to pass over of a command too long to keep
};

// A radio bridge with numbered printers behind it (001, 002, 003) plus the printer on the line
// itself: bytes that follow "+++++DYSJ" and a printer number go to that printer until the next
// header; bytes before any header go to the line's own printer; frames for a number the bridge
// does not hold are dropped. The number is matched as the digits sent ("002" is not "2").
class Bridge {
  public:
    explicit Bridge(VirtualPrinter& direct,
                    std::vector<std::pair<std::string, VirtualPrinter*>> numbered);
    std::string Feed(std::string_view bytes);  // what the printers answer
    // The line fell quiet: the radio frame is over, and bytes without a header go to the line's
    // own printer again.
    void EndFrame();

  private:
    void Send(std::string_view bytes, std::string& answer);

    VirtualPrinter* direct_;
    std::vector<std::pair<std::string, VirtualPrinter*>> numbered_;
    VirtualPrinter* target_;  // null while a frame for an unknown number runs
    std::string held_;        // a header, or its number, cut by the end of the last input
};

}  // namespace kelvo::printer
