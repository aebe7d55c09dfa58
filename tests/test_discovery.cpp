#include <gtest/gtest.h>

#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "links/Discovery.h"
#include "links/EventFd.h"
#include "links/SerialSpeed.h"
#include "printer/PrinterBox.h"
#include "testing/NetnsSubnet.h"
#include "testing/Pty.h"
#include "testing/StatusResponder.h"
#include "testing/TestHost.h"

using kelvo::EventFd;
using kelvo::FoundPrinter;
using kelvo::Ipv4;
using kelvo::ScanCounts;
using kelvo::UniqueFd;
using kelvo::testing::NetnsSubnet;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// Every TCP SYN (without ACK) that leaves the scanning side's veth, by destination.
class SynCapture {
  public:
    explicit SynCapture(const NetnsSubnet& subnet) {
        std::promise<void> ready;
        thread_ = std::thread([&] {
            try {
                subnet.joinScanningSide();
                socket_ =
                    UniqueFd(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL)));
                sockaddr_ll at{};
                at.sll_family = AF_PACKET;
                at.sll_protocol =
                    htons(ETH_P_ALL);  // only taps of every protocol see outgoing frames
                at.sll_ifindex = static_cast<int>(::if_nametoindex(subnet.scanInterface().c_str()));
                if (!socket_ || at.sll_ifindex == 0 ||
                    ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
                    throw std::runtime_error("cannot capture on the scanning side");
                ready.set_value();
            } catch (...) {
                ready.set_exception(std::current_exception());
                return;
            }
            Run();
        });
        try {
            ready.get_future().get();
        } catch (...) {
            thread_.join();
            throw;
        }
    }
    ~SynCapture() {
        stop_.Signal();
        thread_.join();
    }

    // What was captured once every one of `expected` was seen, or after `limit`: the capture
    // reads the frames a moment after they left.
    std::multiset<Ipv4> destinations(const std::set<Ipv4>& expected,
                                     std::chrono::milliseconds limit = 2s) const {
        std::unique_lock lock(mu_);
        seen_.wait_for(lock, limit, [&] {
            return std::all_of(expected.begin(), expected.end(),
                               [&](Ipv4 a) { return destinations_.count(a) > 0; });
        });
        return destinations_;
    }

  private:
    void Run() {
        for (;;) {
            pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {socket_.get(), POLLIN, 0}};
            if (::poll(fds, 2, 1000) < 0 || (fds[0].revents & POLLIN) != 0)
                return;
            if ((fds[1].revents & POLLIN) == 0)
                continue;
            unsigned char frame[2048];
            sockaddr_ll from{};
            socklen_t fromSize = sizeof from;
            const ssize_t n = ::recvfrom(socket_.get(), frame, sizeof frame, 0,
                                         reinterpret_cast<sockaddr*>(&from), &fromSize);
            if (n < static_cast<ssize_t>(sizeof(iphdr)) || from.sll_pkttype != PACKET_OUTGOING ||
                from.sll_protocol != htons(ETH_P_IP))
                continue;
            iphdr ip;
            std::memcpy(&ip, frame, sizeof ip);
            const size_t ipSize = ip.ihl * 4u;
            if (ip.protocol != IPPROTO_TCP || n < static_cast<ssize_t>(ipSize + sizeof(tcphdr)))
                continue;
            tcphdr tcp;
            std::memcpy(&tcp, frame + ipSize, sizeof tcp);
            if (tcp.syn && !tcp.ack) {
                std::lock_guard lock(mu_);
                destinations_.insert(ntohl(ip.daddr));
                seen_.notify_all();
            }
        }
    }

    UniqueFd socket_;
    EventFd stop_;
    mutable std::mutex mu_;
    mutable std::condition_variable seen_;
    std::multiset<Ipv4> destinations_;
    std::thread thread_;
};

struct ScanResult {
    ScanCounts counts;
    std::map<std::string, FoundPrinter> found;
    std::vector<Clock::time_point> foundAt;
    Clock::time_point ended;
    std::string error;
};

