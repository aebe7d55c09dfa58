#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>

#include "links/NetworkLink.h"
#include "testing/NetnsHost.h"
#include "testing/TestHost.h"

using kelvo::NetworkLink;
using kelvo::testing::NetnsHost;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kNoMac = "00-00-00-00-00-00";

class MacLookup : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string whyNot;
        host_ = NetnsHost::Create(&whyNot);
        if (!host_)
            GTEST_SKIP() << whyNot;
    }
    std::unique_ptr<NetnsHost> host_;
};

}  // namespace

TEST_F(MacLookup, FarEndOfTheLinkGivesItsFixedMac) {
    // No neighbour entry yet: the lookup itself has to make the kernel resolve the address.
    EXPECT_EQ(NetworkLink::LookupPrinterMac(host_->farAddress()), "00-0A-0B-0C-0D-0E");
    // Now from the table directly.
    EXPECT_EQ(NetworkLink::LookupPrinterMac(host_->farAddress()), "00-0A-0B-0C-0D-0E");
}

TEST_F(MacLookup, SilentAddressGivesZerosWithinAboutASecond) {
    const auto start = Clock::now();
    EXPECT_EQ(NetworkLink::LookupPrinterMac(host_->silentAddress()), kNoMac);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
}

TEST_F(MacLookup, ConnectThenLookupAsTheNetworkPageDoes) {
    kelvo::UniqueFd listener = host_->listenInside(9100);
    NetworkLink link;
    link.SetHost(host_->farAddress());
    link.SetPort(9100);
    link.Connect();
    EXPECT_EQ(NetworkLink::LookupPrinterMac(host_->farAddress()), "00-0A-0B-0C-0D-0E");
    link.SendLine(std::string("\x1B\x70\x00\x28\x28", 5));

    pollfd p{listener.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    kelvo::UniqueFd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(peer);
    std::string got;
    char buf[64];
    p = {peer.get(), POLLIN, 0};
    while (got.size() < 7 && ::poll(&p, 1, 3000) == 1) {
        const ssize_t n = ::recv(peer.get(), buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, std::string("\x1B\x70\x00\x28\x28\r\n", 7));
}

// These need no namespace: no neighbour can exist for them, so the answer comes at once.
TEST(MacLookupWithoutNeighbour, LoopbackBroadcastAndBadTextGiveZeros) {
    const auto start = Clock::now();
    EXPECT_EQ(NetworkLink::LookupPrinterMac(kelvo::testing::OwnLoopbackHost()), kNoMac);
    EXPECT_EQ(NetworkLink::LookupPrinterMac("255.255.255.255"), kNoMac);
    EXPECT_EQ(NetworkLink::LookupPrinterMac("not an address"), kNoMac);
    EXPECT_EQ(NetworkLink::LookupPrinterMac(""), kNoMac);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}
