// The command line as a user runs it: the program in a process of its own, its exit status,
// stdout and stderr, against loopback printers, pseudo-terminals and files.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <QImage>

#include "links/UniqueFd.h"
#include "printer/PrinterBox.h"
#include "testing/ActionBytes.h"
#include "testing/BmpFiles.h"
#include "testing/CupsServer.h"
#include "testing/Eventually.h"
#include "testing/Files.h"
#include "testing/LoopbackPrinter.h"
#include "testing/NetnsHost.h"
#include "testing/PosPeer.h"
#include "testing/Process.h"
#include "testing/Pty.h"
#include "testing/StatusResponder.h"
#include "testing/SymbolReader.h"
#include "testing/TempDir.h"
#include "testing/TestHost.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using kelvo::testing::ActionBytes;
using kelvo::testing::Finished;
using kelvo::testing::LoopbackPrinter;
using kelvo::testing::OwnLoopbackHost;
using Clock = std::chrono::steady_clock;

// kelvotool in a process of its own.
class Tool : public kelvo::testing::Process {
  public:
    explicit Tool(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                  const std::vector<std::string>& launcher = {})
        : Process(KELVOTOOL, args, env, launcher) {}
};

Finished RunTool(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return Tool(args, env).Finish();
}

std::string Address(const LoopbackPrinter& printer) {
    return printer.host() + ":" + std::to_string(printer.port());
}

constexpr auto Slurp = kelvo::testing::FileBytes;
constexpr auto Write = kelvo::testing::WriteFile;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// An address on this suite's own loopback range where nothing listens.
std::string Refusing() {
    return OwnLoopbackHost(250) + ":1";
}

// ---- The same bytes as the window, from one table ----------------------------------------------

class CommandBytes : public ::testing::TestWithParam<ActionBytes> {};

TEST_P(CommandBytes, ReachThePrinterExactlyAsTheWindowsDo) {
    const ActionBytes& action = GetParam();
    std::vector<std::string> args = action.args;
    if (action.peer == ActionBytes::Peer::Network) {
        LoopbackPrinter printer(OwnLoopbackHost(), 0);
        args.insert(args.end(), {"-p", Address(printer)});
        const Finished run = RunTool(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(run.err.empty()) << run.err;
        ASSERT_TRUE(printer.waitForClosed(1));
        EXPECT_EQ(printer.bytes(), action.wire);
    } else {
        kelvo::testing::TempDir dir;
        args.insert(args.end(), {"-p", "file:" + dir / "port"});
        const Finished run = RunTool(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(Slurp(dir / "port"), action.wire);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CommandBytes, ::testing::ValuesIn(kelvo::testing::ActionTable()),
                         [](const auto& info) { return info.param.name; });

TEST(CommandLine, SetsTheSerialLineThenWritesTheDrawerPulseToAPort) {
    kelvo::testing::Pty pty;
    const Finished run = RunTool({"drawer", "-p", pty.slavePath(), "--baud", "38400"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(pty.read(5), std::string("\x1B\x70\x00\x28\x28", 5));
    termios line{};
    kelvo::UniqueFd slave(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY));
    ASSERT_EQ(::tcgetattr(slave.get(), &line), 0);
    EXPECT_EQ(::cfgetospeed(&line), B38400);
}

TEST(CommandLine, NvPrintGoesAsOneRawJobThroughAPrintQueue) {
    if (const std::string why = kelvo::testing::CupsServer::MissingPieces(); !why.empty())
        GTEST_SKIP() << why;
    LoopbackPrinter printer(OwnLoopbackHost(70), 0);
    kelvo::testing::CupsServer server;  // the child reaches it through the environment
    server.AddRawQueue("Receipt", printer.host(), printer.port());
    const Finished run = RunTool({"nv-print", "--json", "-p", "cups:Receipt"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"kind\":\"cups\",\"outcome\":\"ok\""), std::string::npos) << run.out;
    EXPECT_TRUE(server.WaitForJobsEnded());
    EXPECT_EQ(printer.waitForBytes(13),
              std::string("\x1B\x40\x1B\x61\x01\x1D\x54\x1C\x70\x01\x30\x1B\x40"));
    const Finished missing = RunTool({"nv-print", "-p", "cups:NoSuchQueue"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_FALSE(missing.err.empty());
}

TEST(CommandLine, DryRunShowsTheCommandsAndHexAndSendsNothing) {
    LoopbackPrinter printer(OwnLoopbackHost(), 0);
    const Finished run = RunTool({"drawer", "--dry-run", "-p", Address(printer)});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("ESC p"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("hex: 1B 70 00 28 28 0D 0A"), std::string::npos) << run.out;
    EXPECT_EQ(printer.settle(), "");
    EXPECT_EQ(printer.connectionCount(), 0u);
}

TEST(CommandLine, StatusReportsTheFourAnswersAsJson) {
    LoopbackPrinter printer(OwnLoopbackHost(), 0);
    printer.setStatusAnswers({0x16, 0x12, 0x12, 0x72});
    const Finished run = RunTool({"status", "--json", "-p", Address(printer)});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"outcome\":\"ok\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"answers\":[22,18,18,114]"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"paper_out\":true"), std::string::npos) << run.out;
}

// Bytes whose fixed bits are wrong are no status answer, to status as to discover; and loopback has
// no neighbour entry, so mac has no address to give.
TEST(CommandLine, StatusDiscoverAndMacFailAtAPeerThatAnswersZeroes) {
    const std::string host = OwnLoopbackHost(4);
    LoopbackPrinter zero(host, 9100);
    zero.setStatusAnswers({0x00, 0x00, 0x00, 0x00});
    const Finished status = RunTool({"status", "--json", "-p", host});
    EXPECT_EQ(status.status, 1);
    EXPECT_NE(status.out.find("\"outcome\":\"failed\""), std::string::npos) << status.out;
    EXPECT_NE(status.err.find("no status byte (00 00 00 00)"), std::string::npos) << status.err;
    const Finished scan = RunTool({"discover", host});
    EXPECT_EQ(scan.status, 1);
    EXPECT_NE(scan.err.find("0 printers among 1 addresses; 0 refused, 0 reset, 0 silent, 1 "
                            "accepted without answering"),
              std::string::npos)
        << scan.err;
    const Finished mac = RunTool({"mac", "-p", host});
    EXPECT_EQ(mac.status, 1);
    EXPECT_NE(mac.err.find("no MAC address found for " + host), std::string::npos) << mac.err;
    EXPECT_EQ(mac.out, "");
}

TEST(CommandLine, NamesAPrinterByIpv6AndSaysSoWhenANameIsUnknown) {
    std::string whyNot;
    const auto printer = LoopbackPrinter::OnIpv6Loopback(9100, &whyNot);
    if (!printer)
        GTEST_SKIP() << whyNot;
    for (const std::string name : {"[::1]:9100", "::1", "[::1]"})
        EXPECT_EQ(RunTool({"drawer", "-p", name}).status, 0) << name;
    EXPECT_TRUE(printer->waitForClosed(3));
    EXPECT_EQ(printer->connections(),
              std::vector<std::string>(3, std::string("\x1B\x70\x00\x28\x28\r\n", 7)));
    const Finished unknown = RunTool({"drawer", "-p", std::string(64, 'x') + ".invalid"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("Socket Error # 11001 Host not found."), std::string::npos)
        << unknown.err;
}

TEST(CommandLine, DiscoverListsThePrinterThatAnswersInATypedRange) {
    LoopbackPrinter printer(OwnLoopbackHost(), 9100);
    printer.setStatusAnswers({0x16, 0x12, 0x12, 0x12});
    const std::string range = OwnLoopbackHost() + "," + OwnLoopbackHost(2);
    const Finished text = RunTool({"discover", range});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out.find(OwnLoopbackHost() + " "), 0u) << text.out;
    EXPECT_NE(text.out.find("status 16"), std::string::npos) << text.out;
    EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 1) << text.out;
    EXPECT_NE(text.err.find("1 printers among 2 addresses; 1 refused"), std::string::npos)
        << text.err;

    // One more that names its model in GBK ("热敏"): bytes that are not UTF-8 become U+FFFD in
    // JSON, \xNN on a terminal; and one whose model would retitle and clear the terminal.
    LoopbackPrinter gbk(OwnLoopbackHost(3), 9100), hostile(OwnLoopbackHost(5), 9100);
    gbk.setStatusAnswers({0x12, 0x12, 0x12, 0x12}, "QM417\xC8\xC8\xC3\xF4");
    hostile.setStatusAnswers({0x12, 0x12, 0x12, 0x12}, "QM\x1B]0;x\a\r\x1B[2J\xC2\x9B");
    const std::string more = "," + OwnLoopbackHost(3) + "," + OwnLoopbackHost(5);
    const Finished plain = RunTool({"discover", range + more});
    EXPECT_NE(plain.out.find(" QM417\\xC8\\xC8\\xC3\\xF4 "), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find(" QM\\x1B]0;x\\x07\\x0D\\x1B[2J\\xC2\\x9B "), std::string::npos)
        << plain.out;
    const Finished json = RunTool({"discover", "--json", range + more});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("{\"address\":\"" + OwnLoopbackHost() + "\",\"mac\":"),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"status\":22,\"model\":\"\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"status\":18,\"model\":\"QM417\uFFFD\uFFFD\uFFFD\uFFFD\""),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"model\":\"QM\\u001b]0;x\\u0007\\r\\u001b[2J\\u009b\""),
              std::string::npos)
        << json.out;
}

