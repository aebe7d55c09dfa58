// The virtual printer's endpoints at real peers: TCP clients on loopback, and the pty slave opened
// and set up as the tool opens a serial port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "links/SerialLine.h"
#include "links/TcpConnect.h"
#include "links/Transfer.h"
#include "printer/Endpoints.h"
#include "printer/LpdEndpoint.h"
#include "testing/Eventually.h"
#include "testing/LoopbackPrinter.h"
#include "testing/NetnsHost.h"
#include "testing/TestHost.h"

using kelvo::UniqueFd;
using kelvo::printer::PtyEndpoint;
using kelvo::printer::TcpEndpoint;
using kelvo::testing::Eventually;
using kelvo::testing::OwnLoopbackHost;
using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A model stand-in: keeps every byte and answers each '?' with 0x12.
class Recorder {
  public:
    kelvo::printer::Sink Sink() {
        return {[](std::string_view bytes) {
                    return std::string(std::count(bytes.begin(), bytes.end(), '?'), '\x12');
                },
                [this](std::string_view held, std::string&) {
                    std::lock_guard lock(mu_);
                    bytes_.append(held);
                    cv_.notify_all();
                    return held.size();
                }};
    }
    std::string WaitFor(size_t n, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, timeout, [&] { return bytes_.size() >= n; });
        return bytes_;
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::string bytes_;
};

UniqueFd Connect(const std::string& host, uint16_t port) {
    UniqueFd fd;
    EXPECT_EQ(kelvo::ConnectTcp(host, port, fd), 0);
    return fd;
}

void Send(int fd, const std::string& bytes, bool socket) {
    EXPECT_EQ(kelvo::WriteAll(fd, bytes.data(), bytes.size(), socket).error, 0);
}

// The first answer bytes the peer sends, or none within 3 s.
std::string Answer(int fd, bool socket) {
    char got[16];
    const auto r = kelvo::ReadWithin(fd, got, sizeof got, 3s, socket);
    return std::string(got, r.error == 0 ? r.count : 0);
}

// As the tool opens its port: raw, honouring XON/XOFF from the printer.
UniqueFd OpenPort(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    kelvo::SerialLineSettings line;
    line.xonXoffOutput = true;
    EXPECT_EQ(kelvo::ApplySerialLine(fd.get(), line), 0);
    return fd;
}

}  // namespace

TEST(TcpEndpoint, ServesConnectionsOneAfterAnotherInOrderAndAnswers) {
    Recorder model;
    TcpEndpoint endpoint({OwnLoopbackHost(), 9100}, model.Sink());
    ASSERT_EQ(endpoint.Address(), OwnLoopbackHost() + ":9100");
    UniqueFd first = Connect(OwnLoopbackHost(), 9100);
    Send(first.get(), "first?", true);
    EXPECT_EQ(Answer(first.get(), true), "\x12");
    // Queued in the backlog: served only once the first has gone.
    UniqueFd second = Connect(OwnLoopbackHost(), 9100);
    Send(second.get(), std::string("second\0\xFF?", 9), true);
    first.reset();
    EXPECT_EQ(model.WaitFor(15), std::string("first?second\0\xFF?", 15));
    EXPECT_EQ(Answer(second.get(), true), "\x12");
}

TEST(TcpEndpoint, TakenPortMovesToTheNextAddressAndAddressSaysSo) {
    kelvo::testing::LoopbackPrinter taken(OwnLoopbackHost(), 9100);
    Recorder model;
    kelvo::printer::TcpOptions exact{OwnLoopbackHost(), 9100};
    exact.exact = true;
    EXPECT_THROW(TcpEndpoint(exact, model.Sink()), std::system_error);
    TcpEndpoint endpoint({OwnLoopbackHost(), 9100}, model.Sink());
    EXPECT_EQ(endpoint.Address(), OwnLoopbackHost(2) + ":9100");
    UniqueFd client = Connect(OwnLoopbackHost(2), 9100);
    Send(client.get(), "x", true);
    EXPECT_EQ(model.WaitFor(1), "x");
}

