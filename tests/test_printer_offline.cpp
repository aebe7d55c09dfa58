// The virtual printer offline and back, and at its print and line speed, at its real peers: TCP
// clients on loopback and the pty slave. What it holds, what it answers meanwhile, what it sends
// by itself, who waits.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "links/SerialLine.h"
#include "links/SerialSpeed.h"
#include "links/StatusQuery.h"
#include "links/TcpConnect.h"
#include "links/Transfer.h"
#include "printer/JobReport.h"
#include "printer/PrinterBox.h"
#include "testing/Eventually.h"
#include "testing/RowName.h"
#include "testing/TestHost.h"

using kelvo::UniqueFd;
using kelvo::printer::PaperLine;
using kelvo::printer::PrinterBox;
using kelvo::printer::StatusFlags;
using kelvo::printer::VirtualPrinter;
using kelvo::testing::Eventually;
using kelvo::testing::OwnLoopbackHost;
using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

constexpr int kNetwork = 0, kSerial = 1;

PrinterBox::Options Options(bool serialBusyWhenOffline = true) {
    PrinterBox::Options options;
    options.tcp.host = OwnLoopbackHost();
    options.tcp.port = 0;
    options.serialBusyWhenOffline = serialBusyWhenOffline;
    return options;
}

UniqueFd Connect(const PrinterBox& box) {
    const std::string address = box.TcpAddress();
    const size_t colon = address.rfind(':');
    UniqueFd fd;
    EXPECT_EQ(kelvo::ConnectTcp(address.substr(0, colon),
                                static_cast<uint16_t>(std::stoi(address.substr(colon + 1))), fd),
              0);
    return fd;
}

std::string LocalAddress(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(local.sin_port));
}

void Send(int fd, const std::string& bytes, bool socket = true) {
    EXPECT_EQ(kelvo::WriteAll(fd, bytes.data(), bytes.size(), socket).error, 0);
}

// Exactly `n` bytes the peer sends, or what came of them within 5 s.
std::string Read(int fd, size_t n, bool socket = true) {
    std::string got(n, '\0');
    size_t have = 0;
    while (have < n) {
        const auto r = kelvo::ReadWithin(fd, got.data() + have, n - have, 5s, socket);
        if (r.error != 0 || r.count == 0)
            break;
        have += r.count;
    }
    got.resize(have);
    return got;
}

// Lines "L000000" up: each line names its place, so a line lost, doubled or out of order shows.
std::string Lines(size_t from, size_t count) {
    std::string text;
    char line[32];
    for (size_t i = from; i < from + count; ++i) {
        std::snprintf(line, sizeof line, "L%06u\n", static_cast<unsigned>(i % 1000000));
        text += line;
    }
    return text;
}
constexpr size_t kLineBytes = 8;

// Writes on Lines(0, ...) from byte `taken` without blocking until the peer takes no more for a
// while: its receive buffer and both kernels' are full. Adds the bytes taken to `taken`.
// With `full`, until the socket takes no more once `full` holds (the printer reads nothing more
// then); without, until it took nothing for half a second.
void FillUntilBlocked(int fd, size_t& taken, const std::function<bool()>& full = {}) {
    for (int round = 0; round < 100000; ++round) {
        const std::string bytes = Lines(taken / kLineBytes, 1024).substr(taken % kLineBytes);
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            taken += static_cast<size_t>(n);
            continue;
        }
        EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
        if (full && full())
            return;
        pollfd room{fd, POLLOUT, 0};
        if (::poll(&room, 1, full ? 10 : 500) == 0 && !full)
            return;
    }
    ADD_FAILURE() << "the printer never stopped taking bytes";
}

std::vector<std::string> PaperText(PrinterBox& box, int index) {
    return box.With(index, [](VirtualPrinter& p) {
        std::vector<std::string> lines;
        for (const auto& item : p.Paper()) {
            if (const auto* line = std::get_if<PaperLine>(&item)) {
                std::string text;
                for (const auto& run : line->runs)
                    text += run.utf8;
                lines.push_back(text);
            }
        }
        return lines;
    });
}

uint64_t BytesPrinted(PrinterBox& box, int index) {
    return box.With(index, [](VirtualPrinter& p) { return p.Count().bytes; });
}

