// Whatever a client sends, in whatever pieces, the printer keeps to its bounds: paper, pictures
// and held bytes stay within their limits, and the work done stays in proportion to the bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "printer/Identity.h"
#include "printer/VirtualPrinter.h"

namespace {

using namespace kelvo::printer;

void Check(bool held) {
    if (!held)
        std::abort();
}

// The longest answer to one request: a GS I text, or the list of NV graphics keys.
size_t LongestAnswer() {
    size_t longest = 4 + 2 * kNvGraphicsKept;
    for (unsigned n = 0; n < 256; ++n)
        longest = std::max(longest, IdentityAnswer(static_cast<uint8_t>(n)).size());
    return longest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    VirtualPrinter p;
    uint64_t fed = 0;
    while (input.remaining_bytes() > 0) {
        // A piece's size, the status switches, and whether the connection ends after it.
        const auto length = input.ConsumeIntegralInRange<size_t>(1, 4096);
        const auto flags = input.ConsumeIntegral<uint8_t>();
        StatusFlags& f = p.Flags();
        f.online = !(flags & 1);
        f.coverOpen = flags & 2;
        f.paperNearEnd = flags & 4;
        f.paperOut = flags & 8;
        f.drawerOpen = flags & 16;
        f.error = flags & 32;
        const std::string piece = input.ConsumeBytesAsString(length);
        const std::string answer = p.Feed(piece);
        fed += piece.size();
        // Only requests answer, each at most the longest answer, and a request takes three bytes.
        static const size_t longest = LongestAnswer();
        Check(answer.size() <= (piece.size() / 3 + 1) * longest);
        if (flags & 64)
            p.EndJob("closed");
        Check(p.PaperSize() <= kPaperItems);
        Check(p.PaperImageDots() <= kPaperImageDots + size_t{kPaperDots} * kImageRows);
        Check(p.PaperHeight() <= kPaperHeightDots + kMaxFeedDots);
        Check(p.HeldBytes() <= kMaxHeldBytes);
        size_t nvDots = 0;
        for (const PaperImage& image : p.NvImages())
            nvDots += image.dots.size();
        Check(nvDots <= 8 * kMaxNvBytes);
        size_t graphicDots = 0;
        for (const NvGraphic& graphic : p.NvGraphics())
            graphicDots += graphic.image.dots.size();
        Check(p.NvGraphics().size() <= kNvGraphicsKept);
        Check(graphicDots <= 8 * kNvGraphicsBytes);
        Check(p.Count().bytes == fed);
        // A picture's first print may be drawn in full (the work its download paid for).
        // Symbols' dots aside: a few bytes draw a bar code (see kMaxWorkPerByte).
        Check(p.Count().work - p.Count().symbolDots <=
              fed * kMaxWorkPerByte + uint64_t{4} * kPaperDots * kImageRows);
    }
    return 0;
}
