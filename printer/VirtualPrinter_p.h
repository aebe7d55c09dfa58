#pragma once

// The virtual printer's parsing state: the line being laid out, the symbol modes and the FS q
// download being read. VirtualPrinter holds it and its parts share it (Text.cpp, Graphics.cpp,
// Symbols.cpp); its readers ask VirtualPrinter.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "printer/Paper.h"
#include "protocol/Decoder.h"

namespace kelvo::printer {

namespace detail {

// Bytes of the current line in one style and one character set, converted when it prints.
struct LineRun {
    std::string bytes;
    TextStyle style;
    bool wide = false;
    DecoderState state;
    int x = -1;
    uint8_t intl = 0;  // ESC R
};

// What FS ! and FS - set for two-byte characters (GS ! sets their size too).
struct WideModes {
    uint8_t widthMul = 1;
    uint8_t heightMul = 1;
    uint8_t underline = 0;
};

// How GS k and GS ( k symbols print (ESC @ restores it all), and the data GS ( k stored.
struct SymbolModes {
    int barHeight = 162;          // GS h, dots
    int barModule = 3;            // GS w, dots of the narrowest bar
    uint8_t hri = 0;              // GS H: text 1 above, 2 below, 3 both
    bool hriFontB = false;        // GS f
    int paperWidth = kPaperDots;  // the widest symbol that prints
    int qrModule = 3;             // dots per module
    int qrLevel = 0;              // error correction L, M, Q, H
    std::string qrData;
    int pdfColumns = 0;  // 0: as many as the data needs
    int pdfRows = 0;
    int pdfModule = 3;     // dots per module
    int pdfRowHeight = 3;  // in module widths
    int pdfLevel = -1;     // error correction 0..8; -1: as the data needs
    bool pdfTruncated = false;
    std::string pdfData;
    int aztecModule = 3;
    bool aztecCompact = false;
    int aztecLayers = 0;  // 0: as the data needs
    int aztecLevel = 23;  // error correction, per cent of the symbol
    std::string aztecData;
    int matrixModule = 3;
    bool matrixRectangle = false;
    int matrixColumns = 0;  // 0: as the data needs
    int matrixRows = 0;
    std::string matrixData;
    int maxiMode = 2;  // 2..6
    std::string maxiData;
    // The last symbol drawn and what it was drawn from: printed again, its dots are shared.
    std::string drawnFrom;
    PaperImage drawn;
    std::string drawnText;
    std::pair<int, int> drawnSize;  // its dots, also when it was too large to print
};

// An FS q download read as it arrives, so that an image is never held twice nor converted in
// one go.
struct NvLoad {
    std::string header;  // n, or the size bytes of the image being read
    unsigned count = 0;  // n, once known
    std::vector<PaperImage> images;
    uint64_t declared = 3;  // bytes of the whole command its sizes so far declare
    uint64_t received = 2;
    uint64_t left = 0;    // data bytes of the current image still to come
    unsigned rows = 0;    // its height in bytes
    unsigned done = 0;    // images read
    uint64_t at = 0;      // its data bytes so far
    bool broken = false;  // an image outside the limits: read on, store nothing
};

}  // namespace detail

}  // namespace kelvo::printer
