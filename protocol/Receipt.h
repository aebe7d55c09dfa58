#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Decoder.h"

// A receipt composed from plain values, piece by piece, as a printer of this family takes it.
namespace kelvo {

// A picture in grey levels, 0 black to 255 white, `width` by `height`, top row first.
struct GreyPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> grey;
};

// The bar codes GS k draws, by name ("CODE128", "EAN13"), and their command number m.
struct BarcodeKind {
    std::string_view name;
    uint8_t m;
};
std::vector<BarcodeKind> BarcodeKinds();

class ReceiptComposer {
  public:
    // For paper `paperDots` wide: pictures are scaled to it, symbols sized within it.
    explicit ReceiptComposer(int paperDots);
    ~ReceiptComposer();
    ReceiptComposer(const ReceiptComposer&) = delete;
    ReceiptComposer& operator=(const ReceiptComposer&) = delete;

    // One line of UTF-8 text. Each character goes in a code page of this family that holds it,
    // else in GBK with Chinese mode on; the mode and code page change only where the one in
    // force lacks a character, to the one that holds most of what follows (the first of equals).
    // What none holds, and bytes that are no UTF-8, print as "?".
    void Text(std::string_view utf8);
    // Scaled to the paper's width and dithered (Floyd-Steinberg) into raster pictures.
    // Throws std::invalid_argument for an empty picture or one that would be too tall.
    void Picture(const GreyPicture& picture);
    // Throws std::invalid_argument for data a QR code cannot hold.
    void Qr(std::string_view data);
    // `kind` one of BarcodeKinds (any case); throws std::invalid_argument for another, for data
    // of no or too many bytes, and for a CODE128 wider than the paper.
    void Barcode(std::string_view kind, std::string_view data);
    // 0 left, 1 centred, 2 right; for what follows, as bold and size.
    void Align(uint8_t justification);
    void Bold(bool on);
    // 1 to 8 times each; throws std::invalid_argument for others.
    void Size(int width, int height);
    void Cut();

    const std::string& Bytes() const { return bytes_; }

  private:
    struct Encodings;
    void Switch(size_t encoding);

    int paperDots_;
    std::string bytes_;
    std::unique_ptr<Encodings> encodings_;
    // The text state the printer is in; nothing until the receipt set one (after ESC @ the
    // printer is in its stored state, which only it knows).
    std::optional<size_t> encoding_;
};

}  // namespace kelvo
