#include "links/PortLock.h"

#include <sys/file.h>

#include <cerrno>

namespace kelvo {

int LockPortExclusive(int fd) noexcept {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

}  // namespace kelvo
