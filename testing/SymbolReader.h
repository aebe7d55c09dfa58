#pragma once

#define ZX_USE_UTF8
#include <ZXing/ReadBarcode.h>

#include <string>
#include <vector>

#include "printer/Paper.h"

namespace kelvo::testing {

// Format and text as a scanner reads them off white paper ("QRCode:data", "Code128:data"): each
// dot 2x2 pixels, as a camera close to the paper sees a 1-dot module, with a quiet zone around.
// A suite that calls it links ZXing::ZXing.
inline std::string ReadSymbol(const printer::PaperImage& image) {
    const int scale = 2, margin = 40;
    const int width = image.width * scale + 2 * margin, height = image.height * scale + 2 * margin;
    std::vector<uint8_t> grey(static_cast<size_t>(width) * height, 255);
    for (int y = 0; y < image.height * scale; ++y) {
        for (int x = 0; x < image.width * scale; ++x) {
            if (image.dots[static_cast<size_t>(y / scale) * image.width + x / scale])
                grey[static_cast<size_t>(y + margin) * width + x + margin] = 0;
        }
    }
    ZXing::DecodeHints hints;
    hints.setTryHarder(true);
    hints.setReturnCodabarStartEnd(true);
    const ZXing::Result result =
        ZXing::ReadBarcode({grey.data(), width, height, ZXing::ImageFormat::Lum}, hints);
    return result.isValid() ? std::string(ZXing::ToString(result.format())) + ":" + result.text()
                            : "(unread)";
}

}  // namespace kelvo::testing