TEST(CommandLine, FindSpeedReportsTheFirstRateThePrinterAnswersAt) {
    kelvo::testing::Pty pty;
    kelvo::testing::StatusResponder printer(pty, {0x12, 0x12, 0x12, 0x12});
    const Finished run = RunTool({"find-speed", "--json", pty.slavePath()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"baud\":115200,\"status\":18"), std::string::npos) << run.out;
}

TEST(CommandLine, DecodeListsTheCommandsOfAFile) {
    kelvo::testing::TempDir dir;
    Write(dir / "job.bin", std::string("\x1B\x40Hi\n\x1D\x56\x42\x05", 9));
    const Finished text = RunTool({"decode", dir / "job.bin"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(Lines(text.out).size(), 4u) << text.out;
    EXPECT_NE(text.out.find("\"Hi\""), std::string::npos) << text.out;
    const Finished json = RunTool({"decode", "--json", dir / "job.bin"});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("\"name\":\"GS V\",\"args\":\"42 05\""), std::string::npos) << json.out;
}

TEST(CommandLine, CheckNamesEachFindingAtItsOffsetAndExitsOneOnlyThen) {
    kelvo::testing::TempDir dir;
    Write(dir / "good.bin", "Hi\n\x1D\x56\x42\x05"s);
    Write(dir / "bad.bin", "Hi\n\x1B\x7E\x01"s);
    const Finished good = RunTool({"check", dir / "good.bin", "--paper", "58"});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(good.out, "");
    const Finished bad = RunTool({"check", dir / "bad.bin"});
    EXPECT_EQ(bad.status, 1) << bad.err;
    EXPECT_EQ(bad.out, dir / "bad.bin:3: unknown-command: bytes no command of this family " +
                           "explains: 1B 7E 01\n" + dir / "bad.bin:3: no-cut: the receipt is " +
                           "never cut: its last line ends here\n");
    const Finished json = RunTool({"check", "--json", dir / "bad.bin"});
    EXPECT_EQ(json.status, 1);
    EXPECT_NE(json.out.find("\"offset\":3,\"kind\":\"no-cut\""), std::string::npos) << json.out;
}

TEST(CommandLine, ACommandThatDrawsNothingNeverLoadsTheWidgets) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"status", "--help"}, {"help"}}) {
        const Finished run = RunTool(args, {"LD_DEBUG=libs"});
        EXPECT_EQ(run.status, 0);
        EXPECT_NE(run.out.find("Usage: kelvotool"), std::string::npos) << run.out;
        EXPECT_NE(run.err.find("calling init"), std::string::npos);  // the loader did report
        EXPECT_EQ(run.err.find("libQt6Widgets"), std::string::npos) << args[0];
        EXPECT_EQ(run.err.find("libQt6Core"), std::string::npos) << args[0];
    }
    const Finished window = RunTool({"--version"});
    EXPECT_EQ(window.status, 0) << window.err;
    EXPECT_EQ(window.out, "kelvotool 6.5\n");
}

TEST(CommandLine, RenderDrawsTheTestPageWithoutADisplay) {
    kelvo::testing::TempDir dir;
    Write(dir / "page.bin", kelvo::testing::ActionTable().front().wire);
    const Finished run = RunTool({"render", dir / "page.bin", "-o", dir / "page.png"});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string png = Slurp(dir / "page.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    const auto big = [&](size_t at) {
        return (uint8_t(png[at]) << 24) | (uint8_t(png[at + 1]) << 16) |
               (uint8_t(png[at + 2]) << 8) | uint8_t(png[at + 3]);
    };
    EXPECT_EQ(big(16), 576u);  // IHDR width: 80 mm paper
    EXPECT_GT(big(20), 100u);
    const Finished full = RunTool({"render", dir / "page.bin", "-o", "/dev/full"});
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("render: /dev/full: No space left on device"), std::string::npos)
        << full.err;
}

