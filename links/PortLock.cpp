#include "links/PortLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include "links/InOutError.h"
#include "links/PortName.h"

namespace kelvo {

int LockPortExclusive(int fd) noexcept {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

UniqueFd ClaimPort(const std::string& name, dev_t* device) {
    if (name.find('\0') != std::string::npos)
        throw EInOutError(kIoInvalidFilename);
    int raw;
    do {
        raw =
            ::open(ResolvePortName(name).path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0)
        ThrowInOutErrorFromErrno(errno);
    UniqueFd fd(raw);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        ThrowInOutErrorFromErrno(errno);
    if (!S_ISCHR(st.st_mode))
        throw EInOutError(kIoUnknownType);
    if (const int err = LockPortExclusive(fd.get()); err != 0)
        ThrowInOutErrorFromErrno(err);
    if (device != nullptr)
        *device = st.st_rdev;
    return fd;
}

}  // namespace kelvo
