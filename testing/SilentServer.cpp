#include "testing/SilentServer.h"

#include <cups/cups.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace kelvo::testing {

SilentServer::SilentServer() {
    char tmpl[] = "/tmp/kelvo-silent-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    dir_ = tmpl;
    path_ = dir_ + "/cups.sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    listen_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listen_ || ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_.get(), 16) != 0) {
        const std::string error = std::strerror(errno);
        std::filesystem::remove_all(dir_);
        throw std::runtime_error("silent server at " + path_ + ": " + error);
    }
    thread_ = std::thread([this] { run(); });
}

SilentServer::~SilentServer() {
    stop_.Signal();
    thread_.join();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

bool SilentServer::waitForAccepted(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return held_.size() >= count; });
}

void SilentServer::run() {
    for (;;) {
        pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {listen_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents != 0)
            return;
        UniqueFd fd(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (fd) {
            std::lock_guard lock(mu_);
            held_.push_back(std::move(fd));
            cv_.notify_all();
        }
    }
}

CupsServerRoute::CupsServerRoute(const std::string& server) {
    if (const char* old = std::getenv("CUPS_SERVER"); old != nullptr)
        previous_ = old;
    ::setenv("CUPS_SERVER", server.c_str(), 1);
    cupsSetServer(nullptr);
}

CupsServerRoute::~CupsServerRoute() {
    if (previous_)
        ::setenv("CUPS_SERVER", previous_->c_str(), 1);
    else
        ::unsetenv("CUPS_SERVER");
    cupsSetServer(nullptr);
}

}  // namespace kelvo::testing
