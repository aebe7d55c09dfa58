#pragma once

#include <string>

#include "links/UniqueFd.h"

namespace kelvo {

// A pseudo-terminal whose both ends this program holds: the master to speak through, and a slave
// of its own, so that the clients who open and close the slave's path never hang it up.
struct PseudoTerminal {
    UniqueFd master;   // non-blocking
    UniqueFd slave;    // non-blocking; its line as a fresh pty has it (cooked, echoing)
    std::string path;  // the slave's: /dev/pts/N
};

// Throws std::system_error.
PseudoTerminal OpenPseudoTerminal();

}  // namespace kelvo