struct Offline {
    const char* name;
    std::function<void(StatusFlags&)> set;
    uint8_t request;  // DLE EOT n that names the cause
    uint8_t answer;
};

void PrintTo(const Offline& o, std::ostream* os) {
    *os << o.name;
}

class OfflineTcp : public ::testing::TestWithParam<Offline> {};

}  // namespace

TEST_P(OfflineTcp, AJobIsHeldAndAnsweredForThenBlocksTheClientAndPrintsWholeAndOnceBackOnline) {
    PrinterBox box(Options());
    StatusFlags flags;
    GetParam().set(flags);
    box.SetFlags(flags);
    UniqueFd client = Connect(box);
    const std::string job = Lines(0, 100);
    Send(client.get(), job + "\x10\x04"s + char(GetParam().request) + "\x10\x04\x01"s);
    EXPECT_EQ(Read(client.get(), 2), (std::string{char(GetParam().answer), '\x1A'}));
    EXPECT_TRUE(Eventually([&] { return box.TcpBuffered() == job.size() + 6; }));
    EXPECT_EQ(BytesPrinted(box, kNetwork), 0u);

    // Real back-pressure: the client's writes stop once the printer's buffer and the kernels'
    // are full, and nothing of it prints.
    size_t more = 0;
    FillUntilBlocked(client.get(), more,
                     [&] { return box.TcpBuffered() == kelvo::printer::kReceiveBuffer; });
    EXPECT_TRUE(Eventually([&] { return box.TcpBuffered() == kelvo::printer::kReceiveBuffer; }));
    // Whatever a busy machine let the printer read late, it reads no more now.
    FillUntilBlocked(client.get(), more);
    pollfd room{client.get(), POLLOUT, 0};
    EXPECT_EQ(::poll(&room, 1, 300), 0);
    EXPECT_EQ(box.TcpBuffered(), kelvo::printer::kReceiveBuffer);
    EXPECT_EQ(BytesPrinted(box, kNetwork), 0u);
    std::printf("[ measured ] held while offline: %zu bytes taken before the client blocked\n",
                job.size() + 6 + more);

    box.SetFlags({});
    const uint64_t total = job.size() + 6 + more;
    EXPECT_TRUE(Eventually([&] { return BytesPrinted(box, kNetwork) == total; }))
        << BytesPrinted(box, kNetwork) << " of " << total;
    const auto lines = box.With(kNetwork, [](VirtualPrinter& p) { return p.Count().lines; });
    EXPECT_EQ(lines, 100 + more / kLineBytes);
    // The newest lines on the paper run on from the job's first lines, each once.
    const std::vector<std::string> paper = PaperText(box, kNetwork);
    ASSERT_FALSE(paper.empty());
    char last[32];
    std::snprintf(last, sizeof last, "L%06u", static_cast<unsigned>(more / kLineBytes - 1));
    EXPECT_EQ(paper.back(), last);
    for (size_t i = 1; i < paper.size(); ++i) {
        if (paper[i] != "L000000") {  // where the second run of numbers starts
            ASSERT_EQ(std::stoul(paper[i].substr(1)), std::stoul(paper[i - 1].substr(1)) + 1) << i;
        }
    }
    // The requests were answered once, when they came: the next answer is this one's.
    Send(client.get(), "\x10\x04\x01"s);
    EXPECT_EQ(Read(client.get(), 1), "\x12");
    client.reset();
    EXPECT_TRUE(Eventually([&] {
        return box.With(kNetwork, [](VirtualPrinter& p) { return p.Jobs().size(); }) == 1;
    }));
}

INSTANTIATE_TEST_SUITE_P(
    PrinterOffline, OfflineTcp,
    ::testing::Values(Offline{"PaperOut", [](StatusFlags& f) { f.paperOut = true; }, 4, 0x72},
                      Offline{"CoverOpen", [](StatusFlags& f) { f.coverOpen = true; }, 2, 0x16},
                      Offline{"SwitchedOffline", [](StatusFlags& f) { f.online = false; }, 1, 0x1A},
                      Offline{"CutterError",
                              [](StatusFlags& f) {
                                  f.error = true;
                                  f.errorCause = kelvo::printer::ErrorCause::Cutter;
                              },
                              3, 0x1A}),
    kelvo::testing::NamedByName());