// A /24 as the LAN: printers at .2 .3 .4 (.4 also names its model), nothing listening at
// .5, a host at .6 that accepts and never reads, and nobody at the rest.
class Discovery : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string whyNot;
        subnet_ = NetnsSubnet::Create(&whyNot);
        if (!subnet_)
            GTEST_SKIP() << whyNot;
        for (int host : {2, 3, 4, 5, 6})
            subnet_->addHost(host);
        std::vector<kelvo::testing::LanPrinters::Printer> printers;
        printers.push_back({subnet_->listenInside(2, 9100), 0x12, ""});
        printers.push_back({subnet_->listenInside(3, 9100), 0x16, ""});
        printers.push_back({subnet_->listenInside(4, 9100), 0x1E, "QM417"});
        printers_ = std::make_unique<kelvo::testing::LanPrinters>(std::move(printers));
        mute_ = subnet_->listenInside(6, 9100);
    }

    // Runs the scan on a thread inside the scanning side; `addresses` empty: that side's own
    // subnets. `onFound` is called on the scan's thread.
    std::thread StartScan(const std::string& range, const EventFd* cancel, ScanResult& result,
                          std::function<void()> onFound = nullptr) {
        return std::thread([this, range, cancel, &result, onFound] {
            try {
                subnet_->joinScanningSide();
                kelvo::ScanOptions options;
                if (range.empty()) {
                    options.addresses = kelvo::OwnSubnetAddresses();
                } else {
                    options.addresses = kelvo::ParseScanRange(range, &result.error);
                }
                options.cancelFd = cancel ? cancel->fd() : -1;
                kelvo::ScanReports reports;
                reports.found = [&](const FoundPrinter& p) {
                    result.found[p.address] = p;
                    result.foundAt.push_back(Clock::now());
                    if (onFound)
                        onFound();
                };
                result.counts = kelvo::ScanForPrinters(options, reports);
            } catch (const std::exception& e) {
                result.error = e.what();
            }
            result.ended = Clock::now();
        });
    }

    std::string Mac() const {
        std::string mac = NetnsSubnet::kLanMac;
        for (char& c : mac)
            c = c == ':' ? '-' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return mac;
    }

    std::unique_ptr<NetnsSubnet> subnet_;
    std::unique_ptr<kelvo::testing::LanPrinters> printers_;
    UniqueFd mute_;
};

}  // namespace

TEST_F(Discovery, OwnSubnetListsExactlyThePrintersWithMacAndStatusAndCountsTheRest) {
    ScanResult result;
    const auto start = Clock::now();
    StartScan("", nullptr, result).join();
    ASSERT_EQ(result.error, "");

    ASSERT_EQ(result.found.size(), 3u);
    const std::map<std::string, std::pair<uint8_t, std::string>> expected = {
        {subnet_->address(2), {0x12, ""}},
        {subnet_->address(3), {0x16, ""}},
        {subnet_->address(4), {0x1E, "QM417"}}};
    for (const auto& [address, answer] : expected) {
        ASSERT_EQ(result.found.count(address), 1u) << address;
        const FoundPrinter& p = result.found[address];
        EXPECT_EQ(p.mac, Mac()) << address;
        EXPECT_EQ(p.status, answer.first) << address;
        EXPECT_EQ(p.model, answer.second) << address;
        EXPECT_LT(p.responseTime, 500ms) << address;
    }
    // .1 is the scanning side itself: nothing listens there either.
    EXPECT_EQ(result.counts.total, 254u);
    EXPECT_EQ(result.counts.finished, 254u);
    EXPECT_EQ(result.counts.found, 3u);
    EXPECT_EQ(result.counts.refused, 2u);
    EXPECT_EQ(result.counts.noAnswer, 1u);
    EXPECT_EQ(result.counts.reset, 0u);
    EXPECT_EQ(result.counts.silent, 248u);
    EXPECT_FALSE(result.counts.cancelled);
    // One round of connects at 500 ms, and the printers' answers.
    EXPECT_LT(result.ended - start, 2500ms);
    // Each printer is reported when it answered, long before the silent hosts time out.
    ASSERT_FALSE(result.foundAt.empty());
    EXPECT_LT(result.foundAt.front() - start, 400ms);
}