TEST(TcpEndpoint, RefusesAnyHostButLoopback) {
    Recorder model;
    for (const char* host : {"0.0.0.0", "192.0.2.1", "::", "localhost", ""}) {
        EXPECT_THROW(TcpEndpoint({host, 9100}, model.Sink()), std::invalid_argument) << host;
    }
}

TEST(TcpEndpoint, ListensBeyondLoopbackOnlyWhenAskedAndThereOnlyOnTheAddressNamed) {
    std::string whyNot;
    const auto far = kelvo::testing::NetnsHost::Create(&whyNot);
    if (!far)
        GTEST_SKIP() << whyNot;
    Recorder model;
    kelvo::printer::TcpOptions options{far->farAddress(), 9100};
    // Not asked: refused before any socket is made, even where the address exists.
    far->runInside([&] {
        EXPECT_THROW(TcpEndpoint(options, model.Sink()), std::invalid_argument);
        EXPECT_THROW(TcpEndpoint({"localhost", 9100, {}, true}, model.Sink()),
                     std::invalid_argument);
    });
    options.anyHost = true;
    std::unique_ptr<TcpEndpoint> endpoint;
    far->runInside([&] { endpoint = std::make_unique<TcpEndpoint>(options, model.Sink()); });
    EXPECT_EQ(endpoint->Address(), far->farAddress() + ":9100");
    UniqueFd client = Connect(far->farAddress(), 9100);
    Send(client.get(), "from the link?", true);
    EXPECT_EQ(Answer(client.get(), true), "\x12");
    EXPECT_EQ(model.WaitFor(14), "from the link?");
    // A taken port moves up a port on the same address, never to another address.
    std::unique_ptr<TcpEndpoint> second;
    far->runInside([&] { second = std::make_unique<TcpEndpoint>(options, model.Sink()); });
    EXPECT_EQ(second->Address(), far->farAddress() + ":9101");
}

TEST(PtyEndpoint, BytesReachTheSinkAndAnswersComeBackAcrossReopens) {
    Recorder model;
    PtyEndpoint endpoint({}, model.Sink());
    std::string all;
    for (int round = 0; round < 3; ++round) {
        UniqueFd port = OpenPort(endpoint.SlavePath());
        const std::string bytes("\x1B\x40\x00\x0A\xFF?", 6);
        Send(port.get(), bytes, false);
        all += bytes;
        EXPECT_EQ(Answer(port.get(), false), "\x12");
        EXPECT_EQ(model.WaitFor(all.size()), all);
    }
}

TEST(PtyEndpoint, HoldStallsAWriterThatHonoursXoffAndReleaseDrainsIt) {
    Recorder model;
    PtyEndpoint endpoint({}, model.Sink());
    UniqueFd port = OpenPort(endpoint.SlavePath());
    endpoint.SetHold(true);
    // A master that only stops reading takes some 20 KiB first; XOFF stops the writer at once.
    const std::string chunk(64, 'h');
    size_t accepted = 0;
    bool stalled = false;
    for (int i = 0; i < 1000 && !stalled; ++i) {
        const ssize_t n = ::write(port.get(), chunk.data(), chunk.size());
        if (n > 0) {
            accepted += static_cast<size_t>(n);
            continue;
        }
        ASSERT_EQ(errno, EAGAIN);
        pollfd p{port.get(), POLLOUT, 0};
        stalled = ::poll(&p, 1, 200) == 0;
    }
    EXPECT_TRUE(stalled);
    EXPECT_LT(accepted, 4096u);
    endpoint.SetHold(false);
    const std::string rest(8192, 'r');
    Send(port.get(), rest, false);
    EXPECT_EQ(model.WaitFor(accepted + rest.size()).size(), accepted + rest.size());
}