// Offline, the printer still answers real-time requests on every connection, and over the line it
// holds with XOFF; each status query's connection is a job, held and then printed in its turn.
TEST_P(OfflineTcp, EachOfThreeQueriesInARowAndOneOverTheHeldLineIsAnsweredAndEachIsAJobInTurn) {
    PrinterBox box(Options());
    StatusFlags flags;
    GetParam().set(flags);
    box.SetFlags(flags);
    const std::string answer(1, char(GetParam().answer));
    std::vector<std::string> clients;
    for (int i = 0; i < 3; ++i) {
        UniqueFd client = Connect(box);
        Send(client.get(), "\x10\x04"s + char(GetParam().request));
        EXPECT_EQ(Read(client.get(), 1), answer) << i;
        clients.push_back("TCP " + LocalAddress(client.get()));
    }
    EXPECT_EQ(kelvo::QueryDeviceStatus(box.PtyPath(), 300ms).answer.at(GetParam().request - 1),
              GetParam().answer);
    const auto speed = kelvo::FindSerialSpeed(box.PtyPath());
    ASSERT_TRUE(speed.has_value());
    EXPECT_EQ(speed->status, 0x1A);  // offline
    box.SetFlags({});
    auto jobs = [&] { return box.With(kNetwork, [](VirtualPrinter& p) { return p.Jobs(); }); };
    ASSERT_TRUE(Eventually([&] { return jobs().size() == 3; }));
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(jobs()[i].endpoint, clients[i]) << i;
}

TEST(PrinterOffline, ClientsQueueInOrderAndOneThatHangsUpWhileHeldIsPrintedOnce) {
    PrinterBox box(Options());
    StatusFlags paperOut;
    paperOut.paperOut = true;
    box.SetFlags(paperOut);
    UniqueFd first = Connect(box);
    ASSERT_TRUE(Eventually([&] { return box.TcpServing(); }));
    UniqueFd second = Connect(box);
    UniqueFd third = Connect(box);
    ASSERT_TRUE(Eventually([&] { return box.TcpClients().waiting.size() == 2; }));
    const kelvo::printer::TcpQueue queue = box.TcpClients();
    ASSERT_TRUE(queue.served.has_value());
    EXPECT_EQ(queue.served->address, LocalAddress(first.get()));
    EXPECT_EQ(queue.waiting[0].address, LocalAddress(second.get()));
    EXPECT_EQ(queue.waiting[1].address, LocalAddress(third.get()));
    EXPECT_LE(queue.served->since, queue.waiting[0].since);
    EXPECT_EQ(box.TcpWaiting(), 2);

    Send(first.get(), "first\n");
    Send(second.get(), "second\n");
    Send(third.get(), "third\n");
    first.reset();
    second.reset();
    EXPECT_TRUE(Eventually([&] { return box.TcpBuffered() == 6; }));
    EXPECT_EQ(BytesPrinted(box, kNetwork), 0u);
    box.SetFlags({});
    EXPECT_TRUE(Eventually([&] { return BytesPrinted(box, kNetwork) == 19; }));
    EXPECT_EQ(PaperText(box, kNetwork), (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_TRUE(Eventually([&] {
        const auto q = box.TcpClients();
        return q.served && q.served->address == LocalAddress(third.get()) && q.waiting.empty();
    }));
    const auto jobs = box.With(kNetwork, [](VirtualPrinter& p) { return p.Jobs(); });
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].bytes, 6u);
    EXPECT_EQ(jobs[1].bytes, 7u);
}

namespace {

struct Watched {
    const char* name;
    uint8_t mask;  // GS a n
    std::function<void(StatusFlags&)> change;
    std::string status;  // sent when it changes; empty: nothing
};

void PrintTo(const Watched& w, std::ostream* os) {
    *os << w.name;
}

class AutomaticStatus : public ::testing::TestWithParam<Watched> {};

}  // namespace

