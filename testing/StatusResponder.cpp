#include "testing/StatusResponder.h"

#include <algorithm>
#include <deque>
#include <utility>

namespace kelvo::testing {

std::string StatusRequestScanner::Answer(std::string_view bytes, const StatusBytes& answers,
                                         std::string_view model) {
    constexpr std::string_view kModelRequest = "\x1D\x49\x43";
    std::string reply;
    for (const char c : bytes) {
        modelAsked_ = c == kModelRequest[modelAsked_] ? modelAsked_ + 1
                      : c == kModelRequest[0]         ? 1
                                                      : 0;
        if (modelAsked_ == kModelRequest.size()) {
            modelAsked_ = 0;
            if (!model.empty())
                reply += "_" + std::string(model) + '\0';
        }
        if (matched_ == 2 && c >= 1 && c <= 4) {
            if (const auto& answer = answers[static_cast<size_t>(c - 1)])
                reply += static_cast<char>(*answer);
            matched_ = 0;
        } else if (matched_ == 1 && c == 0x04) {
            matched_ = 2;
        } else {
            matched_ = c == 0x10 ? 1 : 0;
        }
    }
    return reply;
}

StatusResponder::StatusResponder(Pty& pty, StatusBytes answers,
                                 std::chrono::milliseconds answerDelay,
                                 std::chrono::milliseconds talkEvery)
    : pty_(pty),
      answers_(answers),
      answerDelay_(answerDelay),
      talkEvery_(talkEvery),
      thread_([this] {
          using Clock = std::chrono::steady_clock;
          StatusRequestScanner scanner;
          std::deque<std::pair<Clock::time_point, std::string>> due;
          auto nextTalk =
              talkEvery_.count() > 0 ? Clock::now() + talkEvery_ : Clock::time_point::max();
          while (!stop_) {
              const auto now = Clock::now();
              while (!due.empty() && due.front().first <= now) {
                  pty_.write(due.front().second);
                  due.pop_front();
              }
              if (now >= nextTalk) {
                  pty_.write("\x12");
                  nextTalk += talkEvery_;
              }
              auto wake = std::min(
                  nextTalk, due.empty() ? now + std::chrono::milliseconds(10) : due.front().first);
              wake = std::min(wake, now + std::chrono::milliseconds(10));
              const std::string got =
                  pty_.read(4096, std::chrono::ceil<std::chrono::milliseconds>(wake - now));
              {
                  std::lock_guard lock(mu_);
                  read_ += got;
              }
              if (std::string reply = scanner.Answer(got, answers_); !reply.empty())
                  due.emplace_back(Clock::now() + answerDelay_, std::move(reply));
          }
      }) {}

StatusResponder::~StatusResponder() {
    stop_ = true;
    thread_.join();
}

std::string StatusResponder::bytes() const {
    std::lock_guard lock(mu_);
    return read_;
}

PrinterAtSpeed::PrinterAtSpeed(Pty& pty, speed_t speed, StatusBytes answers)
    : pty_(pty), speed_(speed), answers_(answers), thread_([this] {
          StatusRequestScanner scanner;
          while (!stop_) {
              const std::string got = pty_.read(64, std::chrono::milliseconds(10));
              if (got.empty())
                  continue;
              const termios line = pty_.lineSettings();
              if (::cfgetospeed(&line) != speed_)
                  continue;
              if (const std::string reply = scanner.Answer(got, answers_); !reply.empty())
                  pty_.write(reply);
          }
      }) {}

PrinterAtSpeed::~PrinterAtSpeed() {
    stop_ = true;
    thread_.join();
}

}  // namespace kelvo::testing
