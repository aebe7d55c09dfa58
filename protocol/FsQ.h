#pragma once

#include <cstddef>
#include <cstdint>

// What one FS q download may hold: the printer library sends no more, the printer model and the
// decoder read no more.
namespace kelvo {

// The largest picture FS q can store: 1023 bytes (8184 dots) wide, 288 bytes (2304 dots) high.
inline constexpr uint32_t kMaxFsQWidthDots = 1023 * 8;
inline constexpr uint32_t kMaxFsQHeightDots = 288 * 8;

// The largest FS q command one download sends: 8 MiB, all its images together (n, and each
// image's 4 size bytes and dots). Real printers keep 256 KiB to a few MiB of NV images; this is
// three of the largest pictures.
inline constexpr size_t kMaxFsQBytes = size_t{8} << 20;

}  // namespace kelvo
