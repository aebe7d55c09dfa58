#include <gtest/gtest.h>
#include <netdb.h>

#include <chrono>
#include <iostream>
#include <string>

#include "links/NetworkLink.h"
#include "links/Transfer.h"
#include "protocol/Commands.h"
#include "testing/CancelWhenBlocked.h"
#include "testing/LoopbackPrinter.h"
#include "testing/PacedPrinter.h"
#include "testing/TestHost.h"

using kelvo::ENetworkError;
using kelvo::NetworkLink;
using kelvo::testing::CancelWhenBlocked;
using kelvo::testing::LoopbackPrinter;
using kelvo::testing::OwnLoopbackHost;
using kelvo::testing::PacedPrinter;
using State = NetworkLink::State;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t kPrinterPort = 9100;

// The error text a call throws, or "" when it throws nothing.
template <typename F>
std::string ErrorOf(F&& call) {
    try {
        call();
    } catch (const ENetworkError& e) {
        return e.what();
    }
    return "";
}

// The socket error code a call throws, or 0.
template <typename F>
int CodeOf(F&& call) {
    try {
        call();
    } catch (const ENetworkError& e) {
        return e.Code();
    }
    return 0;
}

void ConnectTo(NetworkLink& link, const std::string& host, uint16_t port = kPrinterPort) {
    link.SetHost(host);
    link.SetPort(port);
    link.Connect();
}

}  // namespace

TEST(NetworkLink, LinesAndRawBytesArriveExactly) {
    LoopbackPrinter printer(OwnLoopbackHost());
    NetworkLink link;
    ConnectTo(link, OwnLoopbackHost());
    EXPECT_EQ(link.GetState(), State::Connected);

    link.SendLine(kelvo::DrawerPulse());
    EXPECT_EQ(printer.waitForBytes(7), std::string("\x1B\x70\x00\x28\x28\r\n", 7));
    printer.clear();

    link.SendLine("");
    EXPECT_EQ(printer.waitForBytes(2), "\r\n");
    printer.clear();

    link.SendLine("end\r");  // the line end goes after whatever the payload ends with
    EXPECT_EQ(printer.waitForBytes(6), "end\r\r\n");
    printer.clear();

    const std::string ten("\x1F\x02\x57\x43\x00\x0A\x0B\x0C\x0D\x00", 10);
    link.SendRaw(ten);
    link.SendRaw("");
    EXPECT_EQ(printer.waitForBytes(10), ten);
    EXPECT_EQ(printer.settle(), ten);

    link.Disconnect();
    EXPECT_EQ(link.GetState(), State::Idle);
    EXPECT_TRUE(printer.waitForClosed(1));
    EXPECT_EQ(printer.connectionCount(), 1u);
}

