#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "links/EventFd.h"
#include "links/UniqueFd.h"
#include "testing/StatusResponder.h"

namespace kelvo::testing {

// A network printer on a loopback address that behaves as real ones do: it takes a job only as
// fast as it prints (a chunk, then a pause, with a small receive window), talks unasked while it
// works, answers status requests late, and may stop reading altogether. One connection at a time,
// in a thread of its own.
class PacedPrinter {
  public:
    struct Options {
        size_t chunk = 4096;                   // bytes taken per read
        std::chrono::milliseconds pause{100};  // after each read
        // One unasked status byte this long after the connection is accepted, if set.
        std::optional<std::chrono::milliseconds> talkAt;
        // And one every this long from the start (0: never).
        std::chrono::milliseconds talkEvery{0};
        uint8_t talkByte = 0x12;
        // Reads nothing more once this many bytes of the connection are read.
        size_t stopReadingAfter = std::numeric_limits<size_t>::max();
        StatusBytes answers{};                     // to DLE EOT 1..4
        std::chrono::milliseconds answerDelay{0};  // after the request was read
    };

    struct End {
        bool reset = false;  // the connection ended with a reset, not a close
        size_t read = 0;     // bytes the printer read of it
        size_t unread = 0;   // bytes the kernel had taken for it that it never read
    };

    PacedPrinter(const std::string& host, uint16_t port, Options options);
    ~PacedPrinter();
    PacedPrinter(const PacedPrinter&) = delete;
    PacedPrinter& operator=(const PacedPrinter&) = delete;

    // Every byte read, all connections in order.
    std::string bytes() const;
    // Waits until a connection has ended (the client closed or reset it); nullopt on time-out.
    std::optional<End> waitForEnd(std::chrono::milliseconds timeout);
    // Waits until `n` bytes have been read in all.
    bool waitForBytes(size_t n, std::chrono::milliseconds timeout);
    // When the last byte was read.
    std::chrono::steady_clock::time_point LastRead() const;

  private:
    void run();
    void serve(UniqueFd conn);
    size_t Drain(int fd, std::vector<char>& buffer);

    const Options options_;
    UniqueFd listen_;
    kelvo::EventFd stop_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::string read_;
    std::chrono::steady_clock::time_point lastRead_{};
    std::optional<End> end_;
    bool stopped_ = false;  // the serving thread's own
    std::thread thread_;
};

}  // namespace kelvo::testing
