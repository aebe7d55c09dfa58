#include "testing/ProcessResources.h"

#include <filesystem>
#include <system_error>
#include <thread>

namespace kelvo::testing {

namespace {

size_t EntriesIn(const char* dir) {
    size_t n = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return n;
}

}  // namespace

Held HeldNow() {
    Held held;
    held.fds = EntriesIn("/proc/self/fd");
    held.threads = EntriesIn("/proc/self/task");
    // The directory listing itself had one descriptor open.
    if (held.fds > 0)
        --held.fds;
    return held;
}

Held WaitUntilHeld(const Held& expected, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Held now = HeldNow();
    while (!(now == expected) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        now = HeldNow();
    }
    return now;
}

}  // namespace kelvo::testing
