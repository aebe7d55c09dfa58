#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvo::posdll {

// A black-and-white picture, one byte per dot (1 = black), rows from the top.
struct MonoImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> dots;
    bool black(uint32_t x, uint32_t y) const { return dots[size_t{y} * width + x] != 0; }
};

// The largest picture FS q can store: 1023 bytes (8184 dots) wide, 288 bytes (2304 dots) high.
inline constexpr uint32_t kMaxWidthDots = 1023 * 8;
inline constexpr uint32_t kMaxHeightDots = 288 * 8;

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

}  // namespace kelvo::posdll
