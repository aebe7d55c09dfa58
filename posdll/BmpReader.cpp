#include "posdll/BmpReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "links/Posdll.h"
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

// A palette entry: 0 white, 1 black, or no such entry in the file.
constexpr uint8_t kNoEntry = 2;

// A BMP whose header has been checked: where its rows are and how a dot turns black.
struct Bmp {
    const uint8_t* data = nullptr;
    uint32_t offBits = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bpp = 0;
    bool topDown = false;
    uint64_t stride = 0;
    std::array<uint8_t, 256> palette{};
    Channel red, green, blue;

    const uint8_t* Row(uint32_t y) const {  // y = 0 is the top row
        return data + offBits + stride * (topDown ? y : height - 1 - y);
    }
};

// Every check ReadBmp makes before it looks at a dot; fills `out` when they pass.
int32_t CheckHeader(const uint8_t* data, size_t size, int32_t option, Bmp& out) {
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
    Channel& red = out.red;
    Channel& green = out.green;
    Channel& blue = out.blue;
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

    // The palette: black or white per entry; the indices past its end are refused.
    out.palette.fill(kNoEntry);
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
            out.palette[i] = IsBlack(e[2], e[1], e[0]) ? 1 : 0;
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

    out.data = data;
    out.offBits = offBits;
    out.width = static_cast<uint32_t>(width);
    out.height = static_cast<uint32_t>(height);
    out.bpp = bpp;
    out.topDown = topDown;
    out.stride = stride;
    return kPosSuccess;
}

// One row of dots packed 8 to a byte, leftmost dot in the most significant bit, 1 = black, the
// bits past the width 0. Byte i of the row goes to out[i * step]. Returns false when a dot uses a
// palette entry the file does not hold.
class RowPacker {
  public:
    explicit RowPacker(const Bmp& bmp) : bmp_(bmp) {
        if (bmp.bpp == 32 && Small(bmp.red) && Small(bmp.green) && Small(bmp.blue)) {
            // Channels of at most 8 bits: their share of the luminance from a table.
            for (uint32_t v = 0; v <= bmp.red.max; ++v)
                red_[v] = 299 * (v * 255 / bmp.red.max);
            for (uint32_t v = 0; v <= bmp.green.max; ++v)
                green_[v] = 587 * (v * 255 / bmp.green.max);
            for (uint32_t v = 0; v <= bmp.blue.max; ++v)
                blue_[v] = 114 * (v * 255 / bmp.blue.max);
            tables_ = true;
        }
    }

    bool Pack(uint32_t y, uint8_t* out, size_t step) const {
        const uint8_t* row = bmp_.Row(y);
        switch (bmp_.bpp) {
            case 1:
                return Pack1(row, out, step);
            case 4:
                return PackIndexed<4>(row, out, step);
            case 8:
                return PackIndexed<8>(row, out, step);
            case 24:
                PackDots(out, step, [row](uint32_t x) {
                    const uint8_t* p = row + size_t{x} * 3;
                    return IsBlack(p[2], p[1], p[0]);
                });
                return true;
            default:
                if (tables_) {
                    PackDots(out, step, [row, this](uint32_t x) {
                        const uint32_t px = U32(row + size_t{x} * 4);
                        return red_[(px & bmp_.red.mask) >> bmp_.red.shift] +
                                   green_[(px & bmp_.green.mask) >> bmp_.green.shift] +
                                   blue_[(px & bmp_.blue.mask) >> bmp_.blue.shift] <
                               128000;
                    });
                } else {
                    PackDots(out, step, [row, this](uint32_t x) {
                        const uint32_t px = U32(row + size_t{x} * 4);
                        return IsBlack(bmp_.red.Get(px), bmp_.green.Get(px), bmp_.blue.Get(px));
                    });
                }
                return true;
        }
    }

  private:
    static bool Small(const Channel& c) { return c.max <= 255; }

