#include "testing/StatusResponder.h"

namespace kelvo::testing {

std::string StatusRequestScanner::Answer(std::string_view bytes, const StatusBytes& answers) {
    std::string reply;
    for (const char c : bytes) {
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

StatusResponder::StatusResponder(Pty& pty, StatusBytes answers)
    : pty_(pty), answers_(answers), thread_([this] {
          StatusRequestScanner scanner;
          while (!stop_) {
              const std::string got = pty_.read(4096, std::chrono::milliseconds(10));
              {
                  std::lock_guard lock(mu_);
                  read_ += got;
              }
              pty_.write(scanner.Answer(got, answers_));
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

}  // namespace kelvo::testing