TEST(NetworkLink, ALargePayloadIsSentWhole) {
    LoopbackPrinter printer(OwnLoopbackHost());
    NetworkLink link;
    ConnectTo(link, OwnLoopbackHost());
    std::string big(3 * 1024 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    link.SendRaw(big);
    link.Disconnect();
    ASSERT_TRUE(printer.waitForClosed(1, std::chrono::seconds(10)));
    EXPECT_TRUE(printer.bytes() == big);
}

TEST(NetworkLink, NotConnectedBeforeConnectAndAfterDisconnect) {
    LoopbackPrinter printer(OwnLoopbackHost());
    NetworkLink link;
    EXPECT_EQ(link.GetState(), State::Idle);
    EXPECT_EQ(ErrorOf([&] { link.SendLine("x"); }), "Not Connected");
    EXPECT_EQ(ErrorOf([&] { link.SendRaw("x"); }), "Not Connected");
    EXPECT_EQ(ErrorOf([&] { link.SendRaw(""); }), "");  // empty: not even checked
    EXPECT_EQ(ErrorOf([&] { link.Disconnect(); }), "");
    EXPECT_EQ(link.GetState(), State::Idle);

    ConnectTo(link, OwnLoopbackHost());
    link.Disconnect();
    EXPECT_EQ(ErrorOf([&] { link.SendLine(""); }), "Not Connected");
    EXPECT_EQ(ErrorOf([&] { link.SendRaw("x"); }), "Not Connected");
    EXPECT_EQ(printer.settle(), "");
}

TEST(NetworkLink, FailedConnectLeavesTheLinkClosed) {
    NetworkLink link;
    // Nobody listens on this loopback address: the kernel refuses at once.
    const std::string error = ErrorOf([&] { ConnectTo(link, OwnLoopbackHost(3)); });
    EXPECT_EQ(error, "Socket Error # " + std::to_string(ECONNREFUSED) + "\r\nConnection refused.");
    EXPECT_EQ(link.GetState(), State::Closed);
    EXPECT_EQ(ErrorOf([&] { link.SendLine("x"); }), "Connection Closed Gracefully.");
    EXPECT_EQ(ErrorOf([&] { link.SendRaw("x"); }), "Connection Closed Gracefully.");
    EXPECT_EQ(ErrorOf([&] { link.SendRaw(""); }), "");

    // Disconnect turns closed into idle; a later good connect works normally.
    link.Disconnect();
    EXPECT_EQ(ErrorOf([&] { link.SendRaw("x"); }), "Not Connected");
    ErrorOf([&] { ConnectTo(link, OwnLoopbackHost(3)); });
    LoopbackPrinter printer(OwnLoopbackHost());
    ConnectTo(link, OwnLoopbackHost());
    link.SendLine("ok");
    EXPECT_EQ(printer.waitForBytes(4), "ok\r\n");
}

TEST(NetworkLink, ConnectsByIpv6AndByNameAndSaysSoWhenANameIsUnknown) {
    std::string whyNot;
    const auto v6 = LoopbackPrinter::OnIpv6Loopback(0, &whyNot);
    if (!v6)
        GTEST_SKIP() << whyNot;
    LoopbackPrinter v4("127.0.0.1", 0);
    // A root made by debootstrap has no /etc/hosts, so no name there reaches loopback.
    addrinfo* found = nullptr;
    const bool named = ::getaddrinfo("localhost", nullptr, nullptr, &found) == 0;
    if (found != nullptr)
        ::freeaddrinfo(found);
    for (const auto& [host, printer] : {std::pair{"::1", v6.get()}, {"localhost", &v4}}) {
        if (!named && std::string(host) == "localhost")
            continue;
        NetworkLink link;
        ConnectTo(link, host, printer->port());
        link.SendLine(host);
        link.Disconnect();
        EXPECT_TRUE(printer->waitForClosed(1));
        EXPECT_EQ(printer->bytes(), host + std::string("\r\n"));
    }
    // A label longer than 63 characters: refused by the resolver before it asks any server.
    NetworkLink link;
    EXPECT_EQ(ErrorOf([&] { ConnectTo(link, std::string(64, 'x') + ".invalid"); }),
              "Socket Error # 11001\r\nHost not found.");
    EXPECT_EQ(link.GetState(), State::Closed);
    if (!named)
        GTEST_SKIP() << "connecting by name: 'localhost' does not resolve here (no /etc/hosts)";
}

TEST(NetworkLink, SecondConnectKeepsTheFirstConnection) {
    LoopbackPrinter printer(OwnLoopbackHost());
    NetworkLink link;
    ConnectTo(link, OwnLoopbackHost());
    // New host and port are ignored while connected.
    link.SetHost(OwnLoopbackHost(3));
    link.SetPort(1);
    EXPECT_EQ(ErrorOf([&] { link.Connect(); }), "Already connected.");
    EXPECT_EQ(link.GetState(), State::Connected);
    link.SendLine("still here");
    EXPECT_EQ(printer.waitForBytes(12), "still here\r\n");
    EXPECT_EQ(printer.connectionCount(), 1u);
}

TEST(NetworkLink, PeerResetClosesTheLinkWithASocketError) {
    LoopbackPrinter printer(OwnLoopbackHost(), kPrinterPort,
                            {LoopbackPrinter::Mode::ResetAfter, 1000});
    NetworkLink link;
    ConnectTo(link, OwnLoopbackHost());
    const std::string chunk(64 * 1024, 'x');
    std::string error;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int i = 0; i < 1000 && error.empty() && std::chrono::steady_clock::now() < deadline; ++i) {
        try {
            link.SendRaw(chunk);
        } catch (const ENetworkError& e) {
            error = e.what();
            EXPECT_TRUE(e.Code() == ECONNRESET || e.Code() == EPIPE) << e.Code();
        }
    }
    ASSERT_EQ(error.rfind("Socket Error # ", 0), 0u) << error;
    EXPECT_NE(error.find("\r\n"), std::string::npos);
    EXPECT_EQ(link.GetState(), State::Closed);
    EXPECT_EQ(ErrorOf([&] { link.SendLine(""); }), "Connection Closed Gracefully.");

    // Reconnecting from the closed state opens a fresh connection.
    printer.setMode({});
    printer.clear();
    link.Connect();
    link.SendLine("again");
    EXPECT_EQ(printer.waitForBytes(7), "again\r\n");
}

