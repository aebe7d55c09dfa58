#pragma once

#include <initializer_list>
#include <ostream>
#include <string>
#include <utility>
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

    // One thing a user does in the window: puts `value` in the control named by its member name
    // (a text, a list entry, an address, "on" or "off" for a check box), or clicks it when
    // `value` is empty.
    struct Step {
        std::string control;
        std::string value;
    };
    // The window's way to the same action: the steps, the button that sends it last. The
    // addresses are set to the peer before these steps, always; a device is the port "COM1".
    // Without steps when the window cannot send these bytes, and `whyNot` says why.
    struct Window {
        Window(std::initializer_list<Step> s) : steps(s) {}
        explicit Window(std::string why) : whyNot(std::move(why)) {}
        std::vector<Step> steps;
        std::string whyNot;
    };
    Window window;
};

const std::vector<ActionBytes>& ActionTable();

inline void PrintTo(const ActionBytes& action, std::ostream* out) {
    *out << action.name;
}

}  // namespace kelvo::testing
