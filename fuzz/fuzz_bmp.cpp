// Bitmap files come from wherever the user points the file dialog.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "links/PosdllFuncs.h"
#include "posdll/BmpReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kelvo::posdll;
    for (int32_t option : {kelvo::kPosBmpMonochromeOnly, kelvo::kPosBmpThreshold}) {
        MonoImage image;
        if (ReadBmp(data, size, option, image) != kelvo::kPosSuccess)
            continue;
        // Whatever is accepted must fit FS q and come out as exactly its own size.
        if (image.width < 1 || image.width > kMaxWidthDots || image.height < 1 ||
            image.height > kMaxHeightDots ||
            image.columns.size() != FsQDataBytes(image.width, image.height))
            std::abort();
        const size_t columns = (image.width + 7) / 8 * 8;
        const size_t rows = (image.height + 7) / 8;
        const std::string fsq = BuildFsQ({image});
        if (fsq.size() != 3 + 4 + columns * rows)
            std::abort();
        // The library's own path, straight into the command, gives the same bytes.
        FsQBuilder builder;
        if (builder.AddBmp(data, size, option) != kelvo::kPosSuccess || builder.Take() != fsq)
            std::abort();
    }
    return 0;
}
