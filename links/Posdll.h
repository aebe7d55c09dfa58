#pragma once

// The printer library's C interface: its calls, their results and options. The library (posdll/)
// defines these; the tool binds them at run time (links/PosdllFuncs.h), and other programs may link
// them. It lives here, below both, so that the binding never reaches up into the library.

#include <cstdint>

namespace kelvo {
struct TransferMonitor;  // links/Transfer.h
}

// Exported by the shared library, whatever visibility the rest of it is built with.
#define KELVO_POSDLL_API __attribute__((visibility("default")))

// Results and arguments are 32-bit signed integers; texts are NUL-terminated 8-bit strings.
extern "C" {
// name; baud rate; data bits; stop-bit code; parity code; mode (serial flow code 0..2, 20 driver,
// 21 network). Returns the port handle (> 0) or -1.
KELVO_POSDLL_API int32_t POS_Open(const char* name, int32_t baudRate, int32_t dataBits,
                                  int32_t stopBits, int32_t parity, int32_t mode);
// Returns 1001 once the printer has taken everything sent; 1005 when it stopped taking bytes for
// the stall limit, 1002 when the connection died first or the action was cancelled (the rest is
// dropped); 1003 when no port is open. The port is closed in every case.
KELVO_POSDLL_API int32_t POS_Close();
KELVO_POSDLL_API int32_t POS_WriteFile(int32_t handle, const char* data, int32_t count);
// Returns 1001 on success.
KELVO_POSDLL_API int32_t POS_SetMotionUnit(int32_t horizontal, int32_t vertical);
// paths: `count` bitmap file paths (further entries are not read); option: how bitmaps are
// turned into black and white. All of them go out as one FS q command of at most 8 MiB.
KELVO_POSDLL_API int32_t POS_PreDownloadBmpsToFlash(const char* const* paths, int32_t option,
                                                    int32_t count);
// This library's extension: installs a copy of `monitor` for the calling thread's later calls,
// so they obey its stall limit and cancel signal and report progress; nullptr removes it.
// Returns 1001.
KELVO_POSDLL_API int32_t KELVO_SetTransferMonitor(const kelvo::TransferMonitor* monitor);
}

namespace kelvo {

using PosOpenFn = decltype(&POS_Open);
using PosCloseFn = decltype(&POS_Close);
using PosWriteFileFn = decltype(&POS_WriteFile);
using PosSetMotionUnitFn = decltype(&POS_SetMotionUnit);
using PosPreDownloadBmpsToFlashFn = decltype(&POS_PreDownloadBmpsToFlash);
using PosSetTransferMonitorFn = decltype(&KELVO_SetTransferMonitor);

// Results of the library's calls other than POS_Open (which returns a handle or -1).
inline constexpr int32_t kPosSuccess = 1001;
// The port did not take the bytes: write error, connection or device gone, job refused.
inline constexpr int32_t kPosFailed = 1002;
// No port is open, or the handle is not the open port's.
inline constexpr int32_t kPosNoPort = 1003;
// A null pointer where bytes or paths are needed, a negative count, a motion unit outside 0..255,
// an unknown bitmap option, an image count outside 1..255.
inline constexpr int32_t kPosInvalidArgument = 1004;
// The port took no byte for kPosStallSeconds (flow control held, printer not reading).
inline constexpr int32_t kPosTimeout = 1005;
// A bitmap file is missing or cannot be read.
inline constexpr int32_t kPosFileError = 1006;
// A bitmap file is not a BMP, is cut short, or its header contradicts itself.
inline constexpr int32_t kPosBmpMalformed = 1007;
// A BMP kind the library does not read: compressed (RLE, JPEG, PNG), 16 bits per pixel, an OS/2
// 2.x header; or not 1 bit per pixel with option 1.
inline constexpr int32_t kPosBmpUnsupported = 1008;
// A bitmap wider than 8184 dots or taller than 2304 dots: more than FS q can describe; or the
// bitmaps of one POS_PreDownloadBmpsToFlash together would make an FS q command over 8 MiB
// (kMaxFsQBytes in protocol/FsQ.h; far above any printer's NV memory, three of the largest
// pictures fit).
inline constexpr int32_t kPosBmpTooLarge = 1009;

inline constexpr int kPosStallSeconds = 10;

// POS_Open modes besides the serial flow codes: the port is a print queue, or a network address.
inline constexpr int32_t kPosModeDriver = 20;
inline constexpr int32_t kPosModeNetwork = 21;

// POS_PreDownloadBmpsToFlash options. A pixel is black when its luminance
// 0.299 R + 0.587 G + 0.114 B is below 128 (of 255); for a 1-bit image that decides per palette
// colour, so either palette order works.
inline constexpr int32_t kPosBmpMonochromeOnly = 1;  // 1-bit images only
inline constexpr int32_t kPosBmpThreshold = 2;       // 1-, 4-, 8-, 24- and 32-bit images

}  // namespace kelvo