TEST(CommandLine, UsageErrorsExitWithTwoAndSendNothing) {
    LoopbackPrinter printer(OwnLoopbackHost(), 0);
    kelvo::testing::TempDir dir;
    Write(dir / "numbers.csv", "\xEF\xBB\xBFprinter,Number\n" + Address(printer) + ",005\n");
    Write(dir / "lab.json", R"({"printers": [{"name": "a", "listen": "127.0.0.1:9"},
                                             {"name": "b", "listen": "[::1]:9", "lpd": "127.0.0.1:9"}]})");
    struct Bad {
        std::vector<std::string> args;
        std::string says = "kelvotool";
    };
    for (const auto& [args, says] : std::vector<Bad>{
             {{"drawer"}},
             {{"drawer", "-p", Address(printer), "--bogus"}},
             {{"set-ip", "-p", Address(printer)}},
             {{"params", "--charset", "(Atlantis)", "-p", Address(printer)}},
             {{"send", "/nonexistent/file", "-p", Address(printer)}},
             {{"discover", "127.0.0.0/8"}},
             {{"discover", OwnLoopbackHost() + "-" + OwnLoopbackHost(1) + ".0"}},
             {{"drawer", "-p", "COM0"}, "kelvotool drawer: 'COM0' names no port"},
             {{"drawer", "-p", "[::1]9100"}, "kelvotool drawer: '[::1]9100' names no printer"},
             {{"virtual-printer", "--idle", "abc"}, "kelvotool virtual-printer: --idle: "},
             {{"virtual-printer", "--listen=127.0.0.1:70000"}, "virtual-printer: --listen: "},
             {{"virtual-printer", "--paper", "57"}, "kelvotool virtual-printer: --paper: "},
             {{"virtual-printer", "--speed", "fast"}, "virtual-printer: --speed: takes 0 to"},
             {{"render", "-o"}, "kelvotool render: -o needs a value"},
             {{"print", "-p", Address(printer)}, "kelvotool print: print needs something"},
             {{"print", "--barcode", "EAN99:1", "-p", Address(printer)}, "'EAN99' is no bar"},
             {{"print", "--size", "9x1", "-p", Address(printer)}, "--size takes WxH, 1 to 8"},
             {{"print", "--image", "/", "-p", Address(printer)}, "kelvotool print: /: "},
             {{"render", KELVO_RECEIPTS_DIR "/epe_table.bin"}, "needs -o OUT.png, --text or"},
             {{"render", KELVO_RECEIPTS_DIR "/epe_table.bin", "--diff", "d.png"}, "go with --"},
             {{"check", "/nonexistent", "--paper", "57"}, "kelvotool check: --paper: takes 58"},
             {{"check", "/nonexistent"}, "kelvotool check: /nonexistent: No such file"},
             {{"tset-page"}, "'tset-page' is no command\n\nUsage: kelvotool COMMAND"},
             {{"send", "/", "-p", Address(printer)}, "kelvotool send: /: is a directory"},
             {{"render", "/nonexistent", "-o", dir / "x.png"}, "render: /nonexistent: No such"},
             {{"virtual-printer", "--listen", "localhost"}, "'localhost' is no numeric address"},
             {{"wireless", "--targets", dir / "numbers.csv"}, "csv:1: unknown column 'Number'"},
             {{"virtual-printer", "--exit-after", "0"}, "--exit-after: takes 1 to"},
             {{"virtual-printer", "--lab", dir / "lab.json"}, "printers[1].lpd: '127.0.0.1:9"},
             {{"virtual-printer", "--lab", dir / "x.json", "--save", "x"}, "--save: the lab file"},
             {{"virtual-printer", "--lab", dir / "numbers.csv"}, "numbers.csv: no JSON: "},
             {{"virtual-printer", "--persona", dir / "numbers.csv"}, "csv: not a pcapng capture"},
             {{"tap", "-p", "COM1", "--listen", "9100"}, "tap: --listen: not for a serial"}}) {
        const Finished run = RunTool(args);
        EXPECT_EQ(run.status, 2) << args[0] << ": " << run.err;
        EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
    }
    EXPECT_EQ(printer.connectionCount(), 0u);
}

// ---- A receipt from options, judged by the virtual printer --------------------------------------

std::string LineText(const kelvo::printer::PaperItem& item) {
    std::string text;
    if (const auto* line = std::get_if<kelvo::printer::PaperLine>(&item)) {
        for (const kelvo::printer::TextRun& run : line->runs)
            text += run.utf8;
    }
    return text;
}

TEST(Print, TypedLinesADitheredPhotoAndScannableSymbolsReachThePaper) {
    using namespace kelvo::printer;
    PrinterBox::Options options;
    options.tcp.host = OwnLoopbackHost(90);
    options.tcp.port = 0;
    options.serial = false;
    options.keepEnded = 1;
    PrinterBox box(options);
    kelvo::testing::TempDir dir;
    // A left-to-right gradient from black to white.
    QImage photo(64, 32, QImage::Format_Grayscale8);
    for (int y = 0; y < photo.height(); ++y) {
        for (int x = 0; x < photo.width(); ++x)
            photo.scanLine(y)[x] = static_cast<uchar>(x * 255 / 63);
    }
    ASSERT_TRUE(photo.save(QString::fromStdString(dir / "photo.png")));
    const std::pair<const char*, std::string> lines[] = {{"French", "Ça coûte 5 € à Noël"},
                                                         {"Russian", "Съешь ещё этих булок"},
                                                         {"Polish", "Zażółć gęślą jaźń"},
                                                         {"Greek", "ΚΑΛΗΜΕΡΑ ΚΟΣΜΕ"},
                                                         {"Chinese", "打印机测试：你好"}};
    std::vector<std::string> args = {"print", "-p", box.TcpAddress()};
    for (const auto& [language, line] : lines)
        args.insert(args.end(), {"--text", line});
    args.insert(args.end(),
                {"--image", dir / "photo.png", "--align", "center", "--qr",
                 "https://example.com/r?id=42", "--barcode", "CODE128:KV-2026-0042", "--cut"});
    const Finished run = RunTool(args);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<EndedJob> ended;
    ASSERT_TRUE(kelvo::testing::Eventually([&] { return !(ended = box.TakeEnded()).empty(); }));
    const std::vector<PaperItem>& paper = ended[0].paper;
    ASSERT_GT(paper.size(), std::size(lines));
    for (size_t i = 0; i < std::size(lines); ++i)
        EXPECT_EQ(LineText(paper[i]), lines[i].second) << lines[i].first;

    std::vector<const PaperImage*> symbols;
    const PaperImage* picture = nullptr;
    for (const PaperItem& item : paper) {
        if (const auto* image = std::get_if<PaperImage>(&item))
            (image->symbol.empty() ? picture : symbols.emplace_back()) = image;
    }
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->width, kPaper80Dots);
    EXPECT_EQ(picture->height, kPaper80Dots / 2);
    // Eight strips across: each as dark as the photo there, in dots black and white.
    const int strip = picture->width / 8;
    for (int s = 0; s < 8; ++s) {
        size_t black = 0;
        for (int y = 0; y < picture->height; ++y) {
            for (int x = s * strip; x < (s + 1) * strip; ++x)
                black += picture->dots[static_cast<size_t>(y) * picture->width + x];
        }
        const double wanted = 1 - (8 * s + 3.5) / 63;
        EXPECT_NEAR(static_cast<double>(black) / (strip * picture->height), wanted, 0.05) << s;
    }
    ASSERT_EQ(symbols.size(), 2u);
    EXPECT_EQ(kelvo::testing::ReadSymbol(*symbols[0]), "QRCode:https://example.com/r?id=42");
    EXPECT_EQ(kelvo::testing::ReadSymbol(*symbols[1]), "Code128:KV-2026-0042");
    EXPECT_TRUE(std::holds_alternative<PaperCut>(paper.back()));
}

