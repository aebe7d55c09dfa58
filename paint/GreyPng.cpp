#include "paint/GreyPng.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// A code as deflate's stream holds it: its bits from the low end on.
struct Code {
    uint32_t bits = 0;
    int length = 0;
};

uint32_t Reversed(uint32_t value, int length) {
    uint32_t reversed = 0;
    for (int i = 0; i < length; ++i)
        reversed |= ((value >> i) & 1) << (length - 1 - i);
    return reversed;
}

// Deflate's fixed codes (RFC 1951, 3.2.6): no table of codes to make and send, which for a
// receipt's few kinds of bytes would save little.
struct FixedCodes {
    Code literal[257];  // a byte, and 256: the block's end
    Code length[259];   // a match's length (3 to 258): its symbol and extra bits
    FixedCodes() {
        const auto symbol = [](int s) {
            const int length = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
            const int first = s < 144 ? 0x30 : s < 256 ? 0x190 - 144 : s < 280 ? -256 : 0xC0 - 280;
            return Code{Reversed(static_cast<uint32_t>(first + s), length), length};
        };
        for (int s = 0; s <= 256; ++s)
            literal[s] = symbol(s);
        static constexpr uint16_t kBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                               15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                               67, 83, 99, 115, 131, 163, 195, 227, 258};
        for (int c = 0; c < 29; ++c) {
            const int extra = c < 8 || c == 28 ? 0 : c / 4 - 1;
            const Code code = symbol(257 + c);
            for (int n = kBase[c]; n < kBase[c] + (1 << extra) && n <= 258; ++n)
                length[n] = {code.bits | static_cast<uint32_t>(n - kBase[c]) << code.length,
                             code.length + extra};
        }
    }
};

// A distance of 1 to 32768: its 5-bit code and extra bits.
Code DistanceCode(uint32_t distance) {
    const uint32_t d = distance - 1;
    if (d < 4)
        return {Reversed(d, 5), 5};
    const int top = 31 - __builtin_clz(d);
    const uint32_t code = 2 * static_cast<uint32_t>(top) + ((d >> (top - 1)) & 1);
    const uint32_t base = ((2 + (code & 1)) << (code / 2 - 1)) + 1;
    return {Reversed(code, 5) | (distance - base) << 5, 5 + static_cast<int>(code / 2 - 1)};
}

class BitWriter {
  public:
    explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
    void Put(Code code) {
        held_ |= uint64_t{code.bits} << count_;
        count_ += code.length;
        if (count_ >= 32) {
            const uint8_t word[4] = {uint8_t(held_), uint8_t(held_ >> 8), uint8_t(held_ >> 16),
                                     uint8_t(held_ >> 24)};
            out_.insert(out_.end(), word, word + 4);
            held_ >>= 32;
            count_ -= 32;
        }
    }
    void Flush() {
        for (; count_ > 0; count_ -= 8, held_ >>= 8)
            out_.push_back(uint8_t(held_));
        count_ = 0;
    }

  private:
    std::vector<uint8_t>& out_;
    uint64_t held_ = 0;
    int count_ = 0;
};

size_t MatchLength(const uint8_t* a, const uint8_t* b, size_t most) {
    size_t n = 0;
    for (; n + 8 <= most; n += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        if (x != y)
            return n + static_cast<size_t>(__builtin_ctzll(x ^ y) >> 3);
    }
    while (n < most && a[n] == b[n])
        ++n;
    return n;
}

uint32_t Hash(const uint8_t* at) {
    constexpr int kHashBits = 14;
    uint32_t four;
    std::memcpy(&four, at, 4);
    return (four * 2654435761u) >> (32 - kHashBits);
}

// How far the bytes from `at` repeat those a row above, whole rows compared at once.
size_t LengthAsAbove(const uint8_t* d, size_t at, size_t size, size_t stride) {
    const size_t rowEnd = std::min(size, (at / stride + 1) * stride);
    size_t n = MatchLength(d + at, d + at - stride, rowEnd - at);
    if (at + n < rowEnd)
        return n;
    while (at + n + stride <= size && std::memcmp(d + at + n, d + at + n - stride, stride) == 0)
        n += stride;
    return n + MatchLength(d + at + n, d + at + n - stride, std::min(stride, size - at - n));
}

