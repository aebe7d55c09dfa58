#include "links/Discovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>

#include "links/EventFd.h"
#include "links/NetworkLink.h"
#include "links/UniqueFd.h"
#include "protocol/Commands.h"
#include "protocol/PrinterStatus.h"

namespace kelvo {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::optional<Ipv4> ParseAddress(const std::string& text) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1)
        return std::nullopt;
    return ntohl(a.s_addr);
}

Ipv4 Mask(int prefixLength) {
    return prefixLength == 0 ? 0 : ~Ipv4{0} << (32 - prefixLength);
}

// The hosts of a subnet: all but network and broadcast, except in a /31 or /32.
void AppendHosts(Ipv4 base, int prefixLength, std::vector<Ipv4>& out) {
    const Ipv4 first = base & Mask(prefixLength);
    const uint64_t size = uint64_t{1} << (32 - prefixLength);
    const uint64_t skip = prefixLength < 31 ? 1 : 0;
    for (uint64_t i = skip; i + skip < size; ++i)
        out.push_back(static_cast<Ipv4>(first + i));
}

bool AppendItem(const std::string& item, std::vector<Ipv4>& out, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = "\"" + item + "\": " + why;
        return false;
    };
    if (const auto slash = item.find('/'); slash != std::string::npos) {
        const auto base = ParseAddress(Trim(item.substr(0, slash)));
        if (!base)
            return fail("not an IPv4 address before the /");
        const std::string bits = Trim(item.substr(slash + 1));
        if (bits.empty() || bits.size() > 2 ||
            !std::all_of(bits.begin(), bits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return fail("the prefix length after the / must be a number from 16 to 32");
        const int prefixLength = std::stoi(bits);
        if (prefixLength < 16 || prefixLength > 32)
            return fail("the prefix length after the / must be a number from 16 to 32");
        AppendHosts(*base, prefixLength, out);
        return true;
    }
    if (const auto dash = item.find('-'); dash != std::string::npos) {
        const auto first = ParseAddress(Trim(item.substr(0, dash)));
        if (!first)
            return fail("not an IPv4 address before the -");
        std::string endText = Trim(item.substr(dash + 1));
        if (endText.find('.') == std::string::npos) {  // "10.0.0.1-40": the last number only
            const std::string firstText = Ipv4Text(*first);
            endText = firstText.substr(0, firstText.rfind('.') + 1) + endText;
        }
        const auto last = ParseAddress(endText);
        if (!last)
            return fail("not an IPv4 address after the -");
        if (*last < *first)
            return fail("the range ends before it starts");
        if (*last - *first >= kMaxScanAddresses)
            return fail("more than " + std::to_string(kMaxScanAddresses) + " addresses");
        for (uint64_t a = *first; a <= *last; ++a)
            out.push_back(static_cast<Ipv4>(a));
        return true;
    }
    const auto single = ParseAddress(item);
    if (!single)
        return fail("not an IPv4 address, range (a-b) or subnet (a/n)");
    out.push_back(*single);
    return true;
}

// One host being asked. Each step has its own deadline; what a host sends before a request is
// not its answer (the status query's rule), so each request waits for a quiet line first.
enum class Step { Connecting, QuietBeforeStatus, AwaitStatus, QuietBeforeModel, AwaitModel };

struct Probe {
    Ipv4 address = 0;
    UniqueFd fd;
    Step step = Step::Connecting;
    Clock::time_point started, deadline, quietSince;
    std::optional<uint8_t> status;
    std::string model;
    milliseconds responseTime{0};
};

const std::string kStatusRequest = TransmitStatus(1);
const std::string kModelRequest = TransmitPrinterId(67);  // the model name

// Our end first, then whatever the host still sends is read away: close() with unread bytes
// would send a reset instead of the FIN.
void CloseQuietly(UniqueFd& fd) noexcept {
    if (!fd)
        return;
    ::shutdown(fd.get(), SHUT_WR);
    char sink[256];
    while (::recv(fd.get(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    fd.reset();
}

bool SendRequest(Probe& p, const std::string& bytes) {
    return ::send(p.fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
           static_cast<ssize_t>(bytes.size());
}

// The hardware addresses of printers found, looked up on a thread of their own: a lookup may wait
// about a second for the neighbour table, and the scan's poll loop must not. The thread is in the
// scan's network namespace, as threads start in their creator's.
class MacLookups {
  public:
    MacLookups() = default;
    ~MacLookups() { Stop(); }
    MacLookups(const MacLookups&) = delete;
    MacLookups& operator=(const MacLookups&) = delete;

    // Readable while a looked-up printer waits in Take().
    int fd() const noexcept { return ready_.fd(); }
    bool Busy() const {
        std::lock_guard lock(mutex_);
        return asked_.size() + done_.size() > 0 || looking_;
    }

    void Ask(FoundPrinter printer) {
        {
            std::lock_guard lock(mutex_);
            asked_.push_back(std::move(printer));
        }
        woken_.notify_one();
        if (!thread_.joinable())
            thread_ = std::thread([this] { Run(); });
    }

    std::deque<FoundPrinter> Take() {
        ready_.Take();
        std::lock_guard lock(mutex_);
        return std::exchange(done_, {});
    }

    // Ends a lookup under way at once; what was asked and not looked up is dropped.
    void Stop() {
        {
            std::lock_guard lock(mutex_);  // else the signal may fall between check and wait
            stop_.Signal();
        }
        woken_.notify_one();
        if (thread_.joinable())
            thread_.join();
    }

  private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            woken_.wait(lock, [this] { return !asked_.empty() || stop_.IsSet(); });
            if (stop_.IsSet())
                return;
            FoundPrinter printer = std::move(asked_.front());
            asked_.pop_front();
            looking_ = true;
            lock.unlock();
            printer.mac = NetworkLink::LookupPrinterMac(printer.address, stop_.fd());
            lock.lock();
            looking_ = false;
            done_.push_back(std::move(printer));
            ready_.Signal();
        }
    }

    mutable std::mutex mutex_;
    std::condition_variable woken_;
    std::deque<FoundPrinter> asked_, done_;
    bool looking_ = false;
    EventFd ready_, stop_;
    std::thread thread_;
};

class Scan {
  public:
    Scan(const ScanOptions& options, const ScanReports& reports)
        : options_(options), reports_(reports) {
        counts_.total = options.addresses.size();
        for (const auto& s : OwnSubnets())
            onLink_.push_back(s);
    }

    ScanCounts Run() {
        size_t next = 0;
        std::vector<std::unique_ptr<Probe>> probes;
        std::vector<pollfd> fds;
        for (;;) {
            while (next < options_.addresses.size() &&
                   probes.size() < std::max<size_t>(1, options_.maxInFlight)) {
                auto p = Start(options_.addresses[next]);
                if (!p && errno == EMFILE && !probes.empty())
                    break;  // out of descriptors: wait for some to finish
                ++next;
                if (p)
                    probes.push_back(std::move(p));
            }
            if (probes.empty() && !macs_.Busy())
                break;

            fds.clear();
            fds.push_back({options_.cancelFd, POLLIN, 0});
            fds.push_back({macs_.fd(), POLLIN, 0});
            auto soonest = Clock::time_point::max();
            for (const auto& p : probes) {
                fds.push_back({p->fd.get(),
                               static_cast<short>(p->step == Step::Connecting ? POLLOUT : POLLIN),
                               0});
                soonest = std::min(soonest, p->deadline);
            }
            const auto wait = std::chrono::ceil<milliseconds>(soonest - Clock::now());
            const int ready =
                ::poll(fds.data(), fds.size(),
                       probes.empty() ? -1 : static_cast<int>(std::max<int64_t>(0, wait.count())));
            if (ready < 0 && errno != EINTR)
                throw std::system_error(errno, std::generic_category(), "poll");
            if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
                for (auto& p : probes)
                    CloseQuietly(p->fd);
                macs_.Stop();
                counts_.cancelled = true;
                break;
            }
            if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
                for (const FoundPrinter& found : macs_.Take())
                    Tell(found);
            }
            const auto now = Clock::now();
            for (size_t i = 0; i < probes.size(); ++i) {
                if (fds[i + 2].revents != 0 || now >= probes[i]->deadline)
                    Advance(*probes[i], fds[i + 2].revents, now);
            }
            std::erase_if(probes, [](const std::unique_ptr<Probe>& p) { return !p->fd; });
        }
        return counts_;
    }

  private:
    std::unique_ptr<Probe> Start(Ipv4 address) {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) {
            if (errno == EMFILE || errno == ENFILE) {
                errno = EMFILE;
                return nullptr;
            }
            Finish(counts_.silent);
            return nullptr;
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(options_.port);
        to.sin_addr.s_addr = htonl(address);
        auto p = std::make_unique<Probe>();
        p->address = address;
        p->started = Clock::now();
        p->deadline = p->started + options_.connectTimeout;
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
            errno != EINPROGRESS) {
            Finish(errno == ECONNREFUSED ? counts_.refused : counts_.silent);
            return nullptr;
        }
        p->fd = std::move(fd);
        return p;
    }

    void Advance(Probe& p, short revents, Clock::time_point now) {
        if (p.step == Step::Connecting) {
            if (revents == 0) {  // no answer to the SYN in time
                p.fd.reset();    // before the handshake: nothing goes out
                Finish(counts_.silent);
                return;
            }
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(p.fd.get(), SOL_SOCKET, SO_ERROR, &error, &size);
            if (error != 0) {
                p.fd.reset();
                Finish(error == ECONNREFUSED ? counts_.refused
                       : error == ECONNRESET ? counts_.reset
                                             : counts_.silent);
                return;
            }
            Quiet(p, Step::QuietBeforeStatus, now);
            return;
        }

        if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !Read(p, now))
            return;
        if (now < p.deadline)
            return;
        switch (p.step) {
            case Step::QuietBeforeStatus:
            case Step::QuietBeforeModel:
                if (p.step == Step::QuietBeforeStatus ? !SendRequest(p, kStatusRequest)
                                                      : !SendRequest(p, kModelRequest)) {
                    if (p.status)
                        Report(p);
                    else
                        Drop(p, counts_.reset);
                    return;
                }
                p.step = p.step == Step::QuietBeforeStatus ? Step::AwaitStatus : Step::AwaitModel;
                p.deadline = now + options_.answerWait;
                return;
            case Step::AwaitStatus:
                Drop(p, counts_.noAnswer);
                return;
            case Step::AwaitModel:
                p.model.clear();  // a part without its end is no answer
                Report(p);
                return;
            case Step::Connecting:
                return;
        }
    }

    // False when the probe ended here.
    bool Read(Probe& p, Clock::time_point now) {
        char buf[256];
        const ssize_t n = ::recv(p.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        if (n <= 0) {  // closed or reset by the host
            if (p.status)
                Report(p);
            else
                Drop(p, counts_.reset);
            return false;
        }
        const std::string bytes(buf, static_cast<size_t>(n));
        switch (p.step) {
            case Step::QuietBeforeStatus:
            case Step::QuietBeforeModel:
                // Unasked bytes: the quiet gap starts again. A host that keeps talking gets no
                // request: it would not be answering one.
                if (now - p.quietSince >= options_.answerWait) {
                    if (p.status)
                        Report(p);
                    else
                        Drop(p, counts_.noAnswer);
                    return false;
                }
                p.deadline = now + options_.quietGap;
                break;
            case Step::AwaitStatus: {
                const auto b = static_cast<uint8_t>(bytes[0]);
                if (!IsStatusByte(b)) {  // something on port 9100 that is no printer
                    Drop(p, counts_.noAnswer);
                    return false;
                }
                p.status = b;
                p.responseTime = std::chrono::duration_cast<milliseconds>(now - p.started);
                Quiet(p, Step::QuietBeforeModel, now);
                break;
            }
            case Step::AwaitModel:
                p.model += bytes;
                if (const auto end = p.model.find('\0'); end != std::string::npos) {
                    // "_" name NUL
                    p.model = p.model.substr(0, end);
                    if (!p.model.empty() && p.model[0] == '_')
                        p.model.erase(0, 1);
                    Report(p);
                    return false;
                }
                break;
            case Step::Connecting:
                break;
        }
        return true;
    }

    void Quiet(Probe& p, Step step, Clock::time_point now) {
        p.step = step;
        p.quietSince = now;
        p.deadline = now + options_.quietGap;
    }

    void Drop(Probe& p, size_t& counter) {
        CloseQuietly(p.fd);
        Finish(counter);
    }

    void Report(Probe& p) {
        CloseQuietly(p.fd);
        FoundPrinter found;
        found.address = Ipv4Text(p.address);
        found.mac = NetworkLink::kNoMac;
        found.status = *p.status;
        found.model = p.model;
        found.responseTime = p.responseTime;
        // It has just answered, so the neighbour table has it when it is on a link of ours.
        if (OnLink(p.address))
            macs_.Ask(std::move(found));
        else
            Tell(found);
    }

    void Tell(const FoundPrinter& found) {
        if (reports_.found)
            reports_.found(found);
        Finish(counts_.found);
    }

    void Finish(size_t& counter) {
        ++counter;
        ++counts_.finished;
        if (reports_.progress)
            reports_.progress(counts_);
    }

    bool OnLink(Ipv4 address) const {
        return std::any_of(onLink_.begin(), onLink_.end(), [&](const OwnSubnet& s) {
            return s.prefixLength > 0 &&
                   (address & Mask(s.prefixLength)) == (s.address & Mask(s.prefixLength));
        });
    }

    const ScanOptions& options_;
    const ScanReports& reports_;
    ScanCounts counts_;
    std::vector<OwnSubnet> onLink_;
    MacLookups macs_;
};

}  // namespace