// ---- Failing printers --------------------------------------------------------------------------

TEST(FailingPrinter, ARefusedConnectionFailsWithTheWindowsText) {
    const Finished run = RunTool({"drawer", "--json", "-p", Refusing()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("(Connect the printer failure)"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("\"outcome\":\"failed\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"bytes\":0"), std::string::npos) << run.out;
}

TEST(FailingPrinter, APrinterThatTakesNothingEndsAtTheStallLimit) {
    LoopbackPrinter reading(OwnLoopbackHost(), 0, {LoopbackPrinter::Mode::Hold, 0});
    const kelvo::testing::FullBacklog accepting(OwnLoopbackHost(6));
    kelvo::testing::TempDir dir;
    Write(dir / "big.bin", std::string(24 << 20, 'x'));  // beyond what the kernel buffers
    // The kernel's own SYN retries would take 15 s before the second fails.
    for (const auto& [args, bound] :
         std::vector<std::pair<std::vector<std::string>, Clock::duration>>{
             {{"send", dir / "big.bin", "--json", "--stall-limit", "0.5", "-p", Address(reading)},
              30s},
             {{"drawer", "--json", "--stall-limit", "1", "-p", accepting.address}, 7s}}) {
        const auto start = Clock::now();
        const Finished run = RunTool(args);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.out.find("\"outcome\":\"failed\""), std::string::npos) << run.out;
        EXPECT_NE(run.err.find("Socket Error # 110"), std::string::npos) << run.err;
        EXPECT_LT(Clock::now() - start, bound) << args[0];
    }
}

TEST(FailingPrinter, CtrlCCancelsAnNvUploadAndReleasesThePort) {
    kelvo::testing::Pty pty;  // never read: the upload stops with the port's buffer full
    kelvo::testing::TempDir dir;
    kelvo::testing::BmpShape shape;
    shape.width = 2000;
    shape.height = 1000;
    shape.black = [](int x, int y) { return (x + y) % 3 == 0; };
    Write(dir / "logo.bmp", kelvo::testing::MakeBmp(shape));
    Tool tool({"nv-upload", dir / "logo.bmp", "--json", "-p", pty.slavePath()});
    pollfd started{pty.master(), POLLIN, 0};
    ASSERT_EQ(::poll(&started, 1, 60000), 1) << "the upload never began";
    tool.Signal(SIGINT);
    const Finished run = tool.Finish();
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.out.find("\"outcome\":\"cancelled\""), std::string::npos) << run.out;
    // The port is free again: another command takes it at once.
    pty.drain(50ms);
    const Finished next = RunTool({"drawer", "-p", pty.slavePath()});
    EXPECT_EQ(next.status, 0) << next.err;
}

// ---- The virtual printer without a screen ------------------------------------------------------

kelvo::UniqueFd ConnectTo(const std::string& host, uint16_t port) {
    kelvo::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("connect");
    return fd;
}

