#include "testing/NetnsSubnet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>

#include "testing/NetnsHost.h"
#include "testing/StatusResponder.h"

namespace kelvo::testing {

namespace {

// On a thread of its own: /proc/sys/net shows the namespace of the thread that opens it.
std::string RunInNamespace(const std::string& ns, const std::function<void()>& work) {
    std::string error;
    std::thread([&] {
        try {
            JoinNetworkNamespace(ns);
            work();
        } catch (const std::exception& e) {
            error = e.what();
        }
    }).join();
    return error;
}

void WriteSysctl(const std::string& path, const char* value) {
    std::ofstream out("/proc/sys/net/" + path);
    out << value;
    out.flush();
    if (!out)
        throw std::runtime_error("cannot set " + path);
}

}  // namespace

void JoinNetworkNamespace(const std::string& name) {
    kelvo::UniqueFd nsFd(::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    if (!nsFd || ::setns(nsFd.get(), CLONE_NEWNET) != 0)
        throw std::runtime_error("join namespace " + name + ": " + std::strerror(errno));
}

std::unique_ptr<NetnsSubnet> NetnsSubnet::Create(std::string* whyNot) {
    if (::geteuid() != 0) {
        if (whyNot)
            *whyNot = "needs root to create network namespaces";
        return nullptr;
    }
    std::unique_ptr<NetnsSubnet> subnet(new NetnsSubnet);
    if (!subnet->setUp(whyNot))
        return nullptr;
    return subnet;
}

bool NetnsSubnet::setUp(std::string* whyNot) {
    static std::atomic<unsigned> counter{0};
    const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(counter++ % 100);
    scanNs_ = "kelvo-s" + tag;
    lanNs_ = "kelvo-l" + tag;
    scanIf_ = "kss" + tag;
    lanIf_ = "ksl" + tag;
    dummyIf_ = "ksd" + tag;
    dummyPeerIf_ = "kse" + tag;
    // Both ends are namespaces of our own: the /24 can be the same in every process.
    prefix_ = "10.214.7.";

    std::string error;
    auto step = [&](std::initializer_list<std::string> args) {
        return error.empty() && RunIp(args, &error) == 0;
    };
    scanNsMade_ = step({"netns", "add", scanNs_});
    lanNsMade_ = scanNsMade_ && step({"netns", "add", lanNs_});
    bool ok = lanNsMade_ &&
              step({"-n", scanNs_, "link", "add", scanIf_, "type", "veth", "peer", "name", lanIf_,
                    "netns", lanNs_}) &&
              step({"-n", lanNs_, "link", "set", lanIf_, "address", kLanMac}) &&
              step({"-n", scanNs_, "addr", "add", address(1) + "/24", "dev", scanIf_}) &&
              step({"-n", scanNs_, "link", "set", "lo", "up"}) &&
              step({"-n", scanNs_, "link", "set", scanIf_, "up"}) &&
              step({"-n", lanNs_, "link", "set", "lo", "up"}) &&
              step({"-n", lanNs_, "link", "set", lanIf_, "up"}) &&
              step({"-n", lanNs_, "link", "add", dummyIf_, "type", "veth", "peer", "name",
                    dummyPeerIf_}) &&
              step({"-n", lanNs_, "link", "set", dummyIf_, "arp", "off", "up"}) &&
              step({"-n", lanNs_, "route", "add", address(1) + "/32", "dev", lanIf_}) &&
              step({"-n", lanNs_, "route", "add", subnet(), "dev", dummyIf_});
    if (ok) {
        // Proxy ARP answers for what is routed out of another link, at once (not after the
        // default random delay of up to 0.8 s).
        error = RunInNamespace(lanNs_, [&] {
            WriteSysctl("ipv4/conf/all/forwarding", "1");
            WriteSysctl("ipv4/conf/" + lanIf_ + "/proxy_arp", "1");
            WriteSysctl("ipv4/neigh/" + lanIf_ + "/proxy_delay", "0");
        });
        ok = error.empty();
    }
    if (!ok) {
        if (whyNot)
            *whyNot = "cannot set up a namespace subnet: " + error;
        tearDown();
        return false;
    }
    return true;
}

void NetnsSubnet::tearDown() noexcept {
    try {
        if (scanNsMade_)
            RunIp({"netns", "del", scanNs_});  // takes the veth pair with it
        if (lanNsMade_)
            RunIp({"netns", "del", lanNs_});
    } catch (...) {  // nothing more can be removed
    }
    scanNsMade_ = lanNsMade_ = false;
}

NetnsSubnet::~NetnsSubnet() {
    tearDown();
}

std::string NetnsSubnet::address(int host) const {
    return prefix_ + std::to_string(host);
}

void NetnsSubnet::addHost(int host) {
    std::string error;
    if (RunIp({"-n", lanNs_, "addr", "add", address(host) + "/32", "dev", lanIf_}, &error) != 0)
        throw std::runtime_error(error);
}

kelvo::UniqueFd NetnsSubnet::listenInside(int host, uint16_t port, int backlog) const {
    kelvo::UniqueFd result;
    const std::string error = RunInNamespace(lanNs_, [&] {
        kelvo::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        ::inet_pton(AF_INET, address(host).c_str(), &addr.sin_addr);
        if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd.get(), backlog) != 0)
            throw std::runtime_error(std::string("listen in namespace: ") + std::strerror(errno));
        result = std::move(fd);
    });
    if (!result)
        throw std::runtime_error(error);
    return result;
}

void NetnsSubnet::joinScanningSide() const {
    JoinNetworkNamespace(scanNs_);
}

LanPrinters::LanPrinters(std::vector<Printer> printers)
    : printers_(std::move(printers)), thread_([this] { Run(); }) {}

LanPrinters::~LanPrinters() {
    stop_.Signal();
    thread_.join();
}

namespace {

struct LanConnection {
    kelvo::UniqueFd fd;
    size_t printer;
    StatusRequestScanner scanner;
};

}  // namespace

void LanPrinters::Run() {
    std::vector<LanConnection> connections;
    for (;;) {
        std::vector<pollfd> fds{{stop_.fd(), POLLIN, 0}};
        for (const auto& p : printers_)
            fds.push_back({p.listener.get(), POLLIN, 0});
        for (const auto& c : connections)
            fds.push_back({c.fd.get(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), 1000) < 0 || (fds[0].revents & POLLIN) != 0)
            return;
        for (size_t i = 0; i < printers_.size(); ++i) {
            if (fds[1 + i].revents & POLLIN)
                connections.push_back({kelvo::UniqueFd(::accept4(printers_[i].listener.get(),
                                                                 nullptr, nullptr, SOCK_CLOEXEC)),
                                       i,
                                       {}});
        }
        for (size_t i = 0; i < connections.size() && 1 + printers_.size() + i < fds.size(); ++i) {
            if (fds[1 + printers_.size() + i].revents == 0)
                continue;
            LanConnection& c = connections[i];
            char buf[256];
            const ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, 0);
            if (n <= 0) {
                c.fd.reset();
                continue;
            }
            const Printer& p = printers_[c.printer];
            const std::string reply =
                c.scanner.Answer(std::string_view(buf, size_t(n)),
                                 {p.status, p.status, p.status, p.status}, p.model);
            ::send(c.fd.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        std::erase_if(connections, [](const LanConnection& c) { return !c.fd; });
    }
}

}  // namespace kelvo::testing
