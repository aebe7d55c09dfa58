#pragma once

#include <unistd.h>

#include <utility>

namespace kelvo {

// Owns one file descriptor; closes it exactly once.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    int release() noexcept { return std::exchange(fd_, -1); }
    // Returns close()'s result for the old descriptor (0 when there was none).
    int reset(int fd = -1) noexcept {
        int old = std::exchange(fd_, fd);
        return old >= 0 ? ::close(old) : 0;
    }

  private:
    int fd_ = -1;
};

}  // namespace kelvo
