#include "links/ControlSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "links/EventFd.h"
#include "links/Transfer.h"
#include "links/UniqueFd.h"

namespace kelvo {

namespace {

// A request line longer than this is no request of ours.
constexpr size_t kRequestLimit = 1024;
constexpr std::chrono::milliseconds kRequestWait{2000};

[[noreturn]] void Fail(const std::string& path, const std::string& why) {
    throw std::runtime_error("control socket " + path + ": " + why);
}

sockaddr_un Address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        Fail(path, "the path is too long");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// Connected to `path`, or an invalid descriptor with errno set.
UniqueFd Connect(const std::string& path) {
    const sockaddr_un address = Address(path);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        fd.reset();
    return fd;
}

// One line from `fd` within `limit`, without its end; false when none came whole.
bool ReadLine(int fd, std::string& line, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[256];
    while (line.find('\n') == std::string::npos && line.size() <= kRequestLimit) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const ReadOutcome in = ReadWithin(fd, buffer, sizeof buffer, left, true);
        if (in.error != 0 || in.count == 0)
            return false;
        line.append(buffer, in.count);
    }
    const size_t end = line.find('\n');
    if (end == std::string::npos)
        return false;
    line.resize(end);
    return true;
}

}  // namespace

std::string ControlDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string dir = runtime != nullptr && *runtime == '/'
                                ? std::string(runtime) + "/kelvotool"
                                : "/tmp/kelvotool-" + std::to_string(::getuid());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        Fail(dir, std::strerror(errno));
    struct stat info {};
    // Someone else's directory, or one others may open, could hand our commands to their socket.
    if (::lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid() ||
        (info.st_mode & 077) != 0)
        Fail(dir, "is not a directory only this user can open");
    return dir;
}

std::string DefaultControlPath() {
    return ControlDirectory() + "/control";
}

struct ControlServer::Impl {
    void Run();
    void Serve(int client);

    std::string path;
    Handler handler;
    UniqueFd listener;
    EventFd stop;
    std::thread thread;
};

ControlServer::ControlServer(std::string path, Handler handler) : impl_(std::make_unique<Impl>()) {
    if (path.empty()) {
        path = DefaultControlPath();
        if (Connect(path))
            path += "-" + std::to_string(::getpid());
    }
    impl_->path = path;
    impl_->handler = std::move(handler);
    const sockaddr_un address = Address(path);
    if (Connect(path))
        Fail(path, "another printer answers there");
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode))
            Fail(path, "is no socket");
        ::unlink(path.c_str());  // left by a printer that has gone
    }
    impl_->listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!impl_->listener ||
        ::bind(impl_->listener.get(), reinterpret_cast<const sockaddr*>(&address),
               sizeof address) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(impl_->listener.get(), 8) != 0)
        Fail(path, std::strerror(errno));
    impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
}

ControlServer::~ControlServer() {
    impl_->stop.Signal();
    impl_->thread.join();
    ::unlink(impl_->path.c_str());
}

const std::string& ControlServer::Path() const {
    return impl_->path;
}

void ControlServer::Impl::Run() {
    for (;;) {
        pollfd fds[2] = {{stop.fd(), POLLIN, 0}, {listener.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if ((fds[0].revents & POLLIN) != 0)
            return;
        UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (client)
            Serve(client.get());
    }
}

void ControlServer::Impl::Serve(int client) {
    std::string line;
    if (!ReadLine(client, line, kRequestWait))
        return;
    const std::string answer = handler(line) + "\n";
    WriteAll(client, answer.data(), answer.size(), true);
}

std::string AskControl(const std::string& path, const std::string& request,
                       std::chrono::milliseconds limit) {
    UniqueFd fd = Connect(path);
    if (!fd)
        Fail(path, std::string(std::strerror(errno)) + " (is the printer running?)");
    const std::string line = request + "\n";
    if (WriteAll(fd.get(), line.data(), line.size(), true).error != 0)
        Fail(path, "the printer took no request");
    std::string answer;
    if (!ReadLine(fd.get(), answer, limit))
        Fail(path, "no answer");
    return answer;
}

}  // namespace kelvo
