#pragma once

// Barcodes (GS k) and two-dimensional codes (GS ( k) drawn as the printer draws them: libzint
// encodes, these functions read its modules into dots at the sizes the commands set.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "printer/VirtualPrinter.h"
#include "printer/VirtualPrinter_p.h"
#include "protocol/Decoder.h"

namespace kelvo::printer {

// GS k's bar codes, then (from Qr on) GS ( k's two-dimensional codes.
enum class Symbology {
    UpcA,
    UpcE,
    Ean13,
    Ean8,
    Code39,
    Itf,
    Codabar,
    Code93,
    Code128,
    Qr,
    Pdf417,
    Aztec,
    DataMatrix,
    MaxiCode
};

// Its name, as a job's report gives it: "UPC-A", "CODE128", "QR", "DataMatrix".
const char* SymbologyName(Symbology symbology);

// GS k's m in either form (0..6, 65..73); nothing for one the printer does not know.
std::optional<Symbology> BarcodeSymbology(uint8_t m);

// GS h, GS w, GS H or GS f, whole: one barcode setting; a value out of range is ignored.
void BarcodeSetting(CommandId id, std::string_view command, detail::SymbolModes& modes);

// CODE128 data as GS k sends it ({A {B {C select the code set, {S shifts one character, {1 is
// FNC1, {{ a brace) as the characters it stands for; nothing when it breaks those rules.
std::optional<std::string> Code128Characters(std::string_view data);

// A symbol ready for the paper: its dots, and the text printed as its HRI (barcodes only).
struct DrawnSymbol {
    PaperImage image;
    std::string text;
    bool fresh = true;  // drawn now, not the last symbol printed again
};

// `data` as the symbology takes it (for CODE128 the GS k bytes, code sets and all); nothing
// when the symbology refuses it or it is wider than modes.paperWidth. `size`, when given, gets
// the symbol's width and height in dots whenever the symbology takes the data.
std::optional<DrawnSymbol> DrawSymbol(Symbology symbology, std::string_view data,
                                      const detail::SymbolModes& modes,
                                      std::pair<int, int>* size = nullptr);

// Reads one whole GS k command with these modes: the symbol to print, or nothing.
std::optional<DrawnSymbol> Barcode(std::string_view command, detail::SymbolModes& modes);

// Why a whole GS k, or GS ( k print function, printed no symbol: the data refused or the symbol
// too large, its symbology and data in words. Nothing for any other command.
std::optional<Refusal> SymbolRefusal(std::string_view command, const detail::SymbolModes& modes);

// Reads one whole GS ( k command: settings and stored data go into `modes`; a print function
// returns the symbol to print, a size request appends its answer to `answer`.
std::optional<DrawnSymbol> SymbolFunction(std::string_view command, detail::SymbolModes& modes,
                                          std::string& answer);

}  // namespace kelvo::printer
