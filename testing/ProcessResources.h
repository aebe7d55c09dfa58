#pragma once

#include <chrono>
#include <cstddef>
#include <ostream>

namespace kelvo::testing {

// What this process holds of the kernel's: open descriptors (/proc/self/fd) and threads
// (/proc/self/task).
struct Held {
    size_t fds = 0;
    size_t threads = 0;
    bool operator==(const Held&) const = default;
};

Held HeldNow();

// Waits until the process holds exactly `expected`, or the time-out passed; returns what it holds
// by then. A joined thread can stay listed in /proc for a moment, and a peer thread of the test
// closes its end of a connection a little after ours.
Held WaitUntilHeld(const Held& expected,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

inline std::ostream& operator<<(std::ostream& out, const Held& held) {
    return out << held.fds << " descriptors, " << held.threads << " threads";
}

}  // namespace kelvo::testing