TEST(NetworkLink, SocketErrorTextNamesNumberAndCause) {
    EXPECT_EQ(NetworkLink::SocketErrorText(ECONNRESET),
              "Socket Error # " + std::to_string(ECONNRESET) + "\r\nConnection reset by peer.");
    EXPECT_EQ(NetworkLink::SocketErrorText(99999), "Socket Error # 99999\r\nUnknown error 99999.");
}

TEST(NetworkLink, DisconnectLetsASlowPrinterThatSentStatusTakeEveryByte) {
    // A status byte the link never reads, then 4 KiB per 5 ms.
    PacedPrinter printer(OwnLoopbackHost(), kPrinterPort, {.pause = 5ms, .talkAt = 0ms});
    NetworkLink link;
    ConnectTo(link, OwnLoopbackHost());
    std::string logo(48 * 1024, '\0');
    for (size_t i = 0; i < logo.size(); ++i)
        logo[i] = static_cast<char>(i * 13);
    link.SendRaw(logo);
    printer.waitForBytes(1, 3s);  // reading has begun, so the status byte is waiting on our side
    link.Disconnect();
    EXPECT_EQ(link.GetState(), State::Idle);
    ASSERT_TRUE(printer.waitForEnd(10s));
    EXPECT_EQ(printer.bytes().size(), logo.size());
    EXPECT_TRUE(printer.bytes() == logo);
}

TEST(NetworkLink, APrinterThatStopsReadingEndsTheSendAfterTheStallLimit) {
    LoopbackPrinter printer(OwnLoopbackHost(), kPrinterPort, {LoopbackPrinter::Mode::Hold, 0});
    NetworkLink link;
    ConnectTo(link, OwnLoopbackHost());
    kelvo::TransferMonitor monitor;
    monitor.stallLimitMs = 300;
    kelvo::TransferScope scope(&monitor);
    const std::string more(32 * 1024 * 1024, 'h');  // far beyond what the kernel buffers
    const auto start = Clock::now();
    EXPECT_EQ(ErrorOf([&] { link.SendRaw(more); }), NetworkLink::SocketErrorText(ETIMEDOUT));
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_EQ(link.GetState(), State::Closed);
    EXPECT_TRUE(printer.waitForClosed(1));  // the connection is gone, not left pending
}

TEST(NetworkLink, CancelEndsAStuckSendPromptlyAndAConnectAtOnce) {
    LoopbackPrinter printer(OwnLoopbackHost(), kPrinterPort, {LoopbackPrinter::Mode::Hold, 0});
    NetworkLink link;
    ConnectTo(link, OwnLoopbackHost());
    kelvo::CancelSignal cancel;
    kelvo::TransferMonitor monitor;
    monitor.cancelFd = cancel.fd();
    monitor.stallLimitMs = 60000;
    kelvo::TransferScope scope(&monitor);
    const std::string more(32 * 1024 * 1024, 'c');
    int code = 0;
    std::optional<std::chrono::milliseconds> late;
    {
        CancelWhenBlocked canceller(cancel);
        code = CodeOf([&] { link.SendRaw(more); });
        late = canceller.SinceCancel();
    }
    EXPECT_EQ(code, ECANCELED);
    ASSERT_TRUE(late.has_value());
    std::cout << "send ended " << late->count() << " ms after the cancel\n";
    EXPECT_LT(*late, 2s);
    EXPECT_EQ(link.GetState(), State::Closed);
    EXPECT_TRUE(printer.waitForClosed(1));
    EXPECT_EQ(CodeOf([&] { link.Connect(); }), ECANCELED);
    EXPECT_EQ(link.GetState(), State::Closed);
}