    // 1 bit: the file's row is already packed; the palette says whether a 1 or a 0 is black.
    bool Pack1(const uint8_t* row, uint8_t* out, size_t step) const {
        const uint32_t bytes = (bmp_.width + 7) / 8;
        const auto last = static_cast<uint8_t>(0xFF << (bytes * 8 - bmp_.width));
        const bool zeroBlack = bmp_.palette[0] == 1;
        const bool oneBlack = bmp_.palette[1] == 1;
        const uint8_t flip = zeroBlack ? 0xFF : 0x00;
        if (zeroBlack != oneBlack) {
            for (uint32_t i = 0; i + 1 < bytes; ++i)
                out[i * step] = row[i] ^ flip;
        } else {
            for (uint32_t i = 0; i + 1 < bytes; ++i)
                out[i * step] = flip;
        }
        const uint8_t end = row[bytes - 1] & last;
        out[(bytes - 1) * step] = ((zeroBlack != oneBlack ? end : 0) ^ flip) & last;
        if (bmp_.palette[1] != kNoEntry)
            return true;
        // A palette of one colour: no dot may use index 1.
        uint8_t ones = end;
        for (uint32_t i = 0; i + 1 < bytes; ++i)
            ones |= row[i];
        return ones == 0;
    }

    template <uint32_t kBpp>
    bool PackIndexed(const uint8_t* row, uint8_t* out, size_t step) const {
        uint8_t missing = 0;
        PackDots(out, step, [row, &missing, this](uint32_t x) {
            const uint32_t bit = x * kBpp;
            const uint32_t index = (row[bit / 8] >> (8 - kBpp - bit % 8)) & ((1u << kBpp) - 1);
            const uint8_t entry = bmp_.palette[index];
            missing |= entry;
            return (entry & 1) != 0;
        });
        return (missing & kNoEntry) == 0;
    }

    template <typename Black>
    void PackDots(uint8_t* out, size_t step, Black black) const {
        const uint32_t width = bmp_.width;
        uint32_t x = 0;
        for (; x + 8 <= width; x += 8, out += step) {
            uint32_t byte = 0;
            for (uint32_t i = 0; i < 8; ++i)
                byte = byte << 1 | (black(x + i) ? 1 : 0);
            *out = static_cast<uint8_t>(byte);
        }
        if (x < width) {
            uint32_t byte = 0;
            for (uint32_t i = 0; i < 8; ++i)
                byte = byte << 1 | (x + i < width && black(x + i) ? 1 : 0);
            *out = static_cast<uint8_t>(byte);
        }
    }

    const Bmp& bmp_;
    bool tables_ = false;
    std::array<uint32_t, 256> red_{}, green_{}, blue_{};
};

// Rows packed at a time: one 8-byte store per dot column, and the band (at most 64 x 1023 bytes)
// stays in cache while it is turned into columns.
constexpr uint32_t kBandRows = 64;

// Where row r (0..63) keeps its packed byte xb: each byte column's 64 rows side by side, every
// group of 8 rows reversed, so that the group's top row lands in bit 7 of a movemask byte (and in
// the high byte of a little-endian word), where FS q wants its top dot.
size_t BandAt(uint32_t xb, uint32_t r) {
    return size_t{xb} * kBandRows + (r ^ 7);
}

#ifndef __SSE2__
// Transposes an 8 x 8 bit block: byte i (from the most significant) = row i, its most
// significant bit = column 0; afterwards byte j = column j, its most significant bit = row 0.
uint64_t Transpose8(uint64_t x) {
    uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
    x ^= t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
    x ^= t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
    x ^= t ^ (t << 28);
    return x;
}
#endif

