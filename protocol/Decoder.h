#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Reads a byte stream meant for the printer back as the commands and text it holds, for showing
// what a page or a setting really sends. Any input is accepted: what is not understood comes out
// as Unknown entries, a command cut off by the end of the input as a truncated one.
namespace kelvo {

// Which command of the decoder's table an entry is, for whoever acts on the commands; None for
// text, line ends and unknown bytes.
enum class CommandId : uint8_t {
    None,
    // ESC
    Initialize,
    Justify,
    DrawerPulse,
    IntlCharset,
    PrintMode,
    Emphasized,
    Underline,
    FeedLines,
    FeedDots,
    CodePage,
    DefaultLineSpacing,
    LineSpacing,
    Font,
    BitImage,
    CharSpacing,
    AbsolutePosition,
    RelativePosition,
    Rotation,
    TabStops,
    UpsideDown,
    // GS
    CharSize,
    Cut,
    GsT,
    MotionUnits,
    Reverse,
    RasterImage,
    Graphics,      // GS ( L
    GraphicsLong,  // GS 8 L
    LeftMargin,
    AreaWidth,
    AutoStatus,
    SensorStatus,
    PrinterId,
    Symbol,   // GS ( k
    GsParen,  // any other GS (
    Barcode,
    BarHeight,
    BarModule,
    HriPosition,
    HriFont,
    // FS
    PrintNvImage,
    StoreNvImages,
    WideMode,
    WideUnderline,
    ChineseOn,
    ChineseOff,
    FsParen,     // FS ( with its own length: Kanji font (FS ( A) and the like
    KanjiCodes,  // FS C
    // DLE
    RealTimeStatus,
    RealTimeRequest,  // DLE ENQ
    // Vendor configuration
    StoreBaud,
    StoreIntlCharset,
    StoreCodePage,
    StoreChineseMode,
    StoreSwitches,
    StoreIp,
    StoreMac,
    FactoryReset,
    WirelessHeader,
};

struct DecodedCommand {
    enum class Kind {
        Text,     // printable bytes; detail is the text in UTF-8
        Control,  // LF, CR or HT
        Command,  // an ESC/POS or vendor command, possibly truncated
        Unknown,  // bytes no command explains; detail is their hex
    };
    Kind kind = Kind::Unknown;
    size_t offset = 0;   // where in the input the entry starts
    size_t length = 0;   // how many input bytes it covers
    std::string name;    // "GS V", "ESC @", "1F 1B 1F 53", "LF"; empty for Text and Unknown
    std::string args;    // the parameter bytes after the name in hex ("42 05"); image data left out
    std::string detail;  // the arguments in words ("feed 5, then partial cut"), the text, or hex
    bool truncated = false;  // the input ended inside the command
    uint64_t needed = 0;     // when truncated: the length its bytes so far declare, at least
    CommandId id = CommandId::None;  // its row of the table, truncated or not; None without one
};

// What earlier commands changed and later text depends on; carried from one call to the next.
struct DecoderState {
    bool chinese = true;   // two-byte GBK text (FS &) rather than the code page (FS .)
    uint8_t codePage = 0;  // ESC t n
    bool operator==(const DecoderState&) const = default;
};

// How one whole command changes the text state, the rule both the decoder and the printer model
// follow: ESC t picks the code page, FS & and FS . turn Chinese mode on and off, the vendor's
// stored code page and Chinese mode (1F 1B 1F FF, 1F 1B 1F FE) take effect at once too, ESC @
// goes back to `powerOn` and the factory settings (1F 02 40 4E) to the defaults. False, the state
// untouched, for any other command.
// The first form takes the id the command was decoded with; the second looks it up in the table.
bool ApplyToState(CommandId id, std::string_view command, DecoderState& state,
                  const DecoderState& powerOn = {});
bool ApplyToState(std::string_view command, DecoderState& state, const DecoderState& powerOn = {});

// Decodes `bytes` into entries that cover it exactly, in order. Stops after maxCommands entries.
// A two-byte character or command split across two calls is not joined.
std::vector<DecodedCommand> DecodeCommands(std::string_view bytes, DecoderState& state,
                                           size_t maxCommands = SIZE_MAX);

// Decodes a stream handed over in pieces exactly as DecodeCommands decodes it whole (the state
// carries over, and an entry that a piece's end may have cut waits for the next). What waits is
// one entry, at most an FS q download's 8 MiB: of a longer picture only its first bytes are held.
class CommandStream {
  public:
    // The entries these bytes settle, their offsets counted from the stream's start; valid until
    // the next call, which reuses their room.
    const std::vector<DecodedCommand>& Feed(std::string_view bytes);
    // The stream has ended: the entries still waiting.
    const std::vector<DecodedCommand>& End();

  private:
    void Settle(bool ended);
    void SettlePicture();
    std::vector<DecodedCommand> settled_;
    DecoderState state_;
    std::string held_;
    size_t heldAt_ = 0;     // held_'s offset in the stream
    uint64_t waitFor_ = 0;  // held_ is read again once it is this long
    // A picture being counted: its length, and its bytes so far (held_ keeps its first).
    uint64_t pictureNeed_ = 0;
    uint64_t pictureHave_ = 0;
};

// An ESC t code page text is read in, with the name glibc's iconv knows it by.
struct TextCodePage {
    uint8_t n;
    const char* label;
    const char* charset;
};
// Those this family prints (code page 1, its katakana, is read without iconv and is not among
// them).
std::span<const TextCodePage> TextCodePages();

// Where a text entry that starts `bytes` ends: before a byte that is no text, or the wireless
// header; 0 when there is none.
size_t TextLength(std::string_view bytes);

// Printable bytes as the printer shows them in this state (GBK or the code page); a byte that
// does not convert comes out as \xNN.
std::string DecodeText(std::string_view bytes, const DecoderState& state);

// The offsets of the printable bytes that this state's character set holds no character for
// (DecodeText's \xNN): what a printer prints as "?".
std::vector<size_t> UnprintableBytes(std::string_view bytes, const DecoderState& state);

// Printable bytes as they are, every other byte as \xNN; past maxBytes, "…".
std::string Shortened(std::string_view data, size_t maxBytes);

// One line: "GS ! 11  character size: width x2, height x2", "text  \"QM417\"", "unknown  1B 7E".
std::string FormatCommand(const DecodedCommand& command);

// "1D 21 11"; after maxBytes bytes the rest is left out and " …" ends the text.
std::string HexBytes(std::string_view bytes, size_t maxBytes = SIZE_MAX);

}  // namespace kelvo