TEST_P(AutomaticStatus, GoesToTheClientWhenAWatchedStateChangesDuringAJob) {
    PrinterBox box(Options());
    UniqueFd client = Connect(box);
    Send(client.get(), "before\n\x1D\x61"s + char(GetParam().mask));
    EXPECT_EQ(Read(client.get(), 4), "\x10\x00\x00\x00"s);  // at once, as it is turned on
    StatusFlags flags;
    GetParam().change(flags);
    box.SetFlags(flags);
    if (!GetParam().status.empty()) {
        EXPECT_EQ(Read(client.get(), 4), GetParam().status);
    }
    // The answer to a request sent after the change comes next: nothing else came before it.
    auto answers = [&](uint8_t expected) {
        Send(client.get(), "\x10\x04\x02"s);
        EXPECT_EQ(Read(client.get(), 1), std::string(1, char(expected)));
    };
    answers(box.With(kNetwork, [](VirtualPrinter& p) { return p.StatusByte(2); }));
    // Back to normal: the watched change goes out again. (GS a 0 sent while offline would wait in
    // the receive buffer, as any command does.)
    box.SetFlags({});
    if (!GetParam().status.empty()) {
        EXPECT_EQ(Read(client.get(), 4), "\x10\x00\x00\x00"s);
    }
    // Turned off, a change sends nothing.
    Send(client.get(), "\x1D\x61\x00"s);
    ASSERT_TRUE(Eventually(
        [&] { return box.With(kNetwork, [](VirtualPrinter& p) { return p.AsbMask() == 0; }); }));
    box.SetFlags(flags);
    answers(box.With(kNetwork, [](VirtualPrinter& p) { return p.StatusByte(2); }));
}

INSTANTIATE_TEST_SUITE_P(
    PrinterOffline, AutomaticStatus,
    ::testing::Values(
        Watched{"CoverUnderOnline", 0x02, [](StatusFlags& f) { f.coverOpen = true; },
                "\x38\x00\x00\x00"s},
        Watched{"Drawer", 0x01, [](StatusFlags& f) { f.drawerOpen = true; }, "\x14\x00\x00\x00"s},
        Watched{"Error", 0x04,
                [](StatusFlags& f) {
                    f.error = true;
                    f.errorCause = kelvo::printer::ErrorCause::AutoRecoverable;
                },
                "\x18\x40\x00\x00"s},
        Watched{"PaperRoll", 0x08, [](StatusFlags& f) { f.paperNearEnd = true; },
                "\x10\x00\x03\x00"s},
        Watched{"PaperNotWatched", 0x01, [](StatusFlags& f) { f.paperOut = true; }, ""},
        Watched{"DrawerNotWatched", 0x0E, [](StatusFlags& f) { f.drawerOpen = true; }, ""}),
    kelvo::testing::NamedByName());

namespace {

// The pty slave as a tool that ignores XON/XOFF opens it, so that the printer's XOFF and XON
// arrive as bytes to read.
UniqueFd OpenRaw(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    termios t{};
    EXPECT_EQ(::tcgetattr(fd.get(), &t), 0);
    ::cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    EXPECT_EQ(::tcsetattr(fd.get(), TCSANOW, &t), 0);
    return fd;
}

class OfflineSerial : public ::testing::TestWithParam<bool> {};

}  // namespace

TEST_P(OfflineSerial, XoffWhenBusyXonOnceItReadsAgainAndTheHeldBytesPrintOnce) {
    const bool busyWhenOffline = GetParam();
    PrinterBox box(Options(busyWhenOffline));
    UniqueFd port = OpenRaw(box.PtyPath());
    StatusFlags paperOut;
    paperOut.paperOut = true;
    box.SetFlags(paperOut);
    if (busyWhenOffline) {
        EXPECT_EQ(Read(port.get(), 1, false), "\x13");  // offline is busy by itself
    }
    // A request among the first bytes is answered at once; more than the buffer holds follows.
    const std::string job = "\x10\x04\x04"s + Lines(0, 1000);
    Send(port.get(), job, false);
    std::string expected = "\x72";
    if (!busyWhenOffline)
        expected += "\x13";  // once the receive buffer is full
    EXPECT_EQ(Read(port.get(), expected.size(), false), expected);
    EXPECT_TRUE(Eventually([&] { return box.SerialBuffered() == kelvo::printer::kReceiveBuffer; }));
    EXPECT_EQ(BytesPrinted(box, kSerial), 0u);

    box.SetFlags({});
    EXPECT_EQ(Read(port.get(), 1, false), "\x11");
    EXPECT_TRUE(Eventually([&] { return BytesPrinted(box, kSerial) == job.size(); }));
    const auto lines = PaperText(box, kSerial);
    ASSERT_EQ(lines.size(), 1000u);
    EXPECT_EQ(lines.front(), "L000000");
    EXPECT_EQ(lines.back(), "L000999");
    // The request was answered once, when it came.
    Send(port.get(), "\x10\x04\x01"s, false);
    EXPECT_EQ(Read(port.get(), 1, false), "\x12");
}