TEST(PtyEndpoint, ThrottledReadingTakesAboutTheLineTime) {
    Recorder model;
    PtyEndpoint endpoint({9600}, model.Sink());
    UniqueFd port = OpenPort(endpoint.SlavePath());
    std::string bytes(2048, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>('a' + i % 26);
    const auto start = Clock::now();
    Send(port.get(), bytes, false);
    EXPECT_EQ(model.WaitFor(bytes.size(), 10s), bytes);
    // 960 bytes a second: about 2.1 s.
    EXPECT_GE(Clock::now() - start, 1500ms);
}

TEST(Endpoints, DestructorsReturnPromptlyWhilePeersAreConnected) {
    Recorder model;
    auto tcp = std::make_unique<TcpEndpoint>(kelvo::printer::TcpOptions{OwnLoopbackHost(), 9100},
                                             model.Sink());
    auto pty = std::make_unique<PtyEndpoint>(kelvo::printer::PtyOptions{}, model.Sink());
    UniqueFd client = Connect(OwnLoopbackHost(), tcp->Port());
    UniqueFd port = OpenPort(pty->SlavePath());
    Send(client.get(), "c", true);
    Send(port.get(), "p", false);
    model.WaitFor(2);
    pty->SetHold(true);
    const auto start = Clock::now();
    tcp.reset();
    pty.reset();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(Answer(client.get(), true), "");
}

namespace {

// Who each connection came from, and how it ended, in order.
class EndLog {
  public:
    kelvo::printer::TcpEvents Events() {
        return {[this](const std::string& peer) {
                    std::lock_guard lock(mu_);
                    peers_.push_back(peer);
                },
                [this](kelvo::printer::TcpEnd end) {
                    std::lock_guard lock(mu_);
                    ends_.push_back(end);
                    cv_.notify_all();
                }};
    }
    std::vector<std::string> Peers() {
        std::lock_guard lock(mu_);
        return peers_;
    }
    std::vector<kelvo::printer::TcpEnd> WaitFor(size_t n) {
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, 5s, [&] { return ends_.size() >= n; });
        return ends_;
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<kelvo::printer::TcpEnd> ends_;
    std::vector<std::string> peers_;
};

// "host:port" of the local end of a connected socket, as its peer sees it.
std::string LocalAddress(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

}  // namespace

TEST(TcpEndpoint, ASilentClientIsClosedAtTheIdleLimitAndTheNextIsServed) {
    using kelvo::printer::TcpEnd;
    Recorder model;
    EndLog ends;
    TcpEndpoint endpoint({OwnLoopbackHost(), 9100, 0ms}, model.Sink(), ends.Events());
    const auto start = Clock::now();
    UniqueFd silent = Connect(OwnLoopbackHost(), endpoint.Port());
    ASSERT_TRUE(Eventually([&] { return endpoint.Serving(); }));
    UniqueFd next = Connect(OwnLoopbackHost(), endpoint.Port());
    Send(next.get(), "next?", true);
    // No limit: the silent client keeps the printer; a limit set now applies to it.
    char early = 0;
    EXPECT_EQ(kelvo::ReadWithin(next.get(), &early, 1, 300ms, true).error, ETIMEDOUT);
    endpoint.SetIdleLimit(500ms);
    char byte = 0;
    const auto closed = kelvo::ReadWithin(silent.get(), &byte, 1, 5s, true);
    EXPECT_EQ(closed.error, 0);
    EXPECT_EQ(closed.count, 0u);  // end of stream
    EXPECT_GE(Clock::now() - start, 500ms);
    EXPECT_EQ(Answer(next.get(), true), "\x12");
    EXPECT_EQ(model.WaitFor(5), "next?");
    EXPECT_EQ(ends.WaitFor(1), std::vector<TcpEnd>{TcpEnd::Idle});
    next.reset();
    EXPECT_EQ(ends.WaitFor(2), (std::vector<TcpEnd>{TcpEnd::Idle, TcpEnd::Closed}));
}

TEST(TcpEndpoint, CountsTheClientsWaitingBehindTheOneServed) {
    Recorder model;
    TcpEndpoint endpoint({OwnLoopbackHost(), 9100, 0ms}, model.Sink());
    EXPECT_FALSE(endpoint.Serving());
    EXPECT_EQ(endpoint.Waiting(), 0);
    UniqueFd first = Connect(OwnLoopbackHost(), endpoint.Port());
    ASSERT_TRUE(Eventually([&] { return endpoint.Serving(); }));
    UniqueFd second = Connect(OwnLoopbackHost(), endpoint.Port());
    UniqueFd third = Connect(OwnLoopbackHost(), endpoint.Port());
    EXPECT_TRUE(Eventually([&] { return endpoint.Waiting() == 2; }));
    first.reset();
    EXPECT_TRUE(Eventually([&] { return endpoint.Waiting() == 1; }));
    second.reset();
    third.reset();
    EXPECT_TRUE(Eventually([&] { return endpoint.Waiting() == 0 && !endpoint.Serving(); }));
}

TEST(TcpEndpoint, NamesEachClientByItsAddressAsItIsTaken) {
    Recorder model;
    EndLog log;
    TcpEndpoint endpoint({OwnLoopbackHost(), 9100, 0ms}, model.Sink(), log.Events());
    std::vector<std::string> expected;
    for (int i = 0; i < 2; ++i) {
        UniqueFd client = Connect(OwnLoopbackHost(), endpoint.Port());
        expected.push_back(LocalAddress(client.get()));
        client.reset();
        log.WaitFor(expected.size());
    }
    EXPECT_EQ(log.Peers(), expected);
    EXPECT_NE(expected[0], expected[1]);
}

namespace {

// A printer that takes nothing while closed (offline) and everything once open.
class Gate {
  public:
    kelvo::printer::Sink Sink() {
        return {[](std::string_view) { return std::string(); },
                [this](std::string_view held, std::string&) -> size_t {
                    std::lock_guard lock(mu_);
                    if (!open_)
                        return 0;
                    bytes_.append(held);
                    return held.size();
                }};
    }
    void Open() {
        std::lock_guard lock(mu_);
        open_ = true;
    }
    std::string Bytes() {
        std::lock_guard lock(mu_);
        return bytes_;
    }

  private:
    std::mutex mu_;
    bool open_ = false;
    std::string bytes_;
};

std::string Numbered(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>('a' + i % 23);
    return bytes;
}

}  // namespace

TEST(TcpEndpoint, TakesABoundedQueueOfWaitingClientsAndSendsItsOwnBytesToTheOneServed) {
    using kelvo::printer::kTcpWaitingTaken;
    Recorder model;
    TcpEndpoint endpoint({OwnLoopbackHost(), 0, 0ms}, model.Sink());
    endpoint.Send("dropped: nobody is served");
    UniqueFd served = Connect(OwnLoopbackHost(), endpoint.Port());
    ASSERT_TRUE(Eventually([&] { return endpoint.Serving(); }));
    std::vector<UniqueFd> waiting;
    for (size_t i = 0; i < kTcpWaitingTaken + 2; ++i)
        waiting.push_back(Connect(OwnLoopbackHost(), endpoint.Port()));
    EXPECT_TRUE(Eventually([&] {
        const auto queue = endpoint.Queue();
        return queue.waiting.size() == kTcpWaitingTaken && queue.backlog == 2;
    }));
    EXPECT_EQ(endpoint.Waiting(), static_cast<int>(kTcpWaitingTaken) + 2);
    endpoint.Send("\x14\x00\x00\x00"s);
    char got[4] = {};
    const auto r = kelvo::ReadWithin(served.get(), got, sizeof got, 3s, true);
    EXPECT_EQ(std::string(got, r.count), "\x14\x00\x00\x00"s);
    // Once the first has gone, the next in line is served and the backlog moves up.
    served.reset();
    EXPECT_TRUE(Eventually([&] {
        const auto queue = endpoint.Queue();
        return queue.waiting.size() == kTcpWaitingTaken && queue.backlog == 1;
    }));
}

TEST(PtyEndpoint, AFullBufferSendsXoffAndXonOnceHandedOverAndOwnBytesReachThePort) {
    using kelvo::printer::kReceiveBuffer;
    Gate printer;
    PtyEndpoint endpoint({}, printer.Sink());
    // A port that does not act on XON/XOFF: they arrive as bytes.
    UniqueFd port(::open(endpoint.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    kelvo::SerialLineSettings line;
    ASSERT_EQ(kelvo::ApplySerialLine(port.get(), line), 0);
    const std::string bytes = Numbered(kReceiveBuffer + 1000);
    Send(port.get(), bytes, false);
    EXPECT_EQ(Answer(port.get(), false), "\x13");
    printer.Open();
    endpoint.Resume();
    EXPECT_EQ(Answer(port.get(), false), "\x11");
    EXPECT_TRUE(Eventually([&] { return printer.Bytes().size() == bytes.size(); }));
    EXPECT_EQ(printer.Bytes(), bytes);
    endpoint.Send("\x10\x00\x00\x00"s);
    EXPECT_EQ(Answer(port.get(), false), "\x10\x00\x00\x00"s);
}

// The exchanges of RFC 1179's "receive a printer job" as clients send them, each on a connection
// of its own that the client half-closes at the end: what the printer replies, and the job.
TEST(LpdEndpoint, TakesJobsAsSpoolersSendThemAndDropsWhatNeverArrivedWhole) {
    const std::string control = "Hhost\nPclerk\nJreceipt 7\nldfA001host\n",
                      data = "\x1B@Hi\n\x1DVB\x05"s;
    const auto file = [](char code, const std::string& bytes, const std::string& count = {}) {
        return code + (count.empty() ? std::to_string(bytes.size()) : count) + " dfA001host\n" +
               bytes + (count == "0" ? "" : "\0"s);
    };
    const std::string ack(1, '\0');
    struct Row {
        const char* name;
        std::string script;
        bool bytewise;
        std::string replies;
        std::optional<std::string> job;
        bool dropped;
    } rows[] = {
        {"control file first, as CUPS sends",
         "\2receipts\n" + file('\2', control) + file('\3', data), false, std::string(5, '\0'), data,
         false},
        {"data file first, a byte at a time",
         "\2receipts\n" + file('\3', data) + file('\2', control), true, std::string(5, '\0'), data,
         false},
        {"two data files make one job", "\2q\n" + file('\3', data) + file('\3', "more"), false,
         std::string(5, '\0'), data + "more", false},
        {"data without a length runs to the close", "\2q\n" + file('\3', data, "0"), false,
         std::string(2, '\0'), data, false},
        {"an aborted job prints nothing", "\2q\n" + file('\3', data) + "\1\n", false,
         std::string(4, '\0'), std::nullopt, true},
        {"closed inside a file", "\2q\n" + file('\3', data).substr(0, 20), false,
         std::string(2, '\0'), std::nullopt, true},
        {"a file over the job limit is refused",
         "\2q\n\3"
         "99999999999 dfA\n",
         false, ack + "\1", std::nullopt, false},
        {"queue state", "\3receipts\n", false, "receipts: ready\n", std::nullopt, false},
        {"an unknown command", "\7q\n", false, "", std::nullopt, true},
    };
    std::mutex mu;
    std::vector<kelvo::printer::LpdJob> jobs;
    kelvo::printer::LpdEndpoint endpoint({OwnLoopbackHost(), 0}, [&](kelvo::printer::LpdJob job) {
        std::lock_guard lock(mu);
        jobs.push_back(std::move(job));
    });
    uint64_t served = 0, dropped = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        UniqueFd client = Connect(OwnLoopbackHost(), endpoint.Port());
        for (size_t at = 0; at < row.script.size(); at += row.bytewise ? 1 : row.script.size())
            Send(client.get(), row.script.substr(at, row.bytewise ? 1 : std::string::npos), true);
        ::shutdown(client.get(), SHUT_WR);
        std::string replies;
        char got[64];
        while (true) {
            const auto r = kelvo::ReadWithin(client.get(), got, sizeof got, 5s, true);
            if (r.count == 0)
                break;
            replies.append(got, r.count);
        }
        EXPECT_EQ(replies, row.replies);
        ASSERT_TRUE(Eventually([&] { return endpoint.Exchanges() == served + 1; }));
        ++served;
        EXPECT_EQ(endpoint.Dropped() - dropped, row.dropped ? 1u : 0u);
        dropped = endpoint.Dropped();
        std::lock_guard lock(mu);
        ASSERT_EQ(jobs.size(), row.job ? 1u : 0u);
        if (row.job) {
            EXPECT_EQ(jobs.front().bytes, *row.job);
        }
        if (&row == &rows[0]) {
            EXPECT_EQ(jobs.front().user, "clerk");
            EXPECT_EQ(jobs.front().name, "receipt 7");
            EXPECT_EQ(jobs.front().queue, "receipts");
        }
        jobs.clear();
    }
}
