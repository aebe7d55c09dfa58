#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "jobs/Jobs.h"

namespace kelvo::testing {

// One action as each face does it, and the bytes a printer must receive for it: the table that
// the jobs' suite and the command line's suite both check against.
struct ActionBytes {
    enum class Peer { Network, Device };

    std::string name;
    // The action through jobs/ with the values the window's controls start with.
    kelvo::jobs::Job (*compose)();
    // Exactly what reaches the printer, line ends included.
    std::string wire;
    // Where the window sends it from: the network link, or a port opened by name.
    Peer peer;
    // The command line's words for the same action; the printer option follows them.
    std::vector<std::string> args;
};

const std::vector<ActionBytes>& ActionTable();

inline void PrintTo(const ActionBytes& action, std::ostream* out) {
    *out << action.name;
}

}  // namespace kelvo::testing
