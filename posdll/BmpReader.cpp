#include "posdll/BmpReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>

#include "links/PosdllFuncs.h"
#include "links/UniqueFd.h"

namespace kelvo::posdll {

namespace {

// The largest file read: a 32-bit picture of the largest size is about 75 MB.
constexpr size_t kMaxFileBytes = 96u << 20;

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitfields = 3;

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t U32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool IsBlack(uint32_t r, uint32_t g, uint32_t b) {
    return 299 * r + 587 * g + 114 * b < 128000;
}

// One colour channel described by a bit mask, scaled to 0..255.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    uint32_t max = 0;
    bool Set(uint32_t m) {
        if (m == 0)
            return false;
        shift = std::countr_zero(m);
        const uint32_t bits = m >> shift;
        if ((bits & (bits + 1)) != 0)
            return false;  // not one run of ones
        mask = m;
        max = bits;
        return true;
    }
    uint32_t Get(uint32_t px) const {
        return static_cast<uint32_t>(uint64_t{(px & mask) >> shift} * 255 / max);
    }
};

}  // namespace

int32_t ReadBmp(const uint8_t* data, size_t size, int32_t option, MonoImage& out) {
    if (option != kPosBmpMonochromeOnly && option != kPosBmpThreshold)
        return kPosInvalidArgument;
    if (data == nullptr || size < 18 || data[0] != 'B' || data[1] != 'M')
        return kPosBmpMalformed;
    const uint32_t offBits = U32(data + 10);
    const uint32_t headerSize = U32(data + 14);
    const bool core = headerSize == 12;
    if (headerSize == 16 || headerSize == 64)
        return kPosBmpUnsupported;  // OS/2 2.x
    if (!core && headerSize != 40 && headerSize != 52 && headerSize != 56 && headerSize != 108 &&
        headerSize != 124) {
        return kPosBmpMalformed;
    }
    const size_t headerEnd = 14 + size_t{headerSize};
    if (size < headerEnd)
        return kPosBmpMalformed;
    const uint8_t* h = data + 14;

    int64_t width, height;
    uint32_t planes, bpp, compression = kBiRgb, colorsUsed = 0;
    if (core) {
        width = U16(h + 4);
        height = U16(h + 6);
        planes = U16(h + 8);
        bpp = U16(h + 10);
    } else {
        width = static_cast<int32_t>(U32(h + 4));
        height = static_cast<int32_t>(U32(h + 8));
        planes = U16(h + 12);
        bpp = U16(h + 14);
        compression = U32(h + 16);
        colorsUsed = U32(h + 32);
    }
    if (planes != 1)
        return kPosBmpMalformed;
    if (bpp == 2 || bpp == 16)
        return kPosBmpUnsupported;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24 && bpp != 32)
        return kPosBmpMalformed;
    if (compression != kBiRgb && !(compression == kBiBitfields && bpp == 32)) {
        return kPosBmpUnsupported;
    }
    if (width <= 0 || height == 0)
        return kPosBmpMalformed;
    const bool topDown = height < 0;
    if (topDown)
        height = -height;
    if (width > kMaxWidthDots || height > kMaxHeightDots)
        return kPosBmpTooLarge;
    if (option == kPosBmpMonochromeOnly && bpp != 1)
        return kPosBmpUnsupported;

    // Bit fields follow a 40-byte header; larger headers carry them inside.
    size_t tableStart = headerEnd;
    Channel red, green, blue;
    if (compression == kBiBitfields) {
        const uint8_t* m = h + 40;
        if (headerSize == 40) {
            tableStart += 12;
            if (size < tableStart)
                return kPosBmpMalformed;
            m = data + headerEnd;
        }
        if (!red.Set(U32(m)) || !green.Set(U32(m + 4)) || !blue.Set(U32(m + 8))) {
            return kPosBmpMalformed;
        }
    } else if (bpp == 32) {
        red.Set(0x00FF0000);
        green.Set(0x0000FF00);
        blue.Set(0x000000FF);
    }

    // The palette: black or white per entry.
    std::vector<uint8_t> paletteBlack;
    if (bpp <= 8) {
        const uint32_t maxColors = 1u << bpp;
        const size_t entrySize = core ? 3 : 4;
        uint32_t count = core ? maxColors : (colorsUsed == 0 ? maxColors : colorsUsed);
        if (count > maxColors)
            return kPosBmpMalformed;
        if (core && offBits > tableStart) {
            // Core files may hold fewer entries than the depth allows; the data offset tells.
            count = static_cast<uint32_t>(
                std::min<size_t>(count, (size_t{offBits} - tableStart) / entrySize));
        }
        if (count == 0)
            return kPosBmpMalformed;
        const size_t tableEnd = tableStart + size_t{count} * entrySize;
        if (tableEnd > size || tableEnd > offBits)
            return kPosBmpMalformed;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* e = data + tableStart + size_t{i} * entrySize;
            paletteBlack.push_back(IsBlack(e[2], e[1], e[0]) ? 1 : 0);
        }
    } else if (offBits < tableStart) {
        return kPosBmpMalformed;
    }

    const uint64_t rowBits = static_cast<uint64_t>(width) * bpp;
    const uint64_t stride = (rowBits + 31) / 32 * 4;
    // The last row's padding may be missing from the file; its dots may not.
    const uint64_t needed =
        uint64_t{offBits} + stride * static_cast<uint64_t>(height - 1) + (rowBits + 7) / 8;
    if (offBits >= size || needed > size)
        return kPosBmpMalformed;

    MonoImage image;
    image.width = static_cast<uint32_t>(width);
    image.height = static_cast<uint32_t>(height);
    image.dots.assign(size_t{image.width} * image.height, 0);
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint32_t fileRow = topDown ? y : image.height - 1 - y;
        const uint8_t* row = data + offBits + stride * fileRow;
        uint8_t* dots = image.dots.data() + size_t{y} * image.width;
        for (uint32_t x = 0; x < image.width; ++x) {
            if (bpp <= 8) {
                const size_t bit = size_t{x} * bpp;
                const uint32_t shift = 8 - bpp - bit % 8;  // leftmost dot in the high bits
                const uint32_t index = (row[bit / 8] >> shift) & ((1u << bpp) - 1);
                if (index >= paletteBlack.size())
                    return kPosBmpMalformed;
                dots[x] = paletteBlack[index];
            } else if (bpp == 24) {
                const uint8_t* p = row + size_t{x} * 3;
                dots[x] = IsBlack(p[2], p[1], p[0]) ? 1 : 0;
            } else {
                const uint32_t px = U32(row + size_t{x} * 4);
                dots[x] = IsBlack(red.Get(px), green.Get(px), blue.Get(px)) ? 1 : 0;
            }
        }
    }
    out = std::move(image);
    return kPosSuccess;
}

