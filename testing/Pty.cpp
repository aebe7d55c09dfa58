#include "testing/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace kelvo::testing {

Pty::Pty() {
    master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_ || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) {
        throw std::runtime_error("pty: " + std::string(std::strerror(errno)));
    }
    char name[128];
    if (::ptsname_r(master_.get(), name, sizeof name) != 0) {
        throw std::runtime_error("ptsname: " + std::string(std::strerror(errno)));
    }
    slave_ = name;
    // Raw on both sides, so the test sees exactly the bytes the code wrote.
    termios t{};
    ::tcgetattr(master_.get(), &t);
    ::cfmakeraw(&t);
    ::tcsetattr(master_.get(), TCSANOW, &t);
    ::fcntl(master_.get(), F_SETFL, ::fcntl(master_.get(), F_GETFL) | O_NONBLOCK);
}

termios Pty::lineSettings() const {
    termios t{};
    if (::tcgetattr(master_.get(), &t) != 0)
        throw std::system_error(errno, std::generic_category(), "tcgetattr");
    return t;
}

void Pty::scramble() {
    termios t = lineSettings();
    t.c_iflag |= ICRNL | INLCR | IXANY | IMAXBEL | INPCK | PARMRK;
    t.c_iflag &= ~(IXON | IXOFF);
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    t.c_cflag &= ~(CLOCAL | CSTOPB);
    t.c_cflag |= CRTSCTS | PARODD | CMSPAR;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 5;
    t.c_cc[VSTART] = 'q';
    t.c_cc[VSTOP] = 's';
    ::cfsetspeed(&t, B300);
    if (::tcsetattr(master_.get(), TCSANOW, &t) != 0)
        throw std::system_error(errno, std::generic_category(), "tcsetattr");
}

std::string Pty::read(size_t n, std::chrono::milliseconds timeout) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            break;
        // Rounded up, so a short time-out still gets its one look.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        pollfd p{master_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buf[4096];
        ssize_t r = ::read(master_.get(), buf, std::min(sizeof buf, n - out.size()));
        if (r > 0) {
            out.append(buf, static_cast<size_t>(r));
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
            if (p.revents & POLLHUP) {
                // No slave open at the moment: keep waiting for the next writer.
                struct timespec ts {
                    0, 5'000'000
                };
                ::nanosleep(&ts, nullptr);
            }
        }
    }
    return out;
}

std::string Pty::drain(std::chrono::milliseconds quiet) {
    std::string out;
    for (;;) {
        std::string more = read(1 << 20, quiet);
        if (more.empty())
            return out;
        out += more;
    }
}

void Pty::write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::write(master_.get(), bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else if (errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("pty write: " + std::string(std::strerror(errno)));
        } else {
            pollfd p{master_.get(), POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
}

bool Pty::holdOutput(bool hold) {
    // The tty layer handles XOFF/XON asynchronously; packet mode reports when it has.
    int on = 1;
    if (::ioctl(master_.get(), TIOCPKT, &on) != 0)
        return false;
    write(hold ? "\x13" : "\x11");
    const char wanted = hold ? TIOCPKT_STOP : TIOCPKT_START;
    bool seen = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!seen && std::chrono::steady_clock::now() < deadline) {
        pollfd p{master_.get(), POLLPRI, 0};
        if (::poll(&p, 1, 100) <= 0 || (p.revents & POLLPRI) == 0)
            continue;
        char status = 0;
        seen = ::read(master_.get(), &status, 1) == 1 && (status & wanted) != 0;
    }
    int off = 0;
    ::ioctl(master_.get(), TIOCPKT, &off);
    return seen;
}

SlowReader::SlowReader(Pty& pty, size_t bytesPerSecond)
    : pty_(pty), rate_(bytesPerSecond), thread_([this] { run(); }) {}

SlowReader::~SlowReader() {
    stop_ = true;
    thread_.join();
}

void SlowReader::run() {
    // Every 10 ms a hundredth of a second's worth: an even flow, as a UART gives.
    constexpr auto kStep = std::chrono::milliseconds(10);
    auto next = std::chrono::steady_clock::now();
    while (!stop_) {
        const size_t rate = rate_;
        const size_t chunk = rate == 0 ? 65536 : std::max<size_t>(1, rate / 100);
        std::string got = pty_.read(chunk, rate == 0 ? kStep : std::chrono::milliseconds(1));
        if (!got.empty()) {
            std::lock_guard lock(mu_);
            read_ += got;
        }
        if (rate != 0) {
            next += kStep;
            std::this_thread::sleep_until(next);
            next = std::max(next, std::chrono::steady_clock::now() - kStep);
        }
    }
}

size_t SlowReader::count() const {
    std::lock_guard lock(mu_);
    return read_.size();
}

std::string SlowReader::bytes() const {
    std::lock_guard lock(mu_);
    return read_;
}

bool SlowReader::waitFor(size_t n, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (count() < n) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

PortOverride::PortOverride(const std::string& portName, const std::string& path)
    : var_("KELVOTOOL_" + portName) {
    ::setenv(var_.c_str(), path.c_str(), 1);
}

PortOverride::~PortOverride() {
    ::unsetenv(var_.c_str());
}

}  // namespace kelvo::testing
