// Whether the virtual printer keeps pace far beyond any line. Prints figures only: a benchmark,
// not a test. Exits 1 only when a case could not run.
//  - render: reading and drawing a 1,000-line receipt, as a fraction of the time a 115200-baud
//    line needs to carry its bytes (goal: under 0.05);
//  - intake: bytes a second through the TCP listener into the printer, against a plain socket
//    sink that drops them, in the same run (goal: at least 0.5).
//  - symbols: reading and drawing a receipt with ten bar codes and two QR codes, against the
//    115200-baud line (goal: under 0.05);
//  - receipts intake: 8 MB of the encoder receipts of tests/receipts (text, symbols, pictures)
//    through the listener, against the plain sink.
// `--once` runs each on less data, to keep the bench working in a test run.
#include <QApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "app/ReceiptView.h"
#include "links/UniqueFd.h"
#include "printer/Endpoints.h"
#include "printer/VirtualPrinter.h"
#include "protocol/Commands.h"
#include "protocol/GbkText.h"

using Clock = std::chrono::steady_clock;
using namespace std::string_literals;
using kelvo::UniqueFd;

namespace {

std::string Receipt(int lines) {
    std::string bytes = kelvo::Initialize() + kelvo::AlignCentre() + kelvo::CharSizeDouble() +
                        kelvo::ToGbk("收据 RECEIPT") + "\n" + kelvo::CharSizeNormal() +
                        "\x1B\x61\x00";
    for (int i = 0; i < lines; ++i) {
        bytes += (i % 10 == 0 ? kelvo::ToGbk("商品 ") : std::string("Item ")) + std::to_string(i) +
                 " ........................ " + std::to_string(i % 97) + ".50\r\n";
    }
    return bytes + kelvo::FeedAndPartialCut();
}

// Ten different bar codes (no symbol printed twice, so each is drawn) and two QR codes, between
// the lines of a shop's receipt.
std::string SymbolReceipt() {
    auto counted = [](char m, const std::string& data) {
        return "\x1Dk"s + m + static_cast<char>(data.size()) + data;
    };
    auto qr = [](const std::string& data) {
        const size_t n = data.size() + 3;
        return "\x1D(k\x03\x00\x31\x43\x05"s + "\x1D(k"s + static_cast<char>(n & 0xFF) +
               static_cast<char>(n >> 8) + "\x31\x50\x30" + data + "\x1D(k\x03\x00\x31\x51\x30"s;
    };
    const std::pair<char, std::string> codes[] = {
        {65, "012345678905"}, {66, "01234565"},      {67, "4006381333931"}, {68, "96385074"},
        {69, "KELVO-39"},     {70, "0123456789"},    {71, "A40156B"},       {72, "KELVO-93"},
        {73, "{BKelvo 128"},  {73, "{C\x0C\x22\x38"}};
    std::string bytes = kelvo::Initialize() + "\x1C\x2E" + kelvo::AlignCentre() +
                        kelvo::CharSizeDouble() + "KELVO MARKET\n" + kelvo::CharSizeNormal() +
                        "\x1DH\x02\x1Dh\x50\x1Dw\x02";
    int item = 0;
    for (const auto& [m, data] : codes) {
        ++item;
        bytes += "Item " + std::to_string(item) + " ................ " + std::to_string(item * 3) +
                 ".50\n" + counted(m, data);
    }
    bytes += qr("https://example.com/r/20261208-0042") + "Thank you\n" +
             qr("WIFI:T:WPA;S:kelvo-shop;P:receipt;;");
    return bytes + kelvo::FeedAndPartialCut();
}

// The receipts the encoder tests read, one after another in name order, repeated up to `size`
// bytes.
std::string EncoderReceipts(size_t size) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(KELVO_RECEIPTS_DIR, error)) {
        if (entry.path().extension() == ".bin")
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::string once;
    for (const std::filesystem::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        once.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string stream;
    while (!once.empty() && stream.size() < size)
        stream += once;
    return stream;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Sends `bytes` to host:port in 4 KiB writes; the time until the last byte is taken.
double SendAll(const std::string& host, uint16_t port, const std::string& bytes) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &to.sin_addr);
    if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        return -1;
    const auto start = Clock::now();
    for (size_t at = 0; at < bytes.size();) {
        const ssize_t n = ::send(fd.get(), bytes.data() + at,
                                 std::min<size_t>(4096, bytes.size() - at), MSG_NOSIGNAL);
        if (n <= 0)
            return -1;
        at += static_cast<size_t>(n);
    }
    ::shutdown(fd.get(), SHUT_WR);
    char drain[256];
    while (::recv(fd.get(), drain, sizeof drain, 0) > 0) {
    }
    return Seconds(Clock::now() - start);
}