// The 8 dot columns of one byte column of a band: column j's FS q bytes, one per group of 8 rows,
// group 0 in the least significant byte. `cells` = the band's 64 bytes for that byte column.
void BandColumns(const uint8_t* cells, uint64_t (&columns)[8]) {
#ifdef __SSE2__
    // A movemask takes the leftmost dot of 16 rows at once: two reversed groups give two FS q
    // bytes, the upper group in the low byte. Doubling every byte brings up the next dot column.
    const auto* in = reinterpret_cast<const __m128i*>(cells);
    __m128i v0 = _mm_loadu_si128(in), v1 = _mm_loadu_si128(in + 1), v2 = _mm_loadu_si128(in + 2),
            v3 = _mm_loadu_si128(in + 3);
    for (uint64_t& column : columns) {
        column = uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(v0))} |
                 uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(v1))} << 16 |
                 uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(v2))} << 32 |
                 uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(v3))} << 48;
        v0 = _mm_add_epi8(v0, v0);
        v1 = _mm_add_epi8(v1, v1);
        v2 = _mm_add_epi8(v2, v2);
        v3 = _mm_add_epi8(v3, v3);
    }
#else
    for (uint64_t& c : columns)
        c = 0;
    for (int g = 0; g < 8; ++g) {
        uint64_t block = 0;
        for (int r = 7; r >= 0; --r)
            block = block << 8 | cells[8 * g + r];
        block = Transpose8(block);
        for (int j = 0; j < 8; ++j)
            columns[j] |= (block >> (56 - 8 * j) & 0xFF) << (8 * g);
    }
#endif
}

// Writes the checked picture's FS q column data (FsQDataBytes) to `columns`, reading each row
// once: 64 rows at a time are packed to bits, then turned into 8 bytes of each dot column.
// kPosBmpMalformed when a dot uses a palette entry the file does not hold.
int32_t WriteColumns(const Bmp& bmp, uint8_t* columns) {
    const uint32_t xBytes = (bmp.width + 7) / 8;
    const size_t yBytes = (bmp.height + 7) / 8;
    const RowPacker packer(bmp);
    const size_t bandBytes = size_t{kBandRows} * xBytes;
    const auto band = std::make_unique_for_overwrite<uint8_t[]>(bandBytes);
    for (uint32_t top = 0; top < bmp.height; top += kBandRows) {
        const uint32_t rows = std::min(kBandRows, bmp.height - top);
        if (rows < kBandRows)
            std::memset(band.get(), 0, bandBytes);  // the rows below the picture are white
        for (uint32_t r = 0; r < rows; ++r) {
            if (!packer.Pack(top + r, band.get() + BandAt(0, r), kBandRows))
                return kPosBmpMalformed;
        }
        const uint32_t groups = (rows + 7) / 8;
        uint8_t* out = columns + top / 8;
        for (uint32_t xb = 0; xb < xBytes; ++xb) {
            uint64_t words[8];
            BandColumns(band.get() + size_t{xb} * kBandRows, words);
            for (uint32_t j = 0; j < 8; ++j, out += yBytes) {
                if (groups == 8 && std::endian::native == std::endian::little) {
                    std::memcpy(out, &words[j], 8);  // group 0 first
                } else {
                    for (uint32_t g = 0; g < groups; ++g)
                        out[g] = static_cast<uint8_t>(words[j] >> (8 * g));
                }
            }
        }
    }
    return kPosSuccess;
}

// Reads up to kMaxFileBytes of the regular file at `path`.
int32_t ReadFile(const char* path, std::unique_ptr<uint8_t[]>& bytes, size_t& got) {
    if (path == nullptr)
        return kPosInvalidArgument;
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return kPosFileError;
    const size_t want = std::min<size_t>(static_cast<size_t>(st.st_size), kMaxFileBytes);
    bytes = std::make_unique_for_overwrite<uint8_t[]>(want);
    got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd.get(), bytes.get() + got, want - got);
        if (n == 0)
            break;  // shrank while being read: judged on what is there
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return kPosFileError;
        }
        got += static_cast<size_t>(n);
    }
    return kPosSuccess;
}

}  // namespace