std::string Ipv4Text(Ipv4 address) {
    in_addr a{htonl(address)};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

std::vector<Ipv4> ParseScanRange(const std::string& text, std::string* error) {
    std::vector<Ipv4> all;
    std::string item;
    auto flush = [&] {
        item = Trim(item);
        const bool ok = item.empty() || AppendItem(item, all, error);
        item.clear();
        return ok;
    };
    for (const char c : text) {
        if (c == ',' || c == ' ' || c == '\t' || c == ';') {
            if (!flush())
                return {};
        } else {
            item += c;
        }
    }
    if (!flush())
        return {};
    std::vector<Ipv4> unique;
    std::unordered_set<Ipv4> seen;
    for (const Ipv4 a : all) {
        if (seen.insert(a).second)
            unique.push_back(a);
    }
    if (unique.empty()) {
        if (error)
            *error = "no address given";
        return {};
    }
    if (unique.size() > kMaxScanAddresses) {
        if (error)
            *error = "more than " + std::to_string(kMaxScanAddresses) + " addresses";
        return {};
    }
    return unique;
}

std::vector<OwnSubnet> OwnSubnets() {
    std::vector<OwnSubnet> result;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return result;
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, ::freeifaddrs);
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_netmask == nullptr ||
            i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_UP) == 0 ||
            (i->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        OwnSubnet s;
        s.interfaceName = i->ifa_name;
        s.address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        const Ipv4 mask =
            ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        s.prefixLength = __builtin_popcount(mask);
        result.push_back(s);
    }
    return result;
}

std::vector<Ipv4> OwnSubnetAddresses() {
    std::vector<Ipv4> all;
    for (const auto& s : OwnSubnets())
        AppendHosts(s.address, std::max(s.prefixLength, kWidestOwnPrefix), all);
    std::vector<Ipv4> unique;
    std::unordered_set<Ipv4> seen;
    for (const Ipv4 a : all) {
        if (seen.insert(a).second)
            unique.push_back(a);
    }
    return unique;
}

ScanCounts ScanForPrinters(const ScanOptions& options, const ScanReports& reports) {
    return Scan(options, reports).Run();
}

}  // namespace kelvo
