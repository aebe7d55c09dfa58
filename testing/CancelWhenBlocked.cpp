#include "testing/CancelWhenBlocked.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace kelvo::testing {

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool WaitUntilBlocked(pid_t tid, std::chrono::milliseconds timeout) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        long number = -1;
        std::ifstream(path) >> number;
        if (number == SYS_poll || number == SYS_ppoll || number == SYS_write)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

CancelWhenBlocked::CancelWhenBlocked(kelvo::CancelSignal& signal) {
    const pid_t writer = ::gettid();
    thread_ = std::thread([this, writer, &signal] {
        if (!WaitUntilBlocked(writer, std::chrono::seconds(5)))
            return;
        cancelledAt_ = NowNs();
        signal.Cancel();
    });
}

CancelWhenBlocked::~CancelWhenBlocked() {
    thread_.join();
}

std::optional<std::chrono::milliseconds> CancelWhenBlocked::SinceCancel() const {
    const int64_t at = cancelledAt_.load();
    if (at == 0)
        return std::nullopt;
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::nanoseconds(NowNs() - at));
}

}  // namespace kelvo::testing
