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

// libzint's symbol and the data it takes, or nothing when the printer refuses the data before
// libzint sees it (EAN/UPC lengths select other symbols in libzint, an odd ITF is padded there).
std::optional<std::string> Prepare(Symbology s, std::string_view data, zint_symbol& z) {
    std::string d(data);
    switch (s) {
        case Symbology::UpcA:
            z.symbology = d.size() == 12 ? BARCODE_UPCA_CHK : BARCODE_UPCA;
            return AllDigits(d) && OneOf(d.size(), {11, 12}) ? std::optional(d) : std::nullopt;
        case Symbology::UpcE:
            z.symbology = d.size() == 8 ? BARCODE_UPCE_CHK : BARCODE_UPCE;
            return AllDigits(d) && OneOf(d.size(), {6, 7, 8}) ? std::optional(d) : std::nullopt;
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
        case Symbology::Code128:
            z.symbology = BARCODE_CODE128;
            return d.empty() ? std::nullopt : std::optional(d);
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
    }
    return std::nullopt;
}

bool Module(const zint_symbol& z, int row, int column) {
    return (z.encoded_data[row][column >> 3] >> (column & 7)) & 1;
}

bool Linear(Symbology s) {
    return s != Symbology::Qr && s != Symbology::Pdf417 && s != Symbology::Aztec &&
           s != Symbology::DataMatrix;
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
    for (int v : {m.paperWidth, m.barHeight, m.barModule, m.qrModule, m.qrLevel, m.pdfColumns,
                  m.pdfRows, m.pdfModule, m.pdfRowHeight, m.pdfLevel, m.pdfTruncated ? 1 : 0,
                  m.aztecModule, m.aztecCompact ? 1 : 0, m.aztecLayers, m.aztecLevel,
                  m.matrixModule, m.matrixRectangle ? 1 : 0, m.matrixColumns, m.matrixRows})
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
    static const char* const kNames[] = {"UPC-A",  "UPC-E",   "EAN-13",    "EAN-8",   "CODE39",
                                         "ITF",    "CODABAR", "CODE93",    "CODE128", "QR",
                                         "PDF417", "Aztec",   "DataMatrix"};
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
    enum { None, A, B, C } set = None;
    bool shift = false;
    std::string out;
    for (size_t i = 0; i < data.size(); ++i) {
        const uint8_t b = At(data, i);
        if (b == '{' && i + 1 < data.size() && At(data, i + 1) != '{') {
            const char code = data[++i];
            if (code == 'A' || code == 'B' || code == 'C') {
                set = code == 'A' ? A : code == 'B' ? B : C;
            } else if (code == 'S' && (set == A || set == B)) {
                shift = true;
            } else if (code == '1') {
                // FNC1 after the start reads back as GS, as GS1 readers show it; as the first
                // character it only marks the symbol as GS1 and adds no character.
                if (!out.empty())
                    out += '\x1D';
            } else if (code < '2' || code > '4') {  // FNC2-4 carry no character
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
            out += static_cast<char>('0' + b / 10);
            out += static_cast<char>('0' + b % 10);
            continue;
        }
        const bool inA = (set == A) != shift;
        shift = false;
        if (inA ? b > 0x5F : b < 0x20 || b > 0x7F)
            return std::nullopt;
        out += static_cast<char>(b);
    }
    return out.empty() ? std::nullopt : std::optional(out);
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
    Zint z(ZBarcode_Create(), &ZBarcode_Delete);
    if (!z)
        return std::nullopt;
    const std::optional<std::string> d = Prepare(symbology, data, *z);
    if (!d || d->size() > ZINT_MAX_DATA_LEN)
        return std::nullopt;
    z->input_mode = DATA_MODE;
    int module = modes.barModule, rowHeight = modes.barHeight;
    if (symbology == Symbology::Qr) {
        z->option_1 = modes.qrLevel + 1;
        module = rowHeight = modes.qrModule;
    } else if (symbology == Symbology::Pdf417) {
        if (modes.pdfTruncated)
            z->symbology = BARCODE_PDF417COMP;
        z->option_1 = modes.pdfLevel;
        z->option_2 = modes.pdfColumns;
        z->option_3 = modes.pdfRows;
        module = modes.pdfModule;
        rowHeight = modes.pdfModule * modes.pdfRowHeight;
    } else if (symbology == Symbology::Aztec) {
        // A set layer count fixes the size (compact 1..4, full range 5..36), and then the error
        // correction is what room is left; otherwise the level decides.
        const int level = modes.aztecLevel;
        z->option_1 = level <= 10 ? 1 : level <= 23 ? 2 : level <= 36 ? 3 : 4;
        if (modes.aztecLayers > 0)
            z->option_2 = modes.aztecLayers + (modes.aztecCompact ? 0 : 4);
        module = rowHeight = modes.aztecModule;
    } else if (symbology == Symbology::DataMatrix) {
        if (modes.matrixColumns > 0) {
            z->option_2 = MatrixSize(modes.matrixRectangle, modes.matrixColumns, modes.matrixRows);
            if (z->option_2 == 0)
                return std::nullopt;
        } else if (!modes.matrixRectangle) {
            z->option_3 = DM_SQUARE;
        }
        module = rowHeight = modes.matrixModule;
    }
    const int error = ZBarcode_Encode(z.get(), reinterpret_cast<const unsigned char*>(d->data()),
                                      static_cast<int>(d->size()));
    if (error >= ZINT_ERROR || z->width <= 0 || z->rows <= 0)
        return std::nullopt;
    // A bar code row drawn once, as tall as GS h sets; other symbols row by row.
    const int rows = Linear(symbology) ? 1 : z->rows;
    DrawnSymbol out;
    PaperImage& image = out.image;
    image.width = z->width * module;
    image.height = rows * rowHeight;
    if (size)
        *size = {image.width, image.height};
    if (image.width > modes.paperWidth || image.height > kImageRows)
        return std::nullopt;  // the printer prints none of a symbol that does not fit
    image.symbol = SymbologyName(symbology);
    image.symbolData = std::string(data);
    image.dots = Dots::Blank(static_cast<size_t>(image.width) * static_cast<size_t>(image.height));
    uint8_t* dots = image.dots.Write();
    for (int row = 0; row < rows; ++row) {
        uint8_t* first = dots + static_cast<size_t>(row) * rowHeight * image.width;
        for (int x = 0; x < image.width; ++x)
            first[x] = Module(*z, row, x / module) ? 1 : 0;
        for (int y = 1; y < rowHeight; ++y)
            std::copy_n(first, image.width, first + static_cast<size_t>(y) * image.width);
    }
    if (Linear(symbology)) {
        // EAN and UPC show their check digit; libzint's text has it.
        const bool eanUpc = symbology == Symbology::UpcA || symbology == Symbology::UpcE ||
                            symbology == Symbology::Ean13 || symbology == Symbology::Ean8;
        out.text = eanUpc ? reinterpret_cast<const char*>(z->text) : *d;
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
    if (*symbology == Symbology::Code128) {
        const std::optional<std::string> characters = Code128Characters(data);
        if (!characters)
            return std::nullopt;
        return Draw(*symbology, *characters, modes);
    }
    return Draw(*symbology, data, modes);
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