// A listener that reads and drops everything: the most a loopback socket can carry here.
double PlainSink(const std::string& host, const std::string& bytes) {
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in at{};
    at.sin_family = AF_INET;
    ::inet_pton(AF_INET, host.c_str(), &at.sin_addr);
    socklen_t length = sizeof at;
    if (!listener || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(listener.get(), 1) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&at), &length) != 0)
        return -1;
    std::thread reader([&] {
        UniqueFd peer(::accept(listener.get(), nullptr, nullptr));
        char buffer[65536];
        while (peer && ::recv(peer.get(), buffer, sizeof buffer, 0) > 0) {
        }
    });
    const double seconds = SendAll(host, ntohs(at.sin_port), bytes);
    reader.join();
    return seconds;
}

struct IntakeTimes {
    double plain = -1;
    double intake = -1;
};

// The same stream through a plain sink, then through the listener into a printer.
IntakeTimes Intake(const std::string& host, const std::string& stream) {
    IntakeTimes t;
    t.plain = PlainSink(host, stream);
    kelvo::printer::VirtualPrinter model;
    kelvo::printer::TcpEndpoint endpoint(
        {host, 0}, {[&](std::string_view bytes) { return model.RealTime(bytes); },
                    [&](std::string_view held, std::string& answers) {
                        answers += model.Print(held);
                        return held.size();
                    }});
    t.intake = SendAll(host, endpoint.Port(), stream);
    return t;
}

// Read and drawn `runs` times: the fastest, as the least disturbed by the other users of the
// machine.
double Render(const std::string& receipt, int runs, QImage& picture) {
    double best = -1;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        kelvo::printer::VirtualPrinter printer;
        printer.Feed(receipt);
        TReceiptView view;
        view.SetPaper(printer.Paper());
        picture = view.Render();
        const double took = Seconds(Clock::now() - start);
        best = best < 0 ? took : std::min(best, took);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const bool once = argc > 1 && std::strcmp(argv[1], "--once") == 0;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const std::string receipt = Receipt(1000);
    QImage picture;
    const double render = Render(receipt, 1, picture);
    const double line = receipt.size() * 10.0 / 115200.0;
    std::printf(
        "render: %zu bytes, 1,000 lines, %d x %d dots in %.3f s; a 115200-baud line needs "
        "%.2f s: ratio %.4f (goal under 0.05)\n",
        receipt.size(), picture.width(), picture.height(), render, line, render / line);

    const char* env = std::getenv("KELVO_TEST_HOST");
    const std::string host = env != nullptr && *env != '\0' ? env : "127.77.201.1";
    const size_t size = once ? size_t{1} << 20 : size_t{8} << 20;
    std::string stream;
    while (stream.size() < size)
        stream += receipt;
    const IntakeTimes text = Intake(host, stream);
    if (text.plain <= 0 || text.intake <= 0) {
        std::printf("intake: could not run (no loopback socket at %s)\n", host.c_str());
        return 1;
    }
    std::printf(
        "intake: %.1f MB through the listener into the printer in %.3f s, through a plain "
        "socket sink in %.3f s: ratio %.2f (goal at least 0.5)\n",
        stream.size() / 1e6, text.intake, text.plain, text.plain / text.intake);

    const std::string symbols = SymbolReceipt();
    // The first run also loads what the view and the symbol library load once.
    const double drawn = Render(symbols, once ? 2 : 6, picture);
    const double symbolLine = symbols.size() * 10.0 / 115200.0;
    std::printf(
        "symbols: %zu bytes, 10 bar codes and 2 QR codes, %d x %d dots in %.4f s; a 115200-baud "
        "line needs %.3f s: ratio %.4f (goal under 0.05)\n",
        symbols.size(), picture.width(), picture.height(), drawn, symbolLine, drawn / symbolLine);

    const std::string receipts = EncoderReceipts(size);
    if (receipts.empty()) {
        std::printf("receipts intake: could not run (no receipts in %s)\n", KELVO_RECEIPTS_DIR);
        return 1;
    }
    const IntakeTimes mixed = Intake(host, receipts);
    if (mixed.plain <= 0 || mixed.intake <= 0) {
        std::printf("receipts intake: could not run (no loopback socket at %s)\n", host.c_str());
        return 1;
    }
    std::printf(
        "receipts intake: %.1f MB of encoder receipts through the listener into the printer in "
        "%.3f s, through a plain socket sink in %.3f s: ratio %.3f\n",
        receipts.size() / 1e6, mixed.intake, mixed.plain, mixed.plain / mixed.intake);
    return 0;
}