INSTANTIATE_TEST_SUITE_P(PrinterOffline, OfflineSerial, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "BusyWhenOffline" : "BusyWhenFull");
});

TEST(PrinterOffline, AutomaticStatusOfABridgedPrinterComesBackOverTheSerialLine) {
    PrinterBox box(Options());
    UniqueFd port = OpenRaw(box.PtyPath());
    Send(port.get(), "+++++DYSJ002\x1D\x61\x02"s, false);
    EXPECT_EQ(Read(port.get(), 4, false), "\x10\x00\x00\x00"s);
    StatusFlags cover;
    cover.coverOpen = true;
    box.SetFlags(cover);
    // XOFF (offline is busy), then printer 002's status: only it watches.
    EXPECT_EQ(Read(port.get(), 5, false), "\x13\x38\x00\x00\x00"s);
}

TEST(PrinterOffline, RealTimeRequestsAreFoundAcrossAnySplitAndNotAnsweredAgainWhenPrinted) {
    StatusFlags paperOut;
    paperOut.paperOut = true;
    // A request, a DLE that starts nothing, one inside a picture's data (taken as a printer takes
    // it), DLE ENQ, and DLE EOT with an n no printer answers.
    const std::string stream =
        "ab\x10\x04\x04"
        "cd\x10\x10\x04\x01"
        "\x1D\x76\x30\x00\x01\x00\x03\x00\x10\x04\x02"
        "\x10\x05\x01\x10\x04\x09z\n"s;
    const std::string answers = "\x72\x1A\x32"s;
    for (size_t split = 0; split <= stream.size(); ++split) {
        VirtualPrinter printer;
        printer.SetFlags(paperOut);
        std::string got = printer.RealTime(std::string_view(stream).substr(0, split));
        got += printer.RealTime(std::string_view(stream).substr(split));
        EXPECT_EQ(got, answers) << split;
        EXPECT_EQ(printer.Print(stream), "") << split;
    }
    // Fed straight, the model answers what it reads as requests: the picture's bytes are data.
    VirtualPrinter direct;
    direct.SetFlags(paperOut);
    EXPECT_EQ(direct.Feed(stream), "\x72\x1A"s);
}

TEST(PrinterOffline, TheIdleLimitWaitsWhileThePrinterHoldsTheClientsBytes) {
    PrinterBox::Options options = Options();
    options.tcp.idleLimit = 300ms;
    PrinterBox box(options);
    StatusFlags cover;
    cover.coverOpen = true;
    box.SetFlags(cover);
    UniqueFd client = Connect(box);
    Send(client.get(), "held\n");
    ASSERT_TRUE(Eventually([&] { return box.TcpBuffered() == 5; }));
    // Silent for three idle limits, but the printer is what keeps it waiting: still connected.
    char byte = 0;
    EXPECT_EQ(kelvo::ReadWithin(client.get(), &byte, 1, 900ms, true).error, ETIMEDOUT);
    box.SetFlags({});
    EXPECT_TRUE(Eventually([&] { return PaperText(box, kNetwork).size() == 1; }));
    // Then silent with nothing held: closed at the limit.
    const auto r = kelvo::ReadWithin(client.get(), &byte, 1, 5s, true);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.count, 0u);
    ASSERT_TRUE(Eventually([&] {
        return box.With(kNetwork, [](VirtualPrinter& p) { return p.Jobs().size(); }) == 1;
    }));
    EXPECT_EQ(box.With(kNetwork, [](VirtualPrinter& p) { return p.Jobs().back().end; }), "idle");
}

