#include "links/SerialBaud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "links/SerialLine.h"

namespace kelvo {

namespace detail {

int SetOtherBaud(int fd, uint32_t rate) {
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    // A zero input speed field means "same as output", so only the output one is set to BOTHER.
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    if (::ioctl(fd, TCSETS2, &t) != 0)
        return errno;
    return 0;
}

}  // namespace detail

int ReadSerialBaud(int fd, uint32_t& rate) {
    rate = 0;
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    // The kernel keeps c_ospeed in step with the Bnnn code as well.
    rate = t.c_ospeed;
    return 0;
}

}  // namespace kelvo