TEST_F(Discovery, CancelEndsTheScanWithin200Milliseconds) {
    EventFd cancel;
    ScanResult result;
    std::promise<void> firstFound;
    std::atomic<bool> told{false};
    std::thread scan = StartScan("", &cancel, result, [&] {
        if (!told.exchange(true))
            firstFound.set_value();
    });
    ASSERT_EQ(firstFound.get_future().wait_for(5s), std::future_status::ready);
    const auto cancelledAt = Clock::now();
    cancel.Signal();
    scan.join();
    EXPECT_EQ(result.error, "");
    EXPECT_TRUE(result.counts.cancelled);
    EXPECT_LT(result.counts.finished, result.counts.total);
    EXPECT_LT(result.ended - cancelledAt, 200ms);
}

TEST_F(Discovery, TypedRangeIsScannedAndNothingOutsideItIsTouched) {
    SynCapture capture(*subnet_);
    ScanResult result;
    const std::string range = subnet_->address(2) + "-" + subnet_->address(4) + ", " +
                              subnet_->address(6) + " " + subnet_->address(100);
    StartScan(range, nullptr, result).join();
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.found.size(), 3u);
    EXPECT_EQ(result.counts.total, 5u);
    EXPECT_EQ(result.counts.noAnswer, 1u);
    EXPECT_EQ(result.counts.silent, 1u);

    std::set<Ipv4> allowed;
    for (int host : {2, 3, 4, 6, 100})
        allowed.insert(kelvo::ParseScanRange(subnet_->address(host), nullptr).at(0));
    const auto syns = capture.destinations(allowed);
    for (const Ipv4 to : syns)
        EXPECT_EQ(allowed.count(to), 1u) << "SYN to " << kelvo::Ipv4Text(to);
    for (const Ipv4 to : allowed)
        EXPECT_GE(syns.count(to), 1u) << "no SYN to " << kelvo::Ipv4Text(to);
}

// The virtual printer is a printer like any other to the scan.
TEST(DiscoveryOnLoopback, VirtualPrinterIsFoundWithItsModel) {
    kelvo::printer::PrinterBox::Options options;
    options.tcp.host = kelvo::testing::OwnLoopbackHost();
    options.tcp.port = 9100;
    kelvo::printer::PrinterBox box(options);

    kelvo::ScanOptions scan;
    scan.addresses =
        kelvo::ParseScanRange(options.tcp.host + "," + kelvo::testing::OwnLoopbackHost(2), nullptr);
    std::vector<FoundPrinter> found;
    const ScanCounts counts =
        kelvo::ScanForPrinters(scan, {[&](const FoundPrinter& p) { found.push_back(p); }, {}});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].address, options.tcp.host);
    EXPECT_EQ(found[0].model, "QM417");
    EXPECT_EQ(found[0].mac, "00-00-00-00-00-00");  // not on a link of ours
    EXPECT_EQ(counts.refused, 1u);
}

struct RangeCase {
    const char* text;
    size_t count;       // 0: an error
    const char* first;  // or the error's wording
    const char* last = "";
};

class ScanRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(ScanRange, ParsesOrNamesTheMistake) {
    const RangeCase& c = GetParam();
    std::string error;
    const auto addresses = kelvo::ParseScanRange(c.text, &error);
    if (c.count == 0) {
        EXPECT_TRUE(addresses.empty());
        EXPECT_NE(error.find(c.first), std::string::npos) << error;
        return;
    }
    ASSERT_EQ(addresses.size(), c.count) << error;
    EXPECT_EQ(kelvo::Ipv4Text(addresses.front()), c.first);
    EXPECT_EQ(kelvo::Ipv4Text(addresses.back()), c.last);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScanRange,
    ::testing::Values(
        RangeCase{"10.0.0.0/24", 254, "10.0.0.1", "10.0.0.254"},
        RangeCase{"10.0.0.77/24", 254, "10.0.0.1", "10.0.0.254"},
        RangeCase{"10.0.0.8/31", 2, "10.0.0.8", "10.0.0.9"},
        RangeCase{"10.0.0.9/32", 1, "10.0.0.9", "10.0.0.9"},
        RangeCase{"10.0.0.0/16", 65534, "10.0.0.1", "10.0.255.254"},
        RangeCase{"10.0.0.1-10.0.0.40", 40, "10.0.0.1", "10.0.0.40"},
        RangeCase{"10.0.0.250-10.0.1.3", 10, "10.0.0.250", "10.0.1.3"},
        RangeCase{"10.0.0.1-40", 40, "10.0.0.1", "10.0.0.40"},
        RangeCase{" 10.0.0.5, 10.0.0.9 ", 2, "10.0.0.5", "10.0.0.9"},
        RangeCase{"10.0.0.5,10.0.0.5,10.0.0.4-6", 3, "10.0.0.5", "10.0.0.6"},
        RangeCase{"", 0, "no address"}, RangeCase{"printer", 0, "\"printer\": not an IPv4 address"},
        RangeCase{"10.0.0.256", 0, "not an IPv4 address"},
        RangeCase{"10.0.0.0/15", 0, "from 16 to 32"}, RangeCase{"10.0.0.0/x", 0, "from 16 to 32"},
        RangeCase{"10.0.0.0/", 0, "from 16 to 32"}, RangeCase{"x/24", 0, "before the /"},
        RangeCase{"10.0.0.40-10.0.0.1", 0, "ends before it starts"},
        RangeCase{"10.0.0.1-10.2.0.0", 0, "more than 65536"},
        RangeCase{"10.0.0.1-x", 0, "after the -"},
        RangeCase{"10.0.0.0/16,10.1.0.0/16", 0, "more than 65536"}));

namespace {

bool SameLine(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

}  // namespace

TEST(SerialSpeedSearch, FindsTheOneSpeedThePrinterAnswersAtAndLeavesThePortAsItWas) {
    kelvo::testing::Pty pty;
    pty.scramble();
    const termios before = pty.lineSettings();
    kelvo::testing::PrinterAtSpeed printer(pty, B38400);
    const auto found = kelvo::FindSerialSpeed(pty.slavePath());
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->baudRate, 38400u);
    EXPECT_EQ(found->status, 0x12);
    EXPECT_TRUE(SameLine(pty.lineSettings(), before));
}

TEST(SerialSpeedSearch, SilentPortGivesNoneWithinItsBound) {
    kelvo::testing::Pty pty;
    const termios before = pty.lineSettings();
    const auto start = Clock::now();
    EXPECT_FALSE(kelvo::FindSerialSpeed(pty.slavePath()).has_value());
    // Five rates, each a quiet gap and one unanswered request.
    EXPECT_LT(Clock::now() - start, 5 * (kelvo::kStatusAnswerWait + 200ms));
    EXPECT_TRUE(SameLine(pty.lineSettings(), before));
}

TEST(SerialSpeedSearch, CancelEndsTheSearchAtOnce) {
    kelvo::testing::Pty pty;
    EventFd cancel;
    std::atomic<Clock::rep> cancelledAt{0};
    // Mid-search: the first rate's request is out by then.
    std::thread canceller([&] {
        std::this_thread::sleep_for(100ms);
        cancelledAt = Clock::now().time_since_epoch().count();
        cancel.Signal();
    });
    EXPECT_FALSE(
        kelvo::FindSerialSpeed(pty.slavePath(), kelvo::SpeedSearchLine(), 500ms, cancel.fd())
            .has_value());
    const auto ended = Clock::now();
    canceller.join();
    EXPECT_LT(ended - Clock::time_point(Clock::duration(cancelledAt.load())), 200ms);
}
