#pragma once

#include <cstdint>

// termios2 lives in <asm/termbits.h>, whose struct termios clashes with glibc's <termios.h>: the
// BOTHER calls are kept in a translation unit of their own.
namespace kelvo::detail {

// Sets input and output speed to any rate through TCSETS2 / BOTHER. Returns 0 or the errno.
int SetOtherBaud(int fd, uint32_t rate);

}  // namespace kelvo::detail
