#include "printer/Symbols.h"

#include <zint.h>

#include <algorithm>
#include <memory>

#include "printer/VirtualPrinter.h"
#include "protocol/Bytes.h"

namespace kelvo::printer {

namespace {

bool AllDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool OneOf(size_t n, std::initializer_list<size_t> sizes) {
    return std::find(sizes.begin(), sizes.end(), n) != sizes.end();
}

using Zint = std::unique_ptr<zint_symbol, decltype(&ZBarcode_Delete)>;

// UPC-E sent in its UPC-A form (number system 0, 11 digits, or 12 with the check digit) as the
// zero-suppressed digits it stands for, the check digit kept: nothing for a number that has no
// UPC-E form.
std::optional<std::string> ZeroSuppressed(const std::string& a) {
    auto zeros = [&](size_t from, size_t n) {
        return a.compare(from, n, std::string(n, '0')) == 0;
    };
    if (a[0] != '0')
        return std::nullopt;
    std::string e;
    if (a[3] <= '2' && zeros(4, 4))
        e = a.substr(1, 2) + a.substr(8, 3) + a[3];
    else if (zeros(4, 5))
        e = a.substr(1, 3) + a.substr(9, 2) + '3';
    else if (zeros(5, 5))
        e = a.substr(1, 4) + a[10] + '4';
    else if (zeros(6, 4) && a[10] >= '5')
        e = a.substr(1, 5) + a[10];
    else
        return std::nullopt;
    return "0" + e + a.substr(11);
}

// The most a MaxiCode stores (GS ( k function 80), and the size it prints at: libzint's picture
// at this scale is about the inch of the symbology's fixed size, at 8 dots a millimetre.
constexpr size_t kMaxiCodeData = 138;
constexpr float kMaxiCodeScale = 0.7f;

// Modes 2 and 3 carry a postal code, a country and a class of service as their primary message:
// the data's first three fields, each ended by GS (the last may end the data), after the
// optional header "[)>" RS "01" GS yy, which stays in the secondary message. The secondary
// message is returned, the primary put into `z`; nothing when the data has no such fields.
std::optional<std::string> MaxiCodeSecondary(std::string d, int mode, zint_symbol& z) {
    static constexpr std::string_view kHeader =
        "[)>\x1E"
        "01\x1D";
    std::string header;
    if (d.starts_with(kHeader) && d.size() >= kHeader.size() + 2) {
        header = d.substr(0, kHeader.size() + 2);
        d.erase(0, header.size());
    }
    std::string fields[3];
    size_t at = 0;
    for (std::string& field : fields) {
        const size_t end = std::min(d.find('\x1D', at), d.size());
        if (at > d.size())
            return std::nullopt;
        field = d.substr(at, end - at);
        at = end + 1;
    }
    const std::string &postal = fields[0], &country = fields[1], &service = fields[2];
    const bool postalOk = mode == 2 ? AllDigits(postal) && postal.size() <= 9 : postal.size() <= 6;
    if (postal.empty() || !postalOk || country.empty() || country.size() > 3 ||
        !AllDigits(country) || service.empty() || service.size() > 3 || !AllDigits(service))
        return std::nullopt;
    const std::string primary = postal + std::string(3 - country.size(), '0') + country +
                                std::string(3 - service.size(), '0') + service;
    std::copy_n(primary.c_str(), primary.size() + 1, z.primary);
    return header + (at < d.size() ? d.substr(at) : std::string());
}

// libzint's symbol and the data it takes, or nothing when the printer refuses the data before
// libzint sees it (EAN/UPC lengths select other symbols in libzint, an odd ITF is padded there).
std::optional<std::string> Prepare(Symbology s, std::string_view data,
                                   const detail::SymbolModes& modes, zint_symbol& z) {
    std::string d(data);
    switch (s) {
        case Symbology::UpcA:
            z.symbology = d.size() == 12 ? BARCODE_UPCA_CHK : BARCODE_UPCA;
            return AllDigits(d) && OneOf(d.size(), {11, 12}) ? std::optional(d) : std::nullopt;
        case Symbology::UpcE: {
            if (!AllDigits(d) || !OneOf(d.size(), {6, 7, 8, 11, 12}))
                return std::nullopt;
            const std::optional<std::string> e = d.size() >= 11 ? ZeroSuppressed(d) : d;
            if (e)
                z.symbology = e->size() == 8 ? BARCODE_UPCE_CHK : BARCODE_UPCE;
            return e;
        }
        case Symbology::Ean13:
            z.symbology = d.size() == 13 ? BARCODE_EANX_CHK : BARCODE_EANX;
            return AllDigits(d) && OneOf(d.size(), {12, 13}) ? std::optional(d) : std::nullopt;
        case Symbology::Ean8:
            z.symbology = d.size() == 8 ? BARCODE_EANX_CHK : BARCODE_EANX;
            return AllDigits(d) && OneOf(d.size(), {7, 8}) ? std::optional(d) : std::nullopt;
        case Symbology::Code39:
            z.symbology = BARCODE_CODE39;
            // The start and stop characters may be sent; libzint adds its own.
            if (d.size() >= 2 && d.front() == '*' && d.back() == '*')
                d = d.substr(1, d.size() - 2);
            return d.empty() ? std::nullopt : std::optional(d);
        case Symbology::Itf:
            z.symbology = BARCODE_C25INTER;
            return AllDigits(d) && !d.empty() && d.size() % 2 == 0 ? std::optional(d)
                                                                   : std::nullopt;
        case Symbology::Codabar:
            z.symbology = BARCODE_CODABAR;
            std::transform(d.begin(), d.end(), d.begin(),
                           [](char c) { return c >= 'a' && c <= 'd' ? c - 'a' + 'A' : c; });
            return d.size() >= 3 ? std::optional(d) : std::nullopt;
        case Symbology::Code93:
            z.symbology = BARCODE_CODE93;
            return d.empty() ? std::nullopt : std::optional(d);
        case Symbology::Code128:  // drawn without libzint
            return std::nullopt;
        // The most each holds (digits only), refused before any encoding.
        case Symbology::Qr:
            z.symbology = BARCODE_QRCODE;
            return d.empty() || d.size() > 7089 ? std::nullopt : std::optional(d);
        case Symbology::Pdf417:
            z.symbology = BARCODE_PDF417;
            return d.empty() || d.size() > 2710 ? std::nullopt : std::optional(d);
        case Symbology::Aztec:
            z.symbology = BARCODE_AZTEC;
            return d.empty() || d.size() > 3832 ? std::nullopt : std::optional(d);
        case Symbology::DataMatrix:
            z.symbology = BARCODE_DATAMATRIX;
            return d.empty() || d.size() > 3116 ? std::nullopt : std::optional(d);
        case Symbology::MaxiCode:
            z.symbology = BARCODE_MAXICODE;
            if (d.empty() || d.size() > kMaxiCodeData)
                return std::nullopt;
            return modes.maxiMode >= 4 ? std::optional(d) : MaxiCodeSecondary(d, modes.maxiMode, z);
    }
    return std::nullopt;
}

bool Module(const zint_symbol& z, int row, int column) {
    return (z.encoded_data[row][column >> 3] >> (column & 7)) & 1;
}

bool Linear(Symbology s) {
    return s < Symbology::Qr;  // the bar codes of GS k come first
}

// A symbol's modules, a byte each (1 black), `rows` rows of `width`.
struct Grid {
    int width = 0;
    int rows = 0;
    std::vector<uint8_t> on;
};

// libzint's picture, dark pixels black: for symbols that are no grid of squares.
bool RasterGrid(const zint_symbol& z, Grid& grid) {
    if (!z.bitmap || z.bitmap_width <= 0 || z.bitmap_height <= 0)
        return false;
    grid = {z.bitmap_width, z.bitmap_height,
            std::vector<uint8_t>(static_cast<size_t>(z.bitmap_width) * z.bitmap_height)};
    for (size_t i = 0; i < grid.on.size(); ++i)
        grid.on[i] = z.bitmap[3 * i] < 128 ? 1 : 0;
    return true;
}

// CODE128's symbol characters 0..106 (106 the stop) as the widths of their bars and spaces, in
// modules, a bar first.
constexpr std::string_view kCode128Widths[] = {
    "212222", "222122", "222221", "121223", "121322", "131222", "122213", "122312", "132212",
    "221213", "221312", "231212", "112232", "122132", "122231", "113222", "123122", "123221",
    "223211", "221132", "221231", "213212", "223112", "312131", "311222", "321122", "321221",
    "312212", "322112", "322211", "212123", "212321", "232121", "111323", "131123", "131321",
    "112313", "132113", "132311", "211313", "231113", "231311", "112133", "112331", "132131",
    "113123", "113321", "133121", "313121", "211331", "231131", "213113", "213311", "213131",
    "311123", "311321", "331121", "312113", "312311", "332111", "314111", "221411", "431111",
    "111224", "111422", "121124", "121421", "141122", "141221", "112214", "112412", "122114",
    "122411", "142112", "142211", "241211", "221114", "413111", "241112", "134111", "111242",
    "121142", "121241", "114212", "124112", "124211", "411212", "421112", "421211", "212141",
    "214121", "412121", "111143", "111341", "131141", "114113", "114311", "411113", "411311",
    "113141", "114131", "311141", "411131", "211412", "211214", "211232", "2331112"};
constexpr uint8_t kCode128Stop = 106;

// CODE128 as GS k sends it: the characters it stands for, and its symbol characters from the
// start character on, in the code sets it was sent in.
struct Code128 {
    std::string characters;
    std::vector<uint8_t> values;
};

std::optional<Code128> ReadCode128(std::string_view data) {
    enum { None, A, B, C } set = None;
    bool shift = false;
    Code128 out;
    std::string early;  // FNC characters sent before the first code set: they follow its start
    // FNC1 after the start reads back as GS, as GS1 readers show it; as the first character it
    // only marks the symbol as GS1 and adds no character. FNC2-4 carry none; code set C has none.
    auto function = [&](char code) {
        if (code == '1') {
            if (!out.characters.empty())
                out.characters += '\x1D';
            out.values.push_back(102);
            return true;
        }
        if (set == C)
            return false;
        out.values.push_back(code == '2' ? 97 : code == '3' ? 96 : set == A ? 101 : 100);
        return true;
    };
    for (size_t i = 0; i < data.size(); ++i) {
        const uint8_t b = At(data, i);
        if (b == '{' && i + 1 < data.size() && At(data, i + 1) != '{') {
            const char code = data[++i];
            if (code == 'A' || code == 'B' || code == 'C') {
                const auto to = code == 'A' ? A : code == 'B' ? B : C;
                if (set == None) {
                    set = to;
                    out.values.push_back(static_cast<uint8_t>(103 + (to - A)));
                    if (!std::all_of(early.begin(), early.end(), function))
                        return std::nullopt;
                } else if (to != set) {
                    set = to;
                    out.values.push_back(to == A ? 101 : to == B ? 100 : 99);
                }
            } else if (code == 'S' && (set == A || set == B)) {
                shift = true;
                out.values.push_back(98);
            } else if (code >= '1' && code <= '4') {
                if (set == None)
                    early += code;
                else if (!function(code))
                    return std::nullopt;
            } else {
                return std::nullopt;
            }
            continue;
        }
        if (b == '{' && ++i == data.size())
            return std::nullopt;  // a brace alone at the end; {{ is a brace, in code sets A and B
        if (set == None)
            return std::nullopt;
        if (set == C) {
            if (b > 99 || b == '{')
                return std::nullopt;
            out.characters += static_cast<char>('0' + b / 10);
            out.characters += static_cast<char>('0' + b % 10);
            out.values.push_back(b);
            continue;
        }
        const bool inA = (set == A) != shift;
        shift = false;
        if (inA ? b > 0x5F : b < 0x20 || b > 0x7F)
            return std::nullopt;
        out.characters += static_cast<char>(b);
        out.values.push_back(static_cast<uint8_t>(b >= 0x20 ? b - 0x20 : b + 0x40));
    }
    if (out.characters.empty())
        return std::nullopt;
    return out;
}

// The symbol's one row of modules: its characters, the check character (the start's value
// plus each character's value times its place, modulo 103), the stop.
Grid Code128Grid(std::vector<uint8_t> values) {
    unsigned check = values[0];
    for (size_t i = 1; i < values.size(); ++i)
        check += static_cast<unsigned>(i) * values[i];
    values.push_back(static_cast<uint8_t>(check % 103));
    values.push_back(kCode128Stop);
    Grid grid{0, 1, {}};
    for (uint8_t value : values) {
        bool bar = true;
        for (char width : kCode128Widths[value]) {
            grid.on.insert(grid.on.end(), static_cast<size_t>(width - '0'), bar ? 1 : 0);
            bar = !bar;
        }
    }
    grid.width = static_cast<int>(grid.on.size());
    return grid;
}

// libzint's size number for a DataMatrix of `columns` x `rows` modules (ECC 200): squares
// 1..24, rectangles 25..30; 0 when there is no such symbol.
int MatrixSize(bool rectangle, int columns, int rows) {
    static constexpr int kSquares[] = {10, 12, 14, 16, 18, 20, 22, 24, 26,  32,  36,  40,
                                       44, 48, 52, 64, 72, 80, 88, 96, 104, 120, 132, 144};
    static constexpr std::pair<int, int> kRectangles[] = {{18, 8},  {32, 8},  {26, 12},
                                                          {36, 12}, {36, 16}, {48, 16}};
    if (!rectangle) {
        const auto* at = std::find(std::begin(kSquares), std::end(kSquares), columns);
        return at == std::end(kSquares) ? 0 : static_cast<int>(at - std::begin(kSquares)) + 1;
    }
    const auto* at =
        std::find(std::begin(kRectangles), std::end(kRectangles), std::pair{columns, rows});
    return at == std::end(kRectangles) ? 0 : static_cast<int>(at - std::begin(kRectangles)) + 25;
}

// What a symbol is drawn from: its modules, the dots of one module across and of one row down,
// the HRI text of a bar code, and the data its picture is labelled with.
struct Drawing {
    Grid grid;
    int module = 1;
    int rowHeight = 1;
    std::string text;
    std::string shown;
};

// libzint's modules for every symbol but CODE128, in `d`; false when the data makes none.
bool ZintDrawing(Symbology symbology, std::string_view data, const detail::SymbolModes& modes,
                 Drawing& d) {
    Zint z(ZBarcode_Create(), &ZBarcode_Delete);
    if (!z)
        return false;
    const std::optional<std::string> prepared = Prepare(symbology, data, modes, *z);
    if (!prepared || prepared->size() > ZINT_MAX_DATA_LEN)
        return false;
    z->input_mode = DATA_MODE;
    if (symbology == Symbology::Qr) {
        z->option_1 = modes.qrLevel + 1;
        d.module = d.rowHeight = modes.qrModule;
    } else if (symbology == Symbology::Pdf417) {
        if (modes.pdfTruncated)
            z->symbology = BARCODE_PDF417COMP;
        z->option_1 = modes.pdfLevel;
        z->option_2 = modes.pdfColumns;
        z->option_3 = modes.pdfRows;
        d.module = modes.pdfModule;
        d.rowHeight = modes.pdfModule * modes.pdfRowHeight;
    } else if (symbology == Symbology::Aztec) {
        // A set layer count fixes the size (compact 1..4, full range 5..36), and then the error
        // correction is what room is left; otherwise the level decides.
        const int level = modes.aztecLevel;
        z->option_1 = level <= 10 ? 1 : level <= 23 ? 2 : level <= 36 ? 3 : 4;
        if (modes.aztecLayers > 0)
            z->option_2 = modes.aztecLayers + (modes.aztecCompact ? 0 : 4);
        d.module = d.rowHeight = modes.aztecModule;
    } else if (symbology == Symbology::DataMatrix) {
        if (modes.matrixColumns > 0) {
            z->option_2 = MatrixSize(modes.matrixRectangle, modes.matrixColumns, modes.matrixRows);
            if (z->option_2 == 0)
                return false;
        } else if (!modes.matrixRectangle) {
            z->option_3 = DM_SQUARE;
        }
        d.module = d.rowHeight = modes.matrixModule;
    } else if (symbology == Symbology::MaxiCode) {
        z->option_1 = modes.maxiMode;
        z->scale = kMaxiCodeScale;
        d.module = d.rowHeight = 1;
    }
    const int error =
        ZBarcode_Encode(z.get(), reinterpret_cast<const unsigned char*>(prepared->data()),
                        static_cast<int>(prepared->size()));
    if (error >= ZINT_ERROR || z->width <= 0 || z->rows <= 0)
        return false;
    if (symbology == Symbology::MaxiCode)  // hexagons and rings: libzint's picture of them
        return ZBarcode_Buffer(z.get(), 0) < ZINT_ERROR && RasterGrid(*z, d.grid);
    const int rows = Linear(symbology) ? 1 : z->rows;
    d.grid = {z->width, rows, std::vector<uint8_t>(static_cast<size_t>(z->width) * rows)};
    for (int row = 0; row < rows; ++row) {
        for (int x = 0; x < z->width; ++x)
            d.grid.on[static_cast<size_t>(row) * z->width + x] = Module(*z, row, x) ? 1 : 0;
    }
    // EAN and UPC show their check digit; libzint's text has it.
    const bool eanUpc = symbology == Symbology::UpcA || symbology == Symbology::UpcE ||
                        symbology == Symbology::Ean13 || symbology == Symbology::Ean8;
    d.text = eanUpc ? reinterpret_cast<const char*>(z->text) : *prepared;
    return true;
}

// GS ( k function 82's answer: header, identifier, width and height in dots (0 when the data
// makes no symbol), a fixed 1, and whether the symbol can print, each after a separator, then
// NUL.
std::string SizeAnswer(const std::optional<DrawnSymbol>& symbol, const detail::SymbolModes& modes) {
    const auto [width, height] = modes.drawnSize;
    return "\x37\x36" + std::to_string(width) + "\x1F" + std::to_string(height) + "\x1F" + "1\x1F" +
           (symbol ? "0" : "1") + std::string(1, '\0');
}

// DrawSymbol, or the last symbol again when nothing it is drawn from changed.
std::optional<DrawnSymbol> Draw(Symbology symbology, std::string_view data,
                                detail::SymbolModes& modes) {
    const detail::SymbolModes& m = modes;
    std::string from = std::to_string(static_cast<int>(symbology));
    for (int v : {m.paperWidth,
                  m.barHeight,
                  m.barModule,
                  m.qrModule,
                  m.qrLevel,
                  m.pdfColumns,
                  m.pdfRows,
                  m.pdfModule,
                  m.pdfRowHeight,
                  m.pdfLevel,
                  m.pdfTruncated ? 1 : 0,
                  m.aztecModule,
                  m.aztecCompact ? 1 : 0,
                  m.aztecLayers,
                  m.aztecLevel,
                  m.matrixModule,
                  m.matrixRectangle ? 1 : 0,
                  m.matrixColumns,
                  m.matrixRows,
                  m.maxiMode})
        from += "," + std::to_string(v);
    from += ":";
    from += data;
    // A refusal is remembered too (no dots), so that printing it again costs no encoding.
    if (from == modes.drawnFrom) {
        if (modes.drawn.dots.empty())
            return std::nullopt;
        return DrawnSymbol{modes.drawn, modes.drawnText, false};
    }
    modes.drawnSize = {};
    std::optional<DrawnSymbol> drawn = DrawSymbol(symbology, data, modes, &modes.drawnSize);
    modes.drawnFrom = std::move(from);
    modes.drawn = drawn ? drawn->image : PaperImage{};
    modes.drawnText = drawn ? drawn->text : std::string();
    return drawn;
}

}  // namespace

const char* SymbologyName(Symbology symbology) {
    static const char* const kNames[] = {"UPC-A",  "UPC-E",   "EAN-13",     "EAN-8",   "CODE39",
                                         "ITF",    "CODABAR", "CODE93",     "CODE128", "QR",
                                         "PDF417", "Aztec",   "DataMatrix", "MaxiCode"};
    return kNames[static_cast<int>(symbology)];
}

std::optional<Symbology> BarcodeSymbology(uint8_t m) {
    static constexpr Symbology kKinds[] = {
        Symbology::UpcA,    Symbology::UpcE,   Symbology::Ean13,
        Symbology::Ean8,    Symbology::Code39, Symbology::Itf,
        Symbology::Codabar, Symbology::Code93, Symbology::Code128};
    if (m <= 6)
        return kKinds[m];
    if (m >= 65 && m <= 73)
        return kKinds[m - 65];
    return std::nullopt;
}

std::optional<std::string> Code128Characters(std::string_view data) {
    std::optional<Code128> code = ReadCode128(data);
    return code ? std::optional(std::move(code->characters)) : std::nullopt;
}

void BarcodeSetting(CommandId id, std::string_view c, detail::SymbolModes& modes) {
    const uint8_t n = At(c, 2);
    switch (id) {
        case CommandId::BarHeight:
            if (n >= 1)
                modes.barHeight = n;
            break;
        case CommandId::BarModule:
            if (n >= 2 && n <= 6)
                modes.barModule = n;
            break;
        case CommandId::HriPosition:
            if (Digit(n) <= 3)
                modes.hri = static_cast<uint8_t>(Digit(n));
            break;
        case CommandId::HriFont:
            if (Digit(n) <= 1)
                modes.hriFontB = Digit(n) == 1;
            break;
        default:
            break;
    }
}

std::optional<DrawnSymbol> DrawSymbol(Symbology symbology, std::string_view data,
                                      const detail::SymbolModes& modes, std::pair<int, int>* size) {
    Drawing d;
    d.module = modes.barModule;
    d.rowHeight = modes.barHeight;
    if (symbology == Symbology::Code128) {
        // Its modules built here: libzint chooses its own code sets, and the host chose these.
        const std::optional<Code128> code = ReadCode128(data);
        if (!code)
            return std::nullopt;
        d.grid = Code128Grid(code->values);
        d.text = d.shown = code->characters;
    } else {
        if (!ZintDrawing(symbology, data, modes, d))
            return std::nullopt;
        d.shown = std::string(data);
    }
    // A bar code row drawn once, as tall as GS h sets; other symbols row by row.
    const Grid& grid = d.grid;
    DrawnSymbol out;
    PaperImage& image = out.image;
    image.width = grid.width * d.module;
    image.height = grid.rows * d.rowHeight;
    if (size)
        *size = {image.width, image.height};
    if (image.width > modes.paperWidth || image.height > kImageRows)
        return std::nullopt;  // the printer prints none of a symbol that does not fit
    image.symbol = SymbologyName(symbology);
    image.symbolData = std::move(d.shown);
    image.dots = Dots::Blank(static_cast<size_t>(image.width) * static_cast<size_t>(image.height));
    uint8_t* dots = image.dots.Write();
    for (int row = 0; row < grid.rows; ++row) {
        uint8_t* first = dots + static_cast<size_t>(row) * d.rowHeight * image.width;
        const uint8_t* modules = grid.on.data() + static_cast<size_t>(row) * grid.width;
        for (int x = 0; x < image.width; ++x)
            first[x] = modules[x / d.module];
        for (int y = 1; y < d.rowHeight; ++y)
            std::copy_n(first, image.width, first + static_cast<size_t>(y) * image.width);
    }
    if (Linear(symbology)) {
        out.text = std::move(d.text);
        std::replace_if(
            out.text.begin(), out.text.end(), [](char c) { return c >= 0 && c < 0x20; }, ' ');
    }
    return out;
}

std::optional<DrawnSymbol> Barcode(std::string_view c, detail::SymbolModes& modes) {
    if (c.size() < 3)
        return std::nullopt;
    const uint8_t m = At(c, 2);
    const std::optional<Symbology> symbology = BarcodeSymbology(m);
    if (!symbology)
        return std::nullopt;
    std::string_view data;
    if (m <= 6) {
        if (At(c, c.size() - 1) != 0)
            return std::nullopt;  // ended by a byte it does not take, or too long
        data = c.substr(3, c.size() - 4);
    } else {
        data = c.substr(4);
    }
    return Draw(*symbology, data, modes);
}

std::optional<Refusal> SymbolRefusal(std::string_view c, const detail::SymbolModes& modes) {
    std::optional<Symbology> symbology;
    std::string_view data;
    bool drawn = true;  // whether libzint was asked, so that the size says what it made of it
    if (c.size() >= 3 && At(c, 0) == 0x1D && At(c, 1) == 'k') {
        const uint8_t m = At(c, 2);
        symbology = BarcodeSymbology(m);
        if (!symbology)
            return Refusal{Refusal::Kind::SymbolData,
                           "GS k " + std::to_string(m) + ": no such bar code"};
        drawn = m > 6 || At(c, c.size() - 1) == 0;
        data = m > 6 ? c.substr(std::min<size_t>(4, c.size())) : c.substr(3, c.size() - 3 - drawn);
    } else if (c.size() >= 7 && At(c, 6) == 81) {
        const std::pair<Symbology, const std::string*> stored[] = {
            {Symbology::Pdf417, &modes.pdfData},
            {Symbology::Qr, &modes.qrData},
            {Symbology::MaxiCode, &modes.maxiData},
            {Symbology::Aztec, &modes.aztecData},
            {Symbology::DataMatrix, &modes.matrixData}};
        const uint8_t cn = At(c, 5);
        const int at = cn == 48   ? 0
                       : cn == 49 ? 1
                       : cn == 50 ? 2
                       : cn == 53 ? 3
                       : cn == 54 ? 4
                                  : -1;
        if (at < 0)
            return std::nullopt;
        symbology = stored[at].first;
        data = *stored[at].second;
    } else {
        return std::nullopt;
    }
    std::string what = std::string(SymbologyName(*symbology)) + " \"" + Shortened(data, 40) + "\"";
    const auto [width, height] = modes.drawnSize;
    if (!drawn || (width == 0 && height == 0))
        return Refusal{Refusal::Kind::SymbolData, what + (drawn ? "" : ", not ended by NUL")};
    return Refusal{Refusal::Kind::SymbolTooWide,
                   what + ": " + std::to_string(width) + " x " + std::to_string(height) +
                       " dots, on paper " + std::to_string(modes.paperWidth) + " dots wide"};
}

std::optional<DrawnSymbol> SymbolFunction(std::string_view c, detail::SymbolModes& modes,
                                          std::string& answer) {
    // GS ( k pL pH cn fn [arguments]
    if (c.size() < 7)
        return std::nullopt;
    const uint8_t cn = At(c, 5), fn = At(c, 6);
    const int n = c.size() > 7 ? At(c, 7) : -1;
    const int n2 = c.size() > 8 ? At(c, 8) : -1;
    if (cn == 49) {  // QR Code
        switch (fn) {
            case 67:
                if (n >= 1 && n <= 16)
                    modes.qrModule = n;
                break;
            case 69:
                if (n >= 48 && n <= 51)
                    modes.qrLevel = n - 48;
                break;
            case 80:
                modes.qrData = c.size() > 8 ? std::string(c.substr(8)) : std::string();
                break;
            case 81:
                return Draw(Symbology::Qr, modes.qrData, modes);
            case 82:
                answer += SizeAnswer(Draw(Symbology::Qr, modes.qrData, modes), modes);
                break;
            default:  // the model: libzint draws model 2, which readers read alike
                break;
        }
    } else if (cn == 48) {  // PDF417
        switch (fn) {
            case 65:
                if (n >= 0 && n <= 30)
                    modes.pdfColumns = n;
                break;
            case 66:
                if (n == 0 || (n >= 3 && n <= 90))
                    modes.pdfRows = n;
                break;
            case 67:
                if (n >= 2 && n <= 8)
                    modes.pdfModule = n;
                break;
            case 68:
                if (n >= 2 && n <= 8)
                    modes.pdfRowHeight = n;
                break;
            case 69:
                // A level (48 + 0..8); a ratio (49, then tenths) is left to libzint's choice.
                if (n == 48 && n2 >= 48 && n2 <= 56)
                    modes.pdfLevel = n2 - 48;
                else if (n == 49 && n2 >= 1 && n2 <= 40)
                    modes.pdfLevel = -1;
                break;
            case 70:
                if (n == 0 || n == 1)
                    modes.pdfTruncated = n == 1;
                break;
            case 80:
                modes.pdfData = c.size() > 8 ? std::string(c.substr(8)) : std::string();
                break;
            case 81:
                return Draw(Symbology::Pdf417, modes.pdfData, modes);
            default:
                break;
        }
    } else if (cn == 53) {  // Aztec
        switch (fn) {
            case 50:
                if (n >= 0 && Digit(static_cast<uint8_t>(n)) <= 1 && n2 >= 0 &&
                    n2 <= (Digit(static_cast<uint8_t>(n)) == 1 ? 4 : 32)) {
                    modes.aztecCompact = Digit(static_cast<uint8_t>(n)) == 1;
                    modes.aztecLayers = n2;
                }
                break;
            case 51:
                if (n >= 2 && n <= 16)
                    modes.aztecModule = n;
                break;
            case 53:
                if (n >= 5 && n <= 95)
                    modes.aztecLevel = n;
                break;
            case 80:
                modes.aztecData = c.size() > 8 ? std::string(c.substr(8)) : std::string();
                break;
            case 81:
                return Draw(Symbology::Aztec, modes.aztecData, modes);
            case 82:
                answer += SizeAnswer(Draw(Symbology::Aztec, modes.aztecData, modes), modes);
                break;
            default:
                break;
        }
    } else if (cn == 50) {  // MaxiCode
        switch (fn) {
            case 65:
                if (n >= 50 && n <= 54)
                    modes.maxiMode = n - 48;
                break;
            case 80:
                if (c.size() <= 8 + kMaxiCodeData)
                    modes.maxiData = c.size() > 8 ? std::string(c.substr(8)) : std::string();
                break;
            case 81:
                return Draw(Symbology::MaxiCode, modes.maxiData, modes);
            case 82:
                answer += SizeAnswer(Draw(Symbology::MaxiCode, modes.maxiData, modes), modes);
                break;
            default:
                break;
        }
    } else if (cn == 54) {  // DataMatrix
        const int n3 = c.size() > 9 ? At(c, 9) : -1;
        switch (fn) {
            case 66:  // m d1 d2: square or rectangle, columns and rows (0: as the data needs)
                if (n >= 0 && Digit(static_cast<uint8_t>(n)) <= 1 && n3 >= 0) {
                    modes.matrixRectangle = Digit(static_cast<uint8_t>(n)) == 1;
                    modes.matrixColumns = n2;
                    modes.matrixRows = n3;
                }
                break;
            case 67:
                if (n >= 2 && n <= 16)
                    modes.matrixModule = n;
                break;
            case 80:
                modes.matrixData = c.size() > 8 ? std::string(c.substr(8)) : std::string();
                break;
            case 81:
                return Draw(Symbology::DataMatrix, modes.matrixData, modes);
            case 82:
                answer += SizeAnswer(Draw(Symbology::DataMatrix, modes.matrixData, modes), modes);
                break;
            default:
                break;
        }
    }
    return std::nullopt;
}

}  // namespace kelvo::printer