TEST(PrinterBoxEnded, KeepsTheNewestJobsOfEveryEndpointWithTheirBytesAndAnswersUpToItsBound) {
    PrinterBox::Options options = Options();
    options.keepEnded = 2;
    PrinterBox box(options);
    for (int i = 1; i <= 3; ++i) {
        UniqueFd client = Connect(box);
        Send(client.get(), "job " + std::to_string(i) + "\n\x10\x04\x01");
        EXPECT_EQ(Read(client.get(), 1), "\x12");
    }
    ASSERT_TRUE(Eventually([&] { return box.EndedLost() == 1; }));
    auto ended = box.TakeEnded();
    ASSERT_EQ(ended.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        const kelvo::printer::EndedJob& job = ended[size_t(i)];
        const std::string text = "job " + std::to_string(i + 2);
        EXPECT_EQ(job.printer, kNetwork);
        EXPECT_EQ(job.trace.bytes, text + "\n\x10\x04\x01");
        EXPECT_EQ(job.record.bytes, job.trace.bytes.size());
        EXPECT_EQ(job.trace.answers, "\x12");
        EXPECT_EQ(job.record.end, "closed");
        ASSERT_EQ(job.paper.size(), 1u);
        EXPECT_EQ(std::get<PaperLine>(job.paper[0]).runs.at(0).utf8, text);
    }

    // A serial frame for the line's printer and one for bridged printer 003 behind its header:
    // the header ends the first, the pause the second.
    {
        UniqueFd port(::open(box.PtyPath().c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(port.valid());
        Send(port.get(), "\x1F\x1B\x1F\xFF\x11line\n+++++DYSJ003radio\n", false);
    }
    ASSERT_TRUE(Eventually([&] {
        box.EndPausedFrame();
        for (auto& job : box.TakeEnded())
            ended.push_back(std::move(job));
        return ended.size() == 4;
    }));
    EXPECT_EQ(ended[2].printer, kSerial);
    EXPECT_EQ(ended[2].trace.bytes, "\x1F\x1B\x1F\xFF\x11line\n");
    EXPECT_EQ(ended[2].trace.before.codePage, 0);
    EXPECT_EQ(ended[2].after.codePage, 0x11);
    EXPECT_EQ(ended[3].printer, 4);
    EXPECT_EQ(ended[3].record.endpoint, "wireless 003");
    EXPECT_EQ(ended[3].trace.bytes, "radio\n");

    // More status requests than a record keeps: every one answered, the record capped.
    const size_t asked = kelvo::printer::kJobTraceAnswers + kelvo::printer::kRecordCommands;
    {
        UniqueFd client = Connect(box);
        std::string requests;
        for (size_t i = 0; i < asked; ++i)
            requests += "\x10\x04\x01";
        Send(client.get(), requests);
        EXPECT_EQ(Read(client.get(), asked), std::string(asked, '\x12'));
    }
    ASSERT_TRUE(Eventually([&] { return (ended = box.TakeEnded()).size() == 1; }));
    EXPECT_EQ(ended[0].trace.answers.size(), kelvo::printer::kJobTraceAnswers);
    const std::string record = RecordJson(kelvo::printer::ReportOf(ended[0]), 1);
    EXPECT_NE(record.find("\"commands_more\": {\n        \"DLE EOT\": 4096\n    },"),
              std::string::npos)
        << record;
    EXPECT_NE(record.find("\"status_answers_more\": 1000,\n"), std::string::npos);

    // Stopped during a job: the job ends, as it was told.
    UniqueFd client = Connect(box);
    Send(client.get(), "cut\n\x1D\x76\x30");
    ASSERT_TRUE(Eventually([&] { return BytesPrinted(box, kNetwork) == 3 * (9 + asked) + 7; }));
    box.Stop("stopped");
    ended = box.TakeEnded();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].record.end, "stopped");
    EXPECT_EQ(ended[0].record.dropped, "GS v 0");
    EXPECT_EQ(ended[0].trace.bytes, "cut\n\x1D\x76\x30");
}

namespace {

// A 48 KiB receipt of 1024 lines of 48 bytes, each advancing 30 dots: 3840 mm of paper.
constexpr size_t kReceiptLines = 1024, kLineDots = 30;

struct Paced {
    const char* name;
    bool serial;
    double mmPerSecond;
    int sendTimeoutSeconds;  // 0: the client waits as long as it takes
};

class PrintSpeed : public ::testing::TestWithParam<Paced> {};
class SerialLineSpeed : public ::testing::TestWithParam<uint32_t> {};

}  // namespace