int32_t ReadBmp(const uint8_t* data, size_t size, int32_t option, MonoImage& out) {
    Bmp bmp;
    if (int32_t r = CheckHeader(data, size, option, bmp); r != kPosSuccess)
        return r;
    MonoImage image;
    image.width = bmp.width;
    image.height = bmp.height;
    image.columns.resize(FsQDataBytes(bmp.width, bmp.height));
    if (int32_t r = WriteColumns(bmp, image.columns.data()); r != kPosSuccess)
        return r;
    out = std::move(image);
    return kPosSuccess;
}

int32_t ReadBmpFile(const char* path, int32_t option, MonoImage& out) {
    std::unique_ptr<uint8_t[]> bytes;
    size_t got = 0;
    if (int32_t r = ReadFile(path, bytes, got); r != kPosSuccess)
        return r;
    return ReadBmp(bytes.get(), got, option, out);
}

std::string BuildFsQ(const std::vector<MonoImage>& images) {
    size_t total = 3;
    for (const MonoImage& image : images)
        total += 4 + image.columns.size();
    std::string out;
    out.reserve(total);
    out = {'\x1C', 'q', static_cast<char>(images.size())};
    for (const MonoImage& image : images) {
        const uint32_t xBytes = (image.width + 7) / 8;
        const uint32_t yBytes = (image.height + 7) / 8;
        const char size[] = {static_cast<char>(xBytes & 0xFF), static_cast<char>(xBytes >> 8),
                             static_cast<char>(yBytes & 0xFF), static_cast<char>(yBytes >> 8)};
        out.append(size, sizeof size);
        out.append(reinterpret_cast<const char*>(image.columns.data()), image.columns.size());
    }
    return out;
}

int32_t FsQBuilder::AddBmp(const uint8_t* data, size_t size, int32_t option) {
    Bmp bmp;
    if (int32_t r = CheckHeader(data, size, option, bmp); r != kPosSuccess)
        return r;
    if (count_ == 255)
        return kPosInvalidArgument;
    const size_t before = fsq_.size();
    const size_t after = before + 4 + FsQDataBytes(bmp.width, bmp.height);
    if (after > maxBytes_)
        return kPosBmpTooLarge;
    if (after > fsq_.capacity()) {
        // The first image exactly; later ones grow the command geometrically, up to the cap. A
        // fresh string takes the capacity asked for (reserve may double a grown one past it).
        std::string grown;
        grown.reserve(count_ == 0 ? after
                                  : std::max(after, std::min(maxBytes_, 2 * fsq_.capacity())));
        grown.append(fsq_);
        fsq_.swap(grown);
    }
    const uint32_t xBytes = (bmp.width + 7) / 8;
    const uint32_t yBytes = (bmp.height + 7) / 8;
    const char sizes[] = {static_cast<char>(xBytes & 0xFF), static_cast<char>(xBytes >> 8),
                          static_cast<char>(yBytes & 0xFF), static_cast<char>(yBytes >> 8)};
    fsq_.append(sizes, sizeof sizes);
    fsq_.resize(after);
    if (int32_t r = WriteColumns(bmp, reinterpret_cast<uint8_t*>(fsq_.data() + before + 4));
        r != kPosSuccess) {
        fsq_.resize(before);
        return r;
    }
    ++count_;
    return kPosSuccess;
}

int32_t FsQBuilder::AddBmpFile(const char* path, int32_t option) {
    std::unique_ptr<uint8_t[]> bytes;
    size_t got = 0;
    if (int32_t r = ReadFile(path, bytes, got); r != kPosSuccess)
        return r;
    return AddBmp(bytes.get(), got, option);
}

std::string FsQBuilder::Take() {
    fsq_[2] = static_cast<char>(count_);
    std::string out = std::move(fsq_);
    fsq_.assign("\x1C\x71\x00", 3);
    count_ = 0;
    return out;
}

}  // namespace kelvo::posdll
