#pragma once

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "links/UniqueFd.h"

namespace kelvo::testing {

// Every byte of a file; "" when it cannot be read.
inline std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Creates or truncates the file with exactly `bytes`; throws when it cannot.
inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

// Waits until `path` is there, made or renamed into place, woken by its folder's changes; false
// when the folder stays unchanged for `limitMs`.
inline bool WaitForFile(const std::filesystem::path& path, int limitMs = 60000) {
    const kelvo::UniqueFd watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    ::inotify_add_watch(watch.get(), path.parent_path().c_str(), IN_CREATE | IN_MOVED_TO);
    pollfd changed{watch.get(), POLLIN, 0};
    for (char events[4096]; !std::filesystem::exists(path);) {
        if (::poll(&changed, 1, limitMs) <= 0)
            return false;
        while (::read(watch.get(), events, sizeof events) > 0) {
        }
    }
    return true;
}

}  // namespace kelvo::testing
