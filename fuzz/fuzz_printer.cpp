// Whatever a client sends, in whatever pieces, the printer keeps to its bounds: paper, pictures
// and held bytes stay within their limits, and the work done stays in proportion to the bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "printer/VirtualPrinter.h"

namespace {

using namespace kelvo::printer;

void Check(bool held) {
    if (!held)
        std::abort();
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
        // Only status requests answer, one byte each, and a request takes three bytes.
        Check(answer.size() <= piece.size() / 3 + 1);
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
        Check(p.Count().bytes == fed);
        // A picture's first print may be drawn in full (the work its download paid for).
        // Symbols' dots aside: a few bytes draw a bar code (see kMaxWorkPerByte).
        Check(p.Count().work - p.Count().symbolDots <=
              fed * kMaxWorkPerByte + uint64_t{4} * kPaperDots * kImageRows);
    }
    return 0;
}