TEST(HeadlessPrinter, SavesEachJobOfEveryEndpointAndAJobCutShortBySigterm) {
    kelvo::testing::TempDir dir;
    const std::string jobs = dir / "jobs";
    Tool printer({"virtual-printer", "--save", jobs, "--listen", OwnLoopbackHost(60) + ":0"});
    ASSERT_TRUE(printer.WaitForOutput("\n")) << printer.OutputSoFar();
    const std::string banner = printer.OutputSoFar();
    const size_t colon = banner.rfind(':');
    ASSERT_NE(colon, std::string::npos) << banner;
    const std::string host = OwnLoopbackHost(60);
    const uint16_t port = static_cast<uint16_t>(std::stoi(banner.substr(colon + 1)));
    const size_t serial = banner.find(", serial ");
    ASSERT_NE(serial, std::string::npos) << banner;
    const std::string pty = banner.substr(serial + 9, banner.find('\n') - serial - 9);

    // Three clients, one after the other: three jobs.
    const std::string sent[3] = {kelvo::testing::ActionTable().front().wire,
                                 std::string("\x1B\x40Second receipt\n\x1D\x56\x42\x05", 21),
                                 std::string("\x1F\x02\x57\x49\x0A\x01\x02\x03\r\n", 10)};
    for (int i = 0; i < 3; ++i) {
        Write(dir / "in.bin", sent[i]);
        const Finished client =
            RunTool({"send", dir / "in.bin", "-p", host + ":" + std::to_string(port)});
        ASSERT_EQ(client.status, 0) << client.err;
        ASSERT_TRUE(printer.WaitForOutput("job " + std::to_string(i + 1) + ":"))
            << printer.OutputSoFar();
    }
    // One serial frame that carries bytes for the line's own printer, then a wireless frame for
    // printer 002 behind the header: a job each, ended by the header and by the pause.
    const std::string line = "\x1B\x40Serial receipt\n", radio = "\x1B\x40Radio receipt\n";
    {
        kelvo::UniqueFd port(::open(pty.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(port.valid()) << pty;
        const std::string frame = line + "+++++DYSJ002" + radio;
        ASSERT_EQ(::write(port.get(), frame.data(), frame.size()), ssize_t(frame.size()));
        ASSERT_TRUE(printer.WaitForOutput("from wireless 002, pause")) << printer.OutputSoFar();
    }
    EXPECT_NE(printer.OutputSoFar().find("job 4: 17 bytes from serial " + pty + ", header"),
              std::string::npos)
        << printer.OutputSoFar();
    // A last job is under way (its status request answered) when SIGTERM comes.
    const std::string partial = std::string(
        "\x1B\x40"
        "Fourth\x10\x04\x01\x1D\x76\x30\x00\x10",
        16);
    kelvo::UniqueFd client = ConnectTo(host, port);
    ASSERT_EQ(::write(client.get(), partial.data(), partial.size()), ssize_t(partial.size()));
    pollfd answered{client.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&answered, 1, 60000), 1);
    printer.Signal(SIGTERM);
    const Finished run = printer.Finish();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
    EXPECT_EQ(Lines(run.out).size(), 7u) << run.out;

    const std::string texts[3] = {"QM417", "Second receipt", ""};
    for (int i = 0; i < 3; ++i) {
        const std::string base = jobs + "/job-000" + std::to_string(i + 1);
        EXPECT_EQ(Slurp(base + ".bin"), sent[i]);
        EXPECT_NE(Slurp(base + ".txt").find(texts[i]), std::string::npos) << i;
        EXPECT_EQ(Slurp(base + ".png").substr(1, 3), "PNG");
        const std::string record = Slurp(base + ".json");
        EXPECT_NE(record.find("\"bytes\": " + std::to_string(sent[i].size())), std::string::npos)
            << record;
        EXPECT_NE(record.find("\"end\": \"closed\""), std::string::npos) << record;
    }
    EXPECT_NE(Slurp(jobs + "/job-0003.json").find("\"ip\": \"10.1.2.3\""), std::string::npos);
    const std::string framed[2] = {line, radio};
    const std::string from[2] = {"\"endpoint\": \"serial " + pty, "\"endpoint\": \"wireless 002"};
    for (int i = 0; i < 2; ++i) {
        const std::string base = jobs + "/job-000" + std::to_string(i + 4);
        EXPECT_EQ(Slurp(base + ".bin"), framed[i]);
        EXPECT_NE(Slurp(base + ".txt").find(framed[i].substr(2)), std::string::npos) << i;
        EXPECT_NE(Slurp(base + ".json").find(from[i]), std::string::npos) << Slurp(base + ".json");
    }
    EXPECT_EQ(Slurp(jobs + "/job-0006.bin"), partial);
    const std::string cut = Slurp(jobs + "/job-0006.json");
    EXPECT_NE(cut.find("cut short"), std::string::npos) << cut;
    EXPECT_NE(cut.find("\"dropped\": \"GS v 0\""), std::string::npos) << cut;
    EXPECT_NE(cut.find("\"status_answers\": \"12\""), std::string::npos) << cut;
    // Four files a job, whole, and nothing half-written beside them.
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(jobs))
        ++files;
    EXPECT_EQ(files, 24u);
}

TEST(HeadlessPrinter, ListensOnAnotherAddressNamedWithAWarningThatAnyoneThereCanPrint) {
    std::string whyNot;
    const auto far = kelvo::testing::NetnsHost::Create(&whyNot);
    if (!far)
        GTEST_SKIP() << whyNot;
    Tool printer({"virtual-printer", "--listen", far->farAddress() + ":0"}, {},
                 {"ip", "netns", "exec", far->namespaceName()});
    ASSERT_TRUE(printer.WaitForOutput("\n")) << printer.OutputSoFar();
    const std::string banner = printer.OutputSoFar();
    const std::string at = "TCP " + far->farAddress() + ":";
    ASSERT_NE(banner.find(at), std::string::npos) << banner;
    const auto port = static_cast<uint16_t>(std::stoi(banner.substr(banner.find(at) + at.size())));
    {
        kelvo::UniqueFd client = ConnectTo(far->farAddress(), port);
        const std::string receipt = "\x1B\x40Over the link\n";
        ASSERT_EQ(::write(client.get(), receipt.data(), receipt.size()), ssize_t(receipt.size()));
    }
    ASSERT_TRUE(printer.WaitForOutput("job 1: 16 bytes from TCP " + far->nearAddress()))
        << printer.OutputSoFar();
    printer.Signal(SIGTERM);
    const Finished run = printer.Finish();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("warning: listening on " + far->farAddress() +
                           ": anyone who can reach it can print"),
              std::string::npos)
        << run.err;
}

// The TCP address a headless printer's first line names.
std::string TcpAddressOf(Tool& printer) {
    EXPECT_TRUE(printer.WaitForOutput(", serial")) << printer.OutputSoFar();
    const std::string& banner = printer.OutputSoFar();
    const size_t at = banner.find("TCP ") + 4;
    return banner.substr(at, banner.find(',') - at);
}

TEST(HeadlessPrinter, GoesOnFromTheFoldersLastJobAndServesOnOnceItsReaderIsGone) {
    LoopbackPrinter taken(OwnLoopbackHost(62), 0);
    const Finished refused = RunTool({"virtual-printer", "--listen", Address(taken)});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Address already in use"), std::string::npos) << refused.err;
    kelvo::testing::TempDir dir;
    Write(dir / "job-0007.bin", "an earlier run's");
    Write(dir / "in.bin", "\x1B\x40receipt\n");
    Tool printer({"virtual-printer", "--save", dir.path(), "--listen", taken.host() + ":0"});
    const std::string address = TcpAddressOf(printer);
    printer.CloseOutput();
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(RunTool({"send", dir / "in.bin", "-p", address}).status, 0) << i << address;
    EXPECT_TRUE(kelvo::testing::WaitForFile(dir / "job-0009.json"));  // the record comes last
    EXPECT_EQ(Slurp(dir / "job-0007.bin"), "an earlier run's");
    EXPECT_EQ(Slurp(dir / "job-0009.bin"), "\x1B\x40receipt\n");
}

TEST(HeadlessPrinter, AJobThatDoesNotFitOnTheDiskIsNotSavedAndLeavesNoFile) {
    kelvo::testing::TempDir dir, in;
    kelvo::testing::SmallDisk disk(dir.path(), 64 << 10);
    if (!disk.why().empty())
        GTEST_SKIP() << disk.why();
    Write(dir / "filler", std::string(64 << 10, 'x'));  // as much of it as fits
    Write(in / "in.bin", "\x1B\x40receipt\n");
    Tool printer({"virtual-printer", "--save", dir.path(), "--listen", OwnLoopbackHost(63) + ":0"});
    ASSERT_EQ(RunTool({"send", in / "in.bin", "-p", TcpAddressOf(printer)}).status, 0);
    EXPECT_TRUE(printer.WaitForOutput(", NOT saved in " + dir.path())) << printer.OutputSoFar();
    printer.Signal(SIGTERM);
    const std::string err = printer.Finish().err;
    EXPECT_NE(err.find(dir / "job-0001.bin: No space left on device"), std::string::npos) << err;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);  // the filler
}