int32_t ReadBmpFile(const char* path, int32_t option, MonoImage& out) {
    if (path == nullptr)
        return kPosInvalidArgument;
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return kPosFileError;
    const size_t want = std::min<size_t>(static_cast<size_t>(st.st_size), kMaxFileBytes);
    std::vector<uint8_t> bytes(want);
    size_t got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd.get(), bytes.data() + got, want - got);
        if (n == 0)
            break;  // shrank while being read: judged on what is there
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return kPosFileError;
        }
        got += static_cast<size_t>(n);
    }
    return ReadBmp(bytes.data(), got, option, out);
}

std::string BuildFsQ(const std::vector<MonoImage>& images) {
    std::string out = {'\x1C', 'q', static_cast<char>(images.size())};
    for (const MonoImage& image : images) {
        const uint32_t xBytes = (image.width + 7) / 8;
        const uint32_t yBytes = (image.height + 7) / 8;
        out.push_back(static_cast<char>(xBytes & 0xFF));
        out.push_back(static_cast<char>(xBytes >> 8));
        out.push_back(static_cast<char>(yBytes & 0xFF));
        out.push_back(static_cast<char>(yBytes >> 8));
        out.reserve(out.size() + size_t{xBytes} * 8 * yBytes);
        for (uint32_t x = 0; x < xBytes * 8; ++x) {
            for (uint32_t yb = 0; yb < yBytes; ++yb) {
                uint8_t byte = 0;
                for (uint32_t bit = 0; bit < 8; ++bit) {
                    const uint32_t y = yb * 8 + bit;
                    if (x < image.width && y < image.height && image.black(x, y)) {
                        byte |= static_cast<uint8_t>(0x80 >> bit);
                    }
                }
                out.push_back(static_cast<char>(byte));
            }
        }
    }
    return out;
}

}  // namespace kelvo::posdll
