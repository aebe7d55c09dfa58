#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/Commands.h"

namespace kelvo::posdll {

// The largest picture FS q can store: 1023 bytes (8184 dots) wide, 288 bytes (2304 dots) high.
inline constexpr uint32_t kMaxWidthDots = 1023 * 8;
inline constexpr uint32_t kMaxHeightDots = 288 * 8;

// A download that would pass the largest FS q is refused with kPosBmpTooLarge before anything is
// sent.
using kelvo::kMaxFsQBytes;

// Bytes of FS q column data for a picture of the given size: its width padded to whole bytes,
// times 8 dots each, times its height in bytes.
constexpr size_t FsQDataBytes(uint32_t width, uint32_t height) {
    return size_t{(width + 7) / 8} * 8 * ((height + 7) / 8);
}

// A black-and-white picture held as its FS q column data: for each of the width's dot columns
// padded to a whole byte, from the left, (height + 7) / 8 bytes from the top; one byte = 8 dots,
// most significant bit on top, 1 = black; the padding is white. `columns` holds
// FsQDataBytes(width, height) bytes.
struct MonoImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> columns;

    MonoImage() = default;
    // All white.
    MonoImage(uint32_t w, uint32_t h) : width(w), height(h), columns(FsQDataBytes(w, h), 0) {}

    bool black(uint32_t x, uint32_t y) const {
        return (columns[Byte(x, y)] >> (7 - y % 8) & 1) != 0;
    }
    void set(uint32_t x, uint32_t y, bool black) {
        const auto bit = static_cast<uint8_t>(0x80 >> (y % 8));
        uint8_t& byte = columns[Byte(x, y)];
        byte = static_cast<uint8_t>(black ? byte | bit : byte & ~bit);
    }

  private:
    size_t Byte(uint32_t x, uint32_t y) const { return size_t{x} * ((height + 7) / 8) + y / 8; }
};

// Reads a Windows BMP file held in memory. Supported: BITMAPCOREHEADER and BITMAPINFOHEADER to
// BITMAPV5HEADER; 1-, 4- and 8-bit palette images, 24-bit, and 32-bit with or without bit fields;
// uncompressed; bottom-up or top-down rows. `option` is kPosBmpMonochromeOnly or kPosBmpThreshold.
// Returns kPosSuccess and fills `out`, or a kPosBmp* code (kPosInvalidArgument for an unknown
// option); `out` is then untouched. Never reads outside `data`; anything it cannot prove
// consistent is refused.
int32_t ReadBmp(const uint8_t* data, size_t size, int32_t option, MonoImage& out);

// Reads the file at `path` (kPosFileError when it cannot) and then as ReadBmp.
int32_t ReadBmpFile(const char* path, int32_t option, MonoImage& out);

// FS q n, then per image xL xH yL yH and its dots in column format: x = width in bytes, y =
// height in bytes, each dot column from the top, one byte = 8 dots, most significant bit on top,
// 1 = black. Widths and heights are padded with white to whole bytes. Every image must be within
// the FS q limits and there must be 1..255 of them.
std::string BuildFsQ(const std::vector<MonoImage>& images);

// Builds the same FS q command as ReadBmp and BuildFsQ, straight from BMP files: each file's rows
// go into the command's column data once, with no picture in between. Beyond the file being read
// it holds the command and a band of 64 rows (at most 64 KiB).
class FsQBuilder {
  public:
    explicit FsQBuilder(size_t maxBytes = kMaxFsQBytes) : maxBytes_(maxBytes) {}

    // Reads one BMP as ReadBmp does and adds it as the next image. Returns kPosSuccess, or
    // ReadBmp's code, or kPosBmpTooLarge when the command would pass `maxBytes` (decided on the
    // header, before the dots are read), or kPosInvalidArgument when it holds 255 images; the
    // images added before stay as they were.
    int32_t AddBmp(const uint8_t* data, size_t size, int32_t option);
    // Reads the file at `path` (kPosFileError when it cannot) and then as AddBmp.
    int32_t AddBmpFile(const char* path, int32_t option);

    size_t count() const { return count_; }
    // The FS q command of the images added (at least one); the builder is empty afterwards.
    std::string Take();

  private:
    std::string fsq_ = std::string("\x1C\x71\x00", 3);
    size_t count_ = 0;
    size_t maxBytes_;
};

}  // namespace kelvo::posdll