TEST(HeadlessPrinter, PaperOutOnCueHoldsTheReceiptUntilLabSetLoadsPaper) {
    kelvo::testing::TempDir dir;
    const std::string control = dir / "control";
    Tool printer({"virtual-printer", "--save", dir / "jobs", "--listen", OwnLoopbackHost(64) + ":0",
                  "--faults", "100mm paper-out", "--control", control});
    kelvo::testing::PosPeer pos(TcpAddressOf(printer));
    const std::string receipt = "\x1B\x40\x1D\x61\x08" + kelvo::testing::Receipt300mm();
    pos.Send(receipt);
    EXPECT_EQ(pos.Read(8), "\x10\x00\x00\x00\x18\x00\x0C\x00"s);  // GS a on; paper out
    EXPECT_EQ(pos.Status(4, 500ms), 0x72);
    const Finished loaded = RunTool({"lab", "set", "network", "paper-in", "--control", control});
    EXPECT_EQ(loaded.status, 0) << loaded.err;
    EXPECT_EQ(pos.Read(4), "\x10\x00\x00\x00"s);
    pos.link.Disconnect();
    ASSERT_TRUE(printer.WaitForOutput("job 1:")) << printer.OutputSoFar();
    EXPECT_EQ(Slurp(dir / "jobs/job-0001.bin"), receipt + "\x10\x04\x04");
    const std::vector<std::string> text = Lines(Slurp(dir / "jobs/job-0001.txt"));
    EXPECT_EQ(std::count_if(text.begin(), text.end(),
                            [](const std::string& line) { return line.find("  Item ") == 2; }),
              70);
    const Finished wrong = RunTool({"lab", "set", "network", "paper-gone", "--control", control});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err, "kelvotool lab: 'paper-gone' is no fault\n");
    printer.Signal(SIGTERM);
    EXPECT_NE(printer.Finish().err.find("control socket " + control + "\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(control));
}

// The value of `key` in a JSON line (a text or a number), as the line has it.
std::string Member(const std::string& line, const std::string& key) {
    const size_t at = line.find("\"" + key + "\":");
    if (at == std::string::npos)
        return {};
    const size_t from = at + key.size() + 3;
    if (line[from] == '"')
        return line.substr(from + 1, line.find('"', from + 1) - from - 1);
    return line.substr(from, line.find_first_of(",}", from) - from);
}

// Writes `bytes` and reads the `n` bytes the printer answers.
std::string Ask(int fd, const std::string& bytes, size_t n) {
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    std::string answer;
    char buffer[256];
    pollfd in{fd, POLLIN, 0};
    while (answer.size() < n && ::poll(&in, 1, 60000) == 1) {
        const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, n - answer.size()));
        if (got <= 0)
            break;
        answer.append(buffer, size_t(got));
    }
    return answer;
}

TEST(HeadlessPrinter, ALabOfThreeKeepsEachPrintersJobsInItsFolderUnderItsOwnIdentity) {
    kelvo::testing::TempDir dir;
    const std::string host = OwnLoopbackHost(64);
    const std::string names[3] = {"till-58", "kitchen-80", "office-lpd"};
    std::string lab = "{\"printers\": [";
    for (int i = 0; i < 3; ++i) {
        lab += std::string(i ? "," : "") + "{\"name\": \"" + names[i] + "\", \"listen\": \"" +
               host + ":0\", \"paper\": " + (i == 0 ? "58" : "80") + ", \"save\": \"" +
               dir / names[i] + "\", \"identity\": {\"model\": \"M-" + names[i] + "\"}" +
               (i == 2   ? ", \"lpd\": 0, \"settings\": {\"baud\": 9600}, \"pictures\": false}"
                : i == 0 ? ", \"script\": [\"job 1 paper-near-end\"]}"
                         : "}");
    }
    Write(dir / "lab.json", lab + "]}");
    Tool printer({"virtual-printer", "--lab", dir / "lab.json", "--json", "--exit-after", "3"});
    ASSERT_TRUE(printer.WaitForOutput("office-lpd")) << printer.OutputSoFar();
    const std::vector<std::string> banner = Lines(printer.OutputSoFar());
    ASSERT_EQ(banner.size(), 3u) << printer.OutputSoFar();
    auto port = [](const std::string& address) {
        return static_cast<uint16_t>(std::stoi(address.substr(address.rfind(':') + 1)));
    };
    // Only asked: a status exchange, which takes no job's number. Its printer's script has made
    // the paper near its end as the connection came.
    {
        kelvo::UniqueFd client = ConnectTo(host, port(Member(banner[0], "tcp")));
        EXPECT_EQ(Ask(client.get(), "\x10\x04\x04\x1D\x49\x42"s, 8), "\x1E_KELVO\0"s);
    }
    ASSERT_TRUE(printer.WaitForOutput("\"status exchange\"")) << printer.OutputSoFar();
    const std::string receipt = "\x1B\x40Lab receipt\n\x1D\x56\x42\x05"s;
    for (int i = 0; i < 2; ++i) {
        kelvo::UniqueFd client = ConnectTo(host, port(Member(banner[i], "tcp")));
        EXPECT_EQ(Ask(client.get(), "\x1D\x49\x43", 4 + names[i].size()), "_M-" + names[i] + "\0"s);
        ASSERT_EQ(::write(client.get(), receipt.data(), receipt.size()), ssize_t(receipt.size()));
    }
    {
        // By LPD: a data file, then the close.
        kelvo::UniqueFd client = ConnectTo(host, port(Member(banner[2], "lpd")));
        const std::string job =
            "\2q\n\3" + std::to_string(receipt.size()) + " dfA001host\n" + receipt + "\0"s;
        EXPECT_EQ(Ask(client.get(), job, 3), std::string(3, '\0'));
    }
    const Finished run = printer.Finish();
    EXPECT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 7u) << run.out;
    EXPECT_EQ(Member(lines[3], "answers"), "1E 5F 4B 45 4C 56 4F 00") << lines[3];
    for (int i = 0; i < 3; ++i) {
        const std::string line = *std::find_if(lines.begin() + 4, lines.end(), [&](auto& l) {
            return Member(l, "printer") == names[i];
        });
        EXPECT_EQ(Member(line, "event"), "job") << line;
        const std::string base = dir / (names[i] + "/job-0001");
        EXPECT_EQ(Member(line, "saved"), base) << line;
        EXPECT_EQ(Member(line, "first_line"), "Lab receipt") << line;
        EXPECT_EQ(Member(line, "endpoint").starts_with("LPD "), i == 2) << line;
        EXPECT_EQ(Slurp(base + ".bin"), i < 2 ? "\x1D\x49\x43" + receipt : receipt);
        // The third without its picture, which `render` draws from its bytes when wanted.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / names[i]), {}),
                  i == 2 ? 3 : 4);
        if (i == 2)
            continue;
        const std::string png = Slurp(base + ".png");
        ASSERT_GT(png.size(), 24u);
        EXPECT_EQ(uint8_t(png[18]) * 256 + uint8_t(png[19]), i == 0 ? 384 : 576);  // its paper
    }
    // Idle for a second, it ends by itself.
    EXPECT_EQ(RunTool({"virtual-printer", "--listen", host + ":0", "--exit-idle", "1"}).status, 0);
}

