#include "testing/NetnsHost.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace kelvo::testing {

namespace {

// Asked through a socket of this network namespace: /sys/class/net shows the namespace /sys was
// mounted in, which is another one when the tests run in a namespace of their own.
bool LinkRunning(const std::string& name) {
    kelvo::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    return fd && ::ioctl(fd.get(), SIOCGIFFLAGS, &request) == 0 &&
           (request.ifr_flags & IFF_RUNNING) != 0;
}

const char* IpPath() {
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (::access(p, X_OK) == 0)
            return p;
    }
    return nullptr;
}

}  // namespace

int RunIp(const std::initializer_list<std::string>& args, std::string* errorText) {
    const char* ip = IpPath();
    if (ip == nullptr) {
        if (errorText)
            *errorText = "iproute2 `ip` not found";
        return 127;
    }
    // Everything the child needs is prepared before fork: other threads may hold malloc's lock.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(ip));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return 127;
    kelvo::UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    kelvo::UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));

    const pid_t pid = ::fork();
    if (pid < 0)
        return 127;
    if (pid == 0) {
        ::dup2(devNull.get(), 0);
        ::dup2(devNull.get(), 1);
        ::dup2(writeEnd.get(), 2);
        ::execve(ip, argv.data(), environ);
        ::_exit(127);
    }
    writeEnd.reset();
    std::string errors;
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
        if (n > 0) {
            errors.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    if (code != 0 && errorText) {
        *errorText = "ip";
        for (const auto& a : args)
            *errorText += " " + a;
        *errorText += ": " + errors;
    }
    return code;
}

std::unique_ptr<NetnsHost> NetnsHost::Create(std::string* whyNot) {
    if (::geteuid() != 0) {
        if (whyNot)
            *whyNot = "needs root to create a network namespace";
        return nullptr;
    }
    std::unique_ptr<NetnsHost> host(new NetnsHost);
    if (!host->setUp(whyNot))
        return nullptr;  // setUp failed and removed what it made
    return host;
}

bool NetnsHost::setUp(std::string* whyNot) {
    static std::atomic<unsigned> counter{0};
    const unsigned pid = static_cast<unsigned>(::getpid());
    const unsigned serial = counter++;
    const std::string tag = std::to_string(pid) + "-" + std::to_string(serial % 100);
    ns_ = "kelvo-" + tag;
    nearIf_ = "kvn" + tag;  // at most 13 characters: within IFNAMSIZ
    farIf_ = "kvf" + tag;
    // One /29 out of 8192 in 10.213.0.0/16, varied by process so parallel runs keep apart.
    const unsigned n = (pid * 4 + serial) % 8192;
    const std::string prefix = "10.213." + std::to_string(n / 32) + ".";
    const unsigned base = (n % 32) * 8;
    near_ = prefix + std::to_string(base + 1);
    far_ = prefix + std::to_string(base + 2);
    silent_ = prefix + std::to_string(base + 3);

    std::string error;
    auto step = [&](std::initializer_list<std::string> args) {
        return error.empty() && RunIp(args, &error) == 0;
    };
    nsMade_ = step({"netns", "add", ns_});
    linkMade_ = nsMade_ && step({"link", "add", nearIf_, "type", "veth", "peer", "name", farIf_,
                                 "netns", ns_});
    const bool ok = linkMade_ && step({"-n", ns_, "link", "set", farIf_, "address", kFarMac}) &&
                    step({"-n", ns_, "addr", "add", far_ + "/29", "dev", farIf_}) &&
                    step({"-n", ns_, "link", "set", farIf_, "up"}) &&
                    step({"-n", ns_, "link", "set", "lo", "up"}) &&
                    step({"addr", "add", near_ + "/29", "dev", nearIf_}) &&
                    step({"link", "set", nearIf_, "up"});
    if (!ok) {
        if (whyNot)
            *whyNot = "cannot set up a namespace host: " + error;
        tearDown();
        return false;
    }
    // A veth pair gets its carrier a moment after "up"; an ARP request sent before that is lost
    // and the one-second lookup would miss the host. Wait (bounded) until the link really is up.
    for (int i = 0; i < 200 && !LinkRunning(nearIf_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return true;
}

void NetnsHost::tearDown() noexcept {
    try {
        if (linkMade_)
            RunIp({"link", "del", nearIf_});  // takes its peer with it
        if (nsMade_)
            RunIp({"netns", "del", ns_});
    } catch (...) {  // nothing more can be removed
    }
    linkMade_ = nsMade_ = false;
}

NetnsHost::~NetnsHost() {
    tearDown();
}

void NetnsHost::runInside(const std::function<void()>& f) const {
    // A socket belongs to the namespace it was made in; setns changes only the calling thread, so
    // a thread of its own joins the namespace and then ends.
    std::string error;
    std::thread([&] {
        kelvo::UniqueFd nsFd(::open(("/run/netns/" + ns_).c_str(), O_RDONLY | O_CLOEXEC));
        if (!nsFd || ::setns(nsFd.get(), CLONE_NEWNET) != 0) {
            error = std::string("join namespace: ") + std::strerror(errno);
            return;
        }
        f();
    }).join();
    if (!error.empty())
        throw std::runtime_error(error);
}

kelvo::UniqueFd NetnsHost::listenInside(uint16_t port) const {
    kelvo::UniqueFd result;
    std::string error;
    runInside([&] {
        kelvo::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        ::inet_pton(AF_INET, far_.c_str(), &addr.sin_addr);
        if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd.get(), 4) != 0) {
            error = std::string("listen in namespace: ") + std::strerror(errno);
            return;
        }
        result = std::move(fd);
    });
    if (!result)
        throw std::runtime_error(error);
    return result;
}

}  // namespace kelvo::testing
