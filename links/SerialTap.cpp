#include "links/SerialTap.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "links/EventFd.h"
#include "links/PortLock.h"
#include "links/PseudoTerminal.h"
#include "links/UniqueFd.h"

namespace kelvo {

namespace {

// What the tap holds for a side that does not take it, at most; then it stops reading the other.
constexpr size_t kHeld = 64 * 1024;

[[noreturn]] void Fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

bool Again(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

struct SerialTap::Impl {
    Impl(SerialTapOptions o, std::function<void(const TapEvent&)> obs);
    ~Impl() {
        stop.Signal();
        if (thread.joinable())
            thread.join();
        std::error_code ignored;
        if (!options.link.empty() &&
            std::filesystem::read_symlink(options.link, ignored) == pos.path)
            std::filesystem::remove(options.link, ignored);
    }
    void Run();
    void Tell(TapEvent event) {
        event.session = 1;
        event.at = std::chrono::system_clock::now();
        observer(event);
    }

    SerialTapOptions options;
    std::function<void(const TapEvent&)> observer;
    UniqueFd port;
    PseudoTerminal pos;  // its slave held, so that the POS's closes never hang it up
    EventFd stop;
    EventFd ended;
    std::thread thread;
};

SerialTap::Impl::Impl(SerialTapOptions o, std::function<void(const TapEvent&)> obs)
    : options(std::move(o)),
      observer(std::move(obs)),
      port(ClaimPort(options.port)),
      pos(OpenPseudoTerminal()) {
    SerialLineSettings& line = options.line;
    if (line.baudRate == 0) {
        if (const int error = ReadSerialBaud(port.get(), line.baudRate); error != 0)
            Fail(error, "cannot read the speed of " + options.port);
    }
    if (const int error = ApplySerialLine(port.get(), line); error != 0)
        Fail(error, "cannot set the line of " + options.port);

    // Raw from the start: a fresh pty echoes, and would hand the printer's answers back to it.
    SerialLineSettings posLine;
    posLine.baudRate = line.baudRate;
    if (const int error = ApplySerialLine(pos.slave.get(), posLine); error != 0)
        Fail(error, "cannot set the line of " + pos.path);

    if (!options.link.empty()) {
        // A link left by an earlier tap is taken over; anything else at that path is not ours.
        struct stat st {};
        if (::lstat(options.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            ::unlink(options.link.c_str());
        if (::symlink(pos.path.c_str(), options.link.c_str()) != 0)
            Fail(errno, "link " + options.link);
    }
}

void SerialTap::Impl::Run() {
    Tell({TapEvent::Kind::Opened,
          1,
          {},
          {},
          (options.link.empty() ? pos.path : options.link + " (" + pos.path + ")") + " -> " +
              options.port + " at " + std::to_string(options.line.baudRate) + " baud",
          true});
    struct Flow {
        int from, to;
        bool fromPos;
        std::string held;  // read from `from`, not yet taken by `to`
    };
    Flow flows[2] = {{pos.master.get(), port.get(), true, {}},
                     {port.get(), pos.master.get(), false, {}}};
    auto fail = [&](int error) {
        Tell({TapEvent::Kind::Reset,
              1,
              {},
              {},
              "its port failed: " + std::string(std::strerror(error)),
              false});
        // The POS's port hangs up as the printer's did.
        pos.slave.reset();
        pos.master.reset();
        ended.Signal();
    };
    char buffer[16 * 1024];
    for (;;) {
        pollfd fds[3] = {{stop.fd(), POLLIN, 0}, {pos.master.get(), 0, 0}, {port.get(), 0, 0}};
        for (Flow& f : flows) {
            if (f.held.size() < kHeld)
                fds[f.fromPos ? 1 : 2].events |= POLLIN;
            if (!f.held.empty())
                fds[f.fromPos ? 2 : 1].events |= POLLOUT;
        }
        if (::poll(fds, 3, -1) < 0 && errno != EINTR)
            return fail(errno);
        if (fds[0].revents != 0)
            return;
        if ((fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
            (fds[2].revents & POLLIN) == 0)
            return fail(EIO);
        for (Flow& f : flows) {
            if (f.held.size() >= kHeld || (fds[f.fromPos ? 1 : 2].revents & POLLIN) == 0)
                continue;
            const ssize_t n = ::read(f.from, buffer, sizeof buffer);
            if (n > 0) {
                Tell({f.fromPos ? TapEvent::Kind::ToPrinter : TapEvent::Kind::ToPos,
                      1,
                      {},
                      std::string(buffer, static_cast<size_t>(n)),
                      {},
                      f.fromPos});
                f.held.append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || !Again(errno)) {
                // A tty reads 0 only when it has hung up; our own slave rules that out for the pty.
                return fail(n == 0 ? EIO : errno);
            }
        }
        for (Flow& f : flows) {
            while (!f.held.empty()) {
                const ssize_t n = ::write(f.to, f.held.data(), f.held.size());
                if (n > 0)
                    f.held.erase(0, static_cast<size_t>(n));
                else if (n < 0 && errno == EINTR)
                    continue;
                else if (n < 0 && Again(errno))
                    break;
                else
                    return fail(n < 0 ? errno : EIO);
            }
        }
    }
}

SerialTap::SerialTap(SerialTapOptions options, std::function<void(const TapEvent&)> observer)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(observer))) {}

SerialTap::~SerialTap() = default;

void SerialTap::Start() {
    if (!impl_->thread.joinable())
        impl_->thread = std::thread([this] { impl_->Run(); });
}

std::string SerialTap::PosPath() const {
    return impl_->options.link.empty() ? impl_->pos.path : impl_->options.link;
}

uint32_t SerialTap::Baud() const {
    return impl_->options.line.baudRate;
}

int SerialTap::EndedFd() const {
    return impl_->ended.fd();
}

}  // namespace kelvo