// One fixed-code block, greedy: at each byte the longer match of two, the last place its next
// four bytes were seen (a run, a character met again) and the row above, which a blank or
// repeated row copies at once however long.
void Deflate(const uint8_t* d, size_t size, size_t stride, std::vector<int64_t>& seen,
             std::vector<uint8_t>& out) {
    static const FixedCodes codes;
    constexpr size_t kWindow = 32768, kLongest = 258;
    BitWriter bits(out);
    bits.Put({0b011, 3});  // the last block, fixed codes
    seen.assign(size_t{1} << 14, -1);
    const bool above = stride <= kWindow;
    const Code up = above ? DistanceCode(static_cast<uint32_t>(stride)) : Code{};
    for (size_t i = 0; i < size;) {
        size_t best = 0, distance = stride;
        if (above && i >= stride) {
            best = LengthAsAbove(d, i, size, stride);
            if (best > kLongest) {
                for (size_t left = best; left > 0;) {
                    // No piece under 3 bytes at the end.
                    const size_t n = left > kLongest + 2 ? kLongest
                                     : left > kLongest   ? left - 3
                                                         : left;
                    bits.Put(codes.length[n]);
                    bits.Put(up);
                    left -= n;
                }
                i += best;
                if (i + 3 <= size)
                    seen[Hash(d + i - 1)] = static_cast<int64_t>(i - 1);
                continue;
            }
        }
        if (i + 4 <= size) {
            int64_t& last = seen[Hash(d + i)];
            if (best < kLongest && last >= 0 && i - static_cast<size_t>(last) <= kWindow) {
                const size_t length = MatchLength(d + i, d + last, std::min(kLongest, size - i));
                if (length > best) {
                    best = length;
                    distance = i - static_cast<size_t>(last);
                }
            }
            last = static_cast<int64_t>(i);
        }
        if (best < 3) {
            bits.Put(codes.literal[d[i++]]);
            continue;
        }
        bits.Put(codes.length[best]);
        bits.Put(distance == stride ? up : DistanceCode(static_cast<uint32_t>(distance)));
        i += best;
        if (i + 3 <= size)
            seen[Hash(d + i - 1)] = static_cast<int64_t>(i - 1);
    }
    bits.Put(codes.literal[256]);
    bits.Flush();
}

// Adler-32 in 32 lanes, each with its bytes' sum and the sum of its running sums, which a
// compiler can keep in vector registers: zlib's takes longer than the compressing above.
uint32_t Adler32(const uint8_t* p, size_t n) {
    constexpr uint64_t kMod = 65521;
    constexpr size_t kLanes = 32, kRounds = 1024;  // the sums stay within 32 bits
    uint64_t a = 1, b = 0;
    while (n >= kLanes) {
        const size_t rounds = std::min(n / kLanes, kRounds);
        uint32_t sum[kLanes] = {}, sums[kLanes] = {};
        for (size_t r = 0; r < rounds; ++r, p += kLanes) {
            for (size_t k = 0; k < kLanes; ++k) {
                sum[k] += p[k];
                sums[k] += sum[k];
            }
        }
        uint64_t all = 0, running = 0, weighted = 0;
        for (size_t k = 0; k < kLanes; ++k) {
            all += sum[k];
            running += sums[k];
            weighted += k * sum[k];
        }
        b = (b + rounds * kLanes * a + kLanes * running - weighted) % kMod;
        a = (a + all) % kMod;
        n -= rounds * kLanes;
    }
    for (; n > 0; --n) {
        a += *p++;
        b += a;
    }
    return static_cast<uint32_t>((b % kMod) << 16 | (a % kMod));
}

void Big(uint8_t* at, uint32_t value) {
    const uint8_t bytes[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8),
                              uint8_t(value)};
    std::memcpy(at, bytes, 4);
}

void PutBig(QByteArray& out, uint32_t value) {
    uint8_t bytes[4];
    Big(bytes, value);
    out.append(reinterpret_cast<const char*>(bytes), 4);
}

void PutChunk(QByteArray& out, const char* type, const uint8_t* data, size_t size) {
    PutBig(out, static_cast<uint32_t>(size));
    const qsizetype start = out.size();
    out.append(type, 4);
    if (size > 0)
        out.append(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    PutBig(out,
           static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(out.constData() + start),
                                       static_cast<uInt>(out.size() - start))));
}

}  // namespace

namespace kelvo::paint {

QByteArray GreyPngWriter::Write(const QImage& image) {
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    if (grey.isNull())
        return {};
    const auto width = static_cast<size_t>(grey.width()), stride = width + 1;
    // Each row after its filter byte, 0: no filter, which would only hide the runs.
    const size_t size = stride * static_cast<size_t>(grey.height());
    rows_.resize(size);
    for (int y = 0; y < grey.height(); ++y) {
        uint8_t* row = rows_.data() + stride * static_cast<size_t>(y);
        row[0] = 0;
        std::memcpy(row + 1, grey.constScanLine(y), width);
    }
    stream_.assign({0x78, 0x01});  // deflate, a 32 KiB window
    Deflate(rows_.data(), size, stride, seen_, stream_);
    const uint32_t sum = Adler32(rows_.data(), size);
    stream_.insert(stream_.end(),
                   {uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum)});
    uint8_t header[13] = {0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0};  // 8-bit grey, no interlace
    Big(header, static_cast<uint32_t>(grey.width()));
    Big(header + 4, static_cast<uint32_t>(grey.height()));
    uint8_t density[9] = {0, 0, 0, 0, 0, 0, 0, 0, 1};  // dots per metre, as Qt's writer keeps them
    Big(density, static_cast<uint32_t>(grey.dotsPerMeterX()));
    Big(density + 4, static_cast<uint32_t>(grey.dotsPerMeterY()));
    QByteArray png("\x89PNG\r\n\x1A\n", 8);
    png.reserve(static_cast<qsizetype>(stream_.size()) + 80);
    PutChunk(png, "IHDR", header, sizeof header);
    if (grey.dotsPerMeterX() > 0 && grey.dotsPerMeterY() > 0)
        PutChunk(png, "pHYs", density, sizeof density);
    PutChunk(png, "IDAT", stream_.data(), stream_.size());
    PutChunk(png, "IEND", nullptr, 0);
    return png;
}

}  // namespace kelvo::paint
