#pragma once

namespace kelvo {

// Takes the exclusive advisory lock that every part of this program (and the serial driver of any
// other copy of it) uses to claim a port. TIOCEXCL does not stop root; flock does.
// Returns 0 on success, otherwise the errno (EWOULDBLOCK when someone else holds the port).
int LockPortExclusive(int fd) noexcept;

}  // namespace kelvo
