#pragma once

#include <sys/types.h>

#include <string>

#include "links/UniqueFd.h"

namespace kelvo {

// Takes the exclusive advisory lock that every part of this program (and the serial driver of any
// other copy of it) uses to claim a port. TIOCEXCL does not stop root; flock does.
// Returns 0 on success, otherwise the errno (EWOULDBLOCK when someone else holds the port).
int LockPortExclusive(int fd) noexcept;

// Opens the terminal or printer port `name` (a port name or a path) read-write and non-blocking,
// and claims it. Throws EInOutError: the port's own error, kIoUnknownType for anything but a
// character device. `device` receives its device number.
UniqueFd ClaimPort(const std::string& name, dev_t* device = nullptr);

}  // namespace kelvo
