#include "testing/NoticeQueue.h"

namespace kelvo::testing {

NoticeQueue::NoticeQueue() : state_(std::make_shared<State>()) {}

std::function<void(NoticeQueue::Notice)> NoticeQueue::poster() const {
    std::weak_ptr<State> weak = state_;
    return [weak](Notice notice) {
        if (auto state = weak.lock()) {
            {
                std::lock_guard lock(state->mutex);
                state->notices.push_back(std::move(notice));
            }
            state->posted.notify_all();
        }
    };
}

size_t NoticeQueue::pump() {
    size_t ran = 0;
    for (;;) {
        Notice next;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->notices.empty())
                return ran;
            next = std::move(state_->notices.front());
            state_->notices.pop_front();
        }
        next();
        ++ran;
    }
}

void NoticeQueue::waitForNotice(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(state_->mutex);
    state_->posted.wait_until(lock, deadline, [&] { return !state_->notices.empty(); });
}

bool NoticeQueue::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pump();
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        waitForNotice(deadline);
    }
}

void NoticeQueue::pumpFor(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        pump();
        if (std::chrono::steady_clock::now() >= deadline)
            return;
        waitForNotice(deadline);
    }
}

size_t NoticeQueue::pending() const {
    std::lock_guard lock(state_->mutex);
    return state_->notices.size();
}

}  // namespace kelvo::testing
