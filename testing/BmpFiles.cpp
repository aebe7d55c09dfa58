#include "testing/BmpFiles.h"

#include <vector>

#include "testing/Files.h"

namespace kelvo::testing {

namespace {

void Put16(std::string& s, uint32_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Put32(std::string& s, uint32_t v) {
    Put16(s, v & 0xFFFF);
    Put16(s, v >> 16);
}

}  // namespace

std::string MakeBmp(const BmpShape& shape) {
    const int bpp = shape.bitsPerPixel;
    const int colors = bpp <= 8 ? 1 << bpp : 0;
    const uint32_t masks = shape.bitfields ? 12 : 0;
    const uint32_t offBits = 14 + 40 + masks + static_cast<uint32_t>(colors) * 4;
    const int stride = (shape.width * bpp + 31) / 32 * 4;

    std::string px;
    for (int fileRow = 0; fileRow < shape.height; ++fileRow) {
        const int y = shape.topDown ? fileRow : shape.height - 1 - fileRow;
        std::vector<uint8_t> row(static_cast<size_t>(stride), 0);
        for (int x = 0; x < shape.width; ++x) {
            const bool dark = shape.black(x, y);
            if (bpp <= 8) {
                // Index 0 and the last index hold black and white; the grey ramp between them
                // (4 and 8 bits) is never used by a dot.
                const int black = shape.whiteFirst ? colors - 1 : 0;
                const int white = shape.whiteFirst ? 0 : colors - 1;
                const int index = dark ? black : white;
                const int bit = x * bpp;
                row[static_cast<size_t>(bit / 8)] |=
                    static_cast<uint8_t>(index << (8 - bpp - bit % 8));
            } else {
                const uint8_t* rgb = dark ? kDarkRgb : kLightRgb;
                const size_t at = static_cast<size_t>(x) * static_cast<size_t>(bpp / 8);
                row[at] = rgb[2];
                row[at + 1] = rgb[1];
                row[at + 2] = rgb[0];
                if (bpp == 32)
                    row[at + 3] = 0x5A;  // unused byte: must not matter
            }
        }
        px.append(row.begin(), row.end());
    }

    std::string f = "BM";
    Put32(f, offBits + static_cast<uint32_t>(px.size()));
    Put32(f, 0);
    Put32(f, offBits);
    Put32(f, 40);
    Put32(f, static_cast<uint32_t>(shape.width));
    Put32(f, static_cast<uint32_t>(shape.topDown ? -shape.height : shape.height));
    Put16(f, 1);
    Put16(f, static_cast<uint32_t>(bpp));
    Put32(f, shape.bitfields ? 3 : 0);
    Put32(f, static_cast<uint32_t>(px.size()));
    Put32(f, 2835);
    Put32(f, 2835);
    Put32(f, 0);
    Put32(f, 0);
    if (shape.bitfields) {
        Put32(f, 0x00FF0000);
        Put32(f, 0x0000FF00);
        Put32(f, 0x000000FF);
    }
    for (int i = 0; i < colors; ++i) {
        // Black, a ramp of greys, white; reversed when white comes first.
        const int level = colors == 1 ? 0 : i * 255 / (colors - 1);
        const auto v = static_cast<char>(shape.whiteFirst ? 255 - level : level);
        f += {v, v, v, 0};
    }
    return f + px;
}

std::string ExpectedFsQ(int width, int height, const std::function<bool(int x, int y)>& black) {
    const int xBytes = (width + 7) / 8;
    const int yBytes = (height + 7) / 8;
    std::string out = {'\x1C',
                       '\x71',
                       '\x01',
                       static_cast<char>(xBytes % 256),
                       static_cast<char>(xBytes / 256),
                       static_cast<char>(yBytes % 256),
                       static_cast<char>(yBytes / 256)};
    for (int column = 0; column < xBytes * 8; ++column) {
        for (int top = 0; top < yBytes * 8; top += 8) {
            int value = 0;
            for (int y = top; y < top + 8; ++y) {
                value *= 2;
                if (column < width && y < height && black(column, y))
                    value += 1;
            }
            out.push_back(static_cast<char>(value));
        }
    }
    return out;
}

bool TestPattern(int x, int y, int width, int height) {
    return x == 0 || y == 0 || x == width - 1 || y == height - 1 || x == y || (x == 3 && y == 6) ||
           (x == 9 && y == 2);
}

TempFile::TempFile(const std::string& name, const std::string& bytes) : path_(dir_ / name) {
    WriteFile(path_, bytes);
}

}  // namespace kelvo::testing
