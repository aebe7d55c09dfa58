#include "links/PseudoTerminal.h"

#include <fcntl.h>
#include <stdlib.h>

#include <cerrno>
#include <system_error>

namespace kelvo {

PseudoTerminal OpenPseudoTerminal() {
    auto fail = [](int error, const char* what) {
        throw std::system_error(error, std::generic_category(), what);
    };
    PseudoTerminal pty;
    pty.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!pty.master || ::grantpt(pty.master.get()) != 0 || ::unlockpt(pty.master.get()) != 0)
        fail(errno, "pseudo-terminal");
    char name[128];
    if (const int error = ::ptsname_r(pty.master.get(), name, sizeof name); error != 0)
        fail(error, "ptsname");
    pty.path = name;
    pty.slave.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!pty.slave)
        fail(errno, "open pseudo-terminal slave");
    return pty;
}

}  // namespace kelvo