// ---- Many printers -----------------------------------------------------------------------------

TEST(Targets, ADozenPrintersWithTwoFailingReportExactlyThoseTwo) {
    std::vector<std::unique_ptr<LoopbackPrinter>> printers;
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
        if (i == 3 || i == 8) {
            names.push_back(OwnLoopbackHost(240 + i) + ":1");
            continue;
        }
        printers.push_back(std::make_unique<LoopbackPrinter>(OwnLoopbackHost(10 + i), 0));
        names.push_back(Address(*printers.back()));
    }
    kelvo::testing::TempDir dir;
    std::string list = "# the shop's printers\n";
    for (const std::string& name : names)
        list += name + "\n";
    Write(dir / "targets", list);

    const Finished run = RunTool({"drawer", "--targets", dir / "targets", "-j", "4", "--json"});
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 12u) << run.out;
    std::vector<std::string> failed;
    for (const std::string& line : lines) {
        if (line.find("\"outcome\":\"ok\"") != std::string::npos)
            continue;
        EXPECT_NE(line.find("\"outcome\":\"failed\""), std::string::npos) << line;
        failed.push_back(line.substr(line.find(':') + 2, line.find(',') - line.find(':') - 3));
    }
    std::sort(failed.begin(), failed.end());
    std::vector<std::string> expected = {names[3], names[8]};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(failed, expected);
    for (const auto& printer : printers)
        EXPECT_EQ(printer->waitForBytes(7), std::string("\x1B\x70\x00\x28\x28\r\n", 7));

    const Finished table = RunTool({"drawer", "--targets", dir / "targets", "-j", "12"});
    EXPECT_EQ(table.status, 1);
    EXPECT_NE(table.out.find("2 of 12 printers failed"), std::string::npos) << table.out;
}

