#pragma once

#include <QTimer>

#include <algorithm>
#include <chrono>

namespace kelvo::testing {

// Ticks every 20 ms on the thread that made it and keeps the longest gap between two ticks: a
// window that stops painting shows as a long gap.
class EventLoopWatch {
  public:
    using Clock = std::chrono::steady_clock;

    EventLoopWatch() : last_(Clock::now()) {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            longest_ = std::max(longest_, now - last_);
            last_ = now;
        });
        timer_.start(20);
    }

    // The longest gap so far, the one still open included.
    std::chrono::milliseconds Longest() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(longest_, Clock::now() - last_));
    }

  private:
    QTimer timer_;
    Clock::time_point last_;
    Clock::duration longest_{};
};

}  // namespace kelvo::testing
