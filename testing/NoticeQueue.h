#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace kelvo::testing {

// Stands in for the window's event loop as the serial component's owner thread: notices are
// posted from any thread and run, in posting order, only when the test pumps.
class NoticeQueue {
  public:
    using Notice = std::function<void()>;

    NoticeQueue();

    // The poster to hand to the component. It may outlive the queue (posting then does nothing).
    std::function<void(Notice)> poster() const;

    // Runs the notices queued so far, and any they queue, on the calling thread; returns how many.
    size_t pump();
    // Pumps until `done()` holds or the time-out passed; returns done().
    bool pumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    // Pumps for the whole duration (to show that nothing more arrives).
    void pumpFor(std::chrono::milliseconds duration);
    // Notices posted and not yet run.
    size_t pending() const;

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable posted;
        std::deque<Notice> notices;
    };
    // Waits until a notice is queued or the deadline passes.
    void waitForNotice(std::chrono::steady_clock::time_point deadline);

    std::shared_ptr<State> state_;
};

}  // namespace kelvo::testing
