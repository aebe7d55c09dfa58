#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "testing/Pty.h"

namespace kelvo::testing {

// The byte a printer answers to DLE EOT 1..4; empty: it stays silent.
using StatusBytes = std::array<std::optional<uint8_t>, 4>;

// Finds DLE EOT n, and GS I 67 (the model name), in bytes that arrive in pieces and says what a
// printer sends back: "_" `model` NUL to GS I 67 when it has a model name.
class StatusRequestScanner {
  public:
    std::string Answer(std::string_view bytes, const StatusBytes& answers,
                       std::string_view model = {});

  private:
    int matched_ = 0;        // how much of 10 04 the last bytes were
    size_t modelAsked_ = 0;  // and of 1D 49 43
};

// A printer at the master end of a pty that answers status requests, in a thread of its own,
// keeping every byte it read. It may answer `answerDelay` after a request, and talk unasked: the
// byte 0x12 every `talkEvery` (0: never).
class StatusResponder {
  public:
    StatusResponder(Pty& pty, StatusBytes answers,
                    std::chrono::milliseconds answerDelay = std::chrono::milliseconds(0),
                    std::chrono::milliseconds talkEvery = std::chrono::milliseconds(0));
    ~StatusResponder();
    StatusResponder(const StatusResponder&) = delete;
    StatusResponder& operator=(const StatusResponder&) = delete;

    std::string bytes() const;

  private:
    Pty& pty_;
    const StatusBytes answers_;
    const std::chrono::milliseconds answerDelay_;
    const std::chrono::milliseconds talkEvery_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mu_;
    std::string read_;
    std::thread thread_;
};

// A serial printer set to one speed: it answers DLE EOT n with `answers` only while the line (its
// own end's settings, which are the port's) runs at `speed`; at any other a request is noise to
// it and goes unanswered.
class PrinterAtSpeed {
  public:
    PrinterAtSpeed(Pty& pty, speed_t speed, StatusBytes answers = {0x12, 0x12, 0x12, 0x12});
    ~PrinterAtSpeed();
    PrinterAtSpeed(const PrinterAtSpeed&) = delete;
    PrinterAtSpeed& operator=(const PrinterAtSpeed&) = delete;

  private:
    Pty& pty_;
    const speed_t speed_;
    const StatusBytes answers_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kelvo::testing