TEST_P(PrintSpeed, TheReceiptTakesThePaperTimeWhileTheClientsWritesBlockOrTimeOutWhereTheyMust) {
    const Paced& c = GetParam();
    PrinterBox::Options options = Options();
    options.printSpeedMmPerSecond = c.mmPerSecond;
    PrinterBox box(options);
    const int index = c.serial ? kSerial : kNetwork;
    std::string receipt;
    for (size_t i = 0; i < kReceiptLines; ++i)
        receipt += Lines(i, 1).substr(0, kLineBytes - 1) + std::string(40, '.') + "\n";
    const int clientBuffer = 4096;
    UniqueFd client = c.serial ? OpenRaw(box.PtyPath()) : Connect(box);
    ::fcntl(client.get(), F_SETFL, 0);  // blocking writes
    if (c.serial) {
        ASSERT_EQ(kelvo::ApplySerialLine(client.get(), kelvo::SpeedSearchLine()), 0);  // XON/XOFF
    } else {
        ::setsockopt(client.get(), SOL_SOCKET, SO_SNDBUF, &clientBuffer, sizeof clientBuffer);
        const timeval limit{c.sendTimeoutSeconds, 0};
        ::setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    const auto start = std::chrono::steady_clock::now();
    // One write, as a POS hands its receipt over; on a socket it returns short at the time-out.
    const ssize_t sent = ::write(client.get(), receipt.data(), receipt.size());
    // It ended only once the paper had taken all but what the buffers between hold: the
    // printer's, the kernel's (a socket's counted double, as Linux does; a pty's about 16 KiB).
    const uint64_t printed = BytesPrinted(box, index);
    EXPECT_LE(static_cast<size_t>(sent),
              printed + kelvo::printer::kReceiveBuffer +
                  (c.serial ? 20 * 1024 : 2 * (PrinterBox::kPacedSocketBuffer + clientBuffer)));
    if (c.sendTimeoutSeconds > 0) {
        const double expected = c.mmPerSecond * 8 / kLineDots * 48 * c.sendTimeoutSeconds;
        EXPECT_NEAR(static_cast<double>(printed), expected, expected / 10);
        return;
    }
    ASSERT_EQ(static_cast<size_t>(sent), receipt.size());
    ASSERT_TRUE(Eventually([&] { return BytesPrinted(box, index) == receipt.size(); }, 30s));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const double paperTime = kReceiptLines * kLineDots / 8.0 / c.mmPerSecond;
    EXPECT_EQ(box.With(index, [](VirtualPrinter& p) { return p.PaperFed(); }),
              kReceiptLines * kLineDots);
    EXPECT_NEAR(took.count(), paperTime, paperTime / 10);
}

INSTANTIATE_TEST_SUITE_P(PrinterSpeed, PrintSpeed,
                         ::testing::Values(Paced{"Tcp1000MmPerSecond", false, 1000, 0},
                                           Paced{"Serial1000MmPerSecondByXoff", true, 1000, 0},
                                           Paced{"Tcp400MmPerSecondAgainstAThreeSecondTimeOut",
                                                 false, 400, 3}),
                         kelvo::testing::NamedByName());

TEST_P(SerialLineSpeed, OnlyAClientAtThePrintersStoredSpeedIsHeardTheRestPrintsAsGarbage) {
    PrinterBox::Options options = Options();
    options.serialBaud = 38400;
    PrinterBox box(options);
    const bool heard = GetParam() == 38400;
    UniqueFd port = OpenRaw(box.PtyPath());
    kelvo::SerialLineSettings line = kelvo::SpeedSearchLine();
    line.baudRate = GetParam();
    ASSERT_EQ(kelvo::ApplySerialLine(port.get(), line), 0);
    Send(port.get(), Lines(0, 20), false);
    ASSERT_TRUE(Eventually([&] {
        box.EndPausedFrame();  // the frame ends once the line pauses
        return box.With(kSerial, [](VirtualPrinter& p) { return p.Jobs().size(); }) == 1;
    }));
    const auto lines = PaperText(box, kSerial);
    // Else as a UART at the wrong speed reads it: from a slower client, lines of garbage.
    EXPECT_EQ(lines.size() == 20 && lines.back() == "L000019", heard);
    EXPECT_EQ(lines.empty(), GetParam() > 38400);
    port.reset();
    const auto found = kelvo::FindSerialSpeed(box.PtyPath());
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->baudRate, 38400u);
}

INSTANTIATE_TEST_SUITE_P(PrinterSpeed, SerialLineSpeed, ::testing::Values(38400, 9600, 115200));