TEST(Targets, ACsvGivesEachPrinterItsOwnValue) {
    LoopbackPrinter first(OwnLoopbackHost(30), 0), second(OwnLoopbackHost(31), 0);
    kelvo::testing::TempDir dir;
    // As a spreadsheet saves it: a byte-order mark first, and fields in quotes.
    Write(dir / "targets.csv", "\xEF\xBB\xBFprinter,ip\n" + Address(first) + ",10.0.0.5\n\"" +
                                   Address(second) + "\", \"10.0.0.6\"\n");
    const Finished run = RunTool({"set-ip", "--targets", dir / "targets.csv", "-j", "2"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(first.waitForBytes(10), std::string("\x1F\x02\x57\x49\x0A\x00\x00\x05\r\n", 10));
    EXPECT_EQ(second.waitForBytes(10), std::string("\x1F\x02\x57\x49\x0A\x00\x00\x06\r\n", 10));
}

}  // namespace

// ---- The tap ------------------------------------------------------------------------------------

// The port a start-up line names after `host`.
uint16_t PortAfter(const std::string& banner, const std::string& host) {
    const size_t at = banner.find(host + ":");
    return at == std::string::npos ? 0 : uint16_t(std::stoi(banner.substr(at + host.size() + 1)));
}

// A POS through the tap: two encoders' receipts, each followed by a status request, then a
// printer that resets in the middle of a job. Everything the POS sent reaches the printer, every
// answer reaches the POS, the POS's close lets its tail arrive, and the reset reaches the POS.
TEST(Tap, PassesEveryByteBothWaysNamesThemAndLetsEndsCrossAsThemselves) {
    LoopbackPrinter printer(OwnLoopbackHost(80), 0);
    printer.setStatusAnswers({0x12, 0x12, 0x12, 0x12});
    kelvo::testing::TempDir dir;
    const std::string capture = dir / "till.pcapng";
    Tool tap({"tap", "--json", "--listen", OwnLoopbackHost(81) + ":0", "-p", Address(printer),
              "--save", capture});
    ASSERT_TRUE(tap.WaitForOutput("\n")) << tap.OutputSoFar();
    const uint16_t port = PortAfter(tap.OutputSoFar(), OwnLoopbackHost(81));
    ASSERT_NE(port, 0) << tap.OutputSoFar();

    std::string sent;
    {
        kelvo::UniqueFd pos = ConnectTo(OwnLoopbackHost(81), port);
        for (const char* name : {"/epe_58mm_receipt.bin", "/epb_text_styles.bin"}) {
            const std::string bytes =
                Slurp(KELVO_RECEIPTS_DIR + std::string(name)) + "\x10\x04\x01";
            ASSERT_EQ(::write(pos.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
            sent += bytes;
            char answer = 0;
            pollfd in{pos.get(), POLLIN, 0};
            ASSERT_EQ(::poll(&in, 1, 10000), 1);
            ASSERT_EQ(::read(pos.get(), &answer, 1), 1);
            EXPECT_EQ(answer, '\x12');
        }
    }
    ASSERT_TRUE(printer.waitForClosed(1, 10s));
    EXPECT_EQ(printer.connections().at(0), sent);

    printer.setMode({LoopbackPrinter::Mode::ResetAfter, 100});
    const std::string job(4096, 'x');
    {
        kelvo::UniqueFd pos = ConnectTo(OwnLoopbackHost(81), port);
        ASSERT_EQ(::write(pos.get(), job.data(), job.size()), ssize_t(job.size()));
        pollfd in{pos.get(), POLLIN, 0};
        ASSERT_EQ(::poll(&in, 1, 10000), 1);
        char byte = 0;
        EXPECT_EQ(::read(pos.get(), &byte, 1), -1);
        EXPECT_EQ(errno, ECONNRESET);
    }
    tap.Signal(SIGTERM);
    const Finished run = tap.Finish();
    EXPECT_EQ(run.status, 0) << run.err;
    for (const std::string expected :
         {"\"event\":\"to-printer\",\"text\":\"ESC @  initialize\"",
          "\"event\":\"answer\",\"text\":\"12  DLE EOT 1: online, drawer pin 3 low\"",
          "\"event\":\"pos-closed\"", "\"event\":\"printer-closed\"",
          "\"event\":\"reset\",\"text\":\"the printer reset the connection\""})
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;

    // Played back: what the POS sent, both sessions, at its pace, to another printer.
    LoopbackPrinter other(OwnLoopbackHost(82), 0);
    const Finished replay = RunTool({"send", capture, "--pace", "-p", Address(other)});
    EXPECT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(other.waitForBytes(sent.size() + job.size()), sent + job);
}

// A serial POS through the tap: between the pty it opens and a serial printer's port (a second
// pty, at whose far end the test answers as the printer), at the speed named, until the port
// vanishes.
TEST(Tap, ASerialTapPassesEveryByteBothWaysAndHangsThePosUpWhenThePortVanishes) {
    kelvo::testing::Pty printer;
    kelvo::testing::TempDir dir;
    const std::string link = dir / "pos-tty";
    Tool tap({"tap", "--json", "-p", printer.slavePath(), "--baud", "19200", "--pty", link});
    ASSERT_TRUE(tap.WaitForOutput("\n")) << tap.OutputSoFar();
    const termios line = printer.lineSettings();
    EXPECT_EQ(cfgetospeed(&line), B19200);
    const std::string sent =
        Slurp(KELVO_RECEIPTS_DIR + std::string("/epe_58mm_receipt.bin")) + "\x10\x04\x01";
    kelvo::UniqueFd pos(::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(pos.valid()) << tap.OutputSoFar();
    ASSERT_EQ(::write(pos.get(), sent.data(), sent.size()), ssize_t(sent.size()));
    EXPECT_EQ(printer.read(sent.size()), sent);
    printer.write("\x12");
    pollfd in{pos.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&in, 1, 10000), 1);
    char answer = 0;
    EXPECT_EQ(::read(pos.get(), &answer, 1), 1);
    EXPECT_EQ(answer, '\x12');
    // The printer's adapter pulled out: the POS's port hangs up in turn, and the tap ends.
    printer.closeMaster();
    const Finished run = tap.Finish();
    EXPECT_EQ(run.status, 1) << run.err;
    ASSERT_EQ(::poll(&in, 1, 10000), 1);
    EXPECT_LE(::read(pos.get(), &answer, 1), 0);
    for (const std::string expected :
         {"\"event\":\"answer\",\"text\":\"12  DLE EOT 1: online", "\"event\":\"reset\""})
        EXPECT_NE(run.out.find(expected), std::string::npos) << run.out;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

// A tap's capture of a printer with answers of its own: a virtual printer that takes it as its
// persona answers as that printer did, and as itself to what the capture never asked.
TEST(Tap, AVirtualPrinterWithACapturesPersonaAnswersAsTheCapturedPrinterDid) {
    LoopbackPrinter printer(OwnLoopbackHost(83), 0);
    printer.setStatusAnswers({0x1E, 0x12, 0x12, 0x12}, "TILL-9");
    kelvo::testing::TempDir dir;
    const std::string capture = dir / "till.pcapng", tapHost = OwnLoopbackHost(84);
    const std::string asked = "\x10\x04\x01\x1D\x49\x43"s, answers = "\x1E_TILL-9\0"s;
    {
        Tool tap({"tap", "--listen", tapHost + ":0", "-p", Address(printer), "--save", capture});
        ASSERT_TRUE(tap.WaitForOutput("\n")) << tap.OutputSoFar();
        kelvo::UniqueFd pos = ConnectTo(tapHost, PortAfter(tap.OutputSoFar(), tapHost));
        EXPECT_EQ(Ask(pos.get(), asked, answers.size()), answers);
        tap.Signal(SIGTERM);
        EXPECT_EQ(tap.Finish().status, 0);
    }
    const std::string host = OwnLoopbackHost(85);
    Tool persona({"virtual-printer", "--listen", host + ":0", "--persona", capture});
    ASSERT_TRUE(persona.WaitForOutput("\n")) << persona.OutputSoFar();
    kelvo::UniqueFd pos = ConnectTo(host, PortAfter(persona.OutputSoFar(), host));
    EXPECT_EQ(Ask(pos.get(), asked, answers.size()), answers);
    EXPECT_EQ(Ask(pos.get(), "\x10\x04\x02", 1), "\x12");
}

// A receipt through the tap to a virtual printer, then the capture played back to another: the
// same paper.
TEST(Tap, ACaptureReplayedToAnotherVirtualPrinterGivesTheSamePaper) {
    kelvo::testing::TempDir dir;
    const std::string capture = dir / "till.pcapng", tapHost = OwnLoopbackHost(88);
    std::string paper[2];
    for (int i = 0; i < 2; ++i) {
        const std::string host = OwnLoopbackHost(86 + i), jobs = dir / std::to_string(i);
        Tool printer(
            {"virtual-printer", "--listen", host + ":0", "--save", jobs, "--exit-after", "1"});
        ASSERT_TRUE(printer.WaitForOutput("\n")) << printer.OutputSoFar();
        const std::string address =
            host + ":" + std::to_string(PortAfter(printer.OutputSoFar(), host));
        if (i == 0) {
            Tool tap({"tap", "--listen", tapHost + ":0", "-p", address, "--save", capture});
            ASSERT_TRUE(tap.WaitForOutput("\n")) << tap.OutputSoFar();
            const std::string receipt = Slurp(KELVO_RECEIPTS_DIR "/epe_58mm_receipt.bin");
            kelvo::UniqueFd pos = ConnectTo(tapHost, PortAfter(tap.OutputSoFar(), tapHost));
            ASSERT_EQ(::write(pos.get(), receipt.data(), receipt.size()), ssize_t(receipt.size()));
            pos.reset();
            ASSERT_TRUE(printer.WaitForOutput("job 1:")) << printer.OutputSoFar();
            tap.Signal(SIGTERM);
            EXPECT_EQ(tap.Finish().status, 0);
        } else {
            EXPECT_EQ(RunTool({"send", capture, "-p", address}).status, 0);
        }
        EXPECT_EQ(printer.Finish().status, 0);
        paper[i] = Slurp(jobs + "/job-0001.png") + Slurp(jobs + "/job-0001.txt");
    }
    EXPECT_GT(paper[0].size(), 1000u);
    EXPECT_EQ(paper[0], paper[1]);
}
