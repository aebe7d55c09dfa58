#include "cli/Print.h"

#include <stdexcept>

#include "cli/CommandLine.h"
#include "protocol/Receipt.h"

namespace kelvo::cli {

namespace {

PictureReader pictureReader = nullptr;

std::pair<int, int> SizeOf(const std::string& text) {
    const size_t x = text.find_first_of("xX");
    const auto w = WholeNumber(std::string_view(text).substr(0, x), 1, 8);
    const auto h = x == std::string::npos ? std::nullopt
                                          : WholeNumber(std::string_view(text).substr(x + 1), 1, 8);
    if (!w || !h)
        throw UsageError("--size takes WxH, 1 to 8 each (2x2), not '" + text + "'");
    return {static_cast<int>(*w), static_cast<int>(*h)};
}

void Add(ReceiptComposer& receipt, const std::string& name, const std::string& value) {
    if (name == "text") {
        receipt.Text(value);
    } else if (name == "image") {
        if (pictureReader == nullptr)
            throw std::runtime_error("print --image needs the window's library");
        std::string why;
        const std::optional<GreyPicture> picture = pictureReader(value, &why);
        if (!picture)
            throw UsageError(value + ": " + why);
        receipt.Picture(*picture);
    } else if (name == "qr") {
        receipt.Qr(value);
    } else if (name == "barcode") {
        const size_t colon = value.find(':');
        if (colon == std::string::npos)
            throw UsageError("--barcode takes TYPE:DATA, not '" + value + "'");
        receipt.Barcode(value.substr(0, colon), value.substr(colon + 1));
    } else if (name == "align") {
        const char* const names[] = {"left", "center", "right"};
        const auto found = std::find(std::begin(names), std::end(names), value);
        if (found == std::end(names))
            throw UsageError("--align takes left, center or right");
        receipt.Align(static_cast<uint8_t>(found - std::begin(names)));
    } else if (name == "bold") {
        if (value != "on" && value != "off")
            throw UsageError("--bold takes on or off");
        receipt.Bold(value == "on");
    } else if (name == "size") {
        const auto [w, h] = SizeOf(value);
        receipt.Size(w, h);
    } else if (name == "cut") {
        receipt.Cut();
    }
}

}  // namespace

void SetPictureReader(PictureReader reader) {
    pictureReader = reader;
}

jobs::Job PrintReceipt(const Invocation& run) {
    ReceiptComposer receipt(PaperDots(run));
    const size_t start = receipt.Bytes().size();
    for (const auto& [name, value] : run.given) {
        try {
            Add(receipt, name, value);
        } catch (const std::invalid_argument& e) {
            throw UsageError("--" + name + ": " + e.what());
        }
    }
    if (receipt.Bytes().size() == start)
        throw UsageError(
            "print needs something to print: --text, --image, --qr, --barcode or --cut");
    return {{receipt.Bytes(), false}};
}

}  // namespace kelvo::cli
