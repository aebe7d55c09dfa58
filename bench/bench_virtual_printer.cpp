// Whether the virtual printer keeps pace far beyond any line. Prints figures only: a benchmark,
// not a test. Exits 1 only when a case could not run.
//  - render: reading and drawing a 1,000-line receipt, as a fraction of the time a 115200-baud
//    line needs to carry its bytes (goal: under 0.05);
//  - intake: bytes a second through the TCP listener into the printer, against a plain socket
//    sink that drops them, in the same run (goal: at least 0.5).
#include <QApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/ReceiptView.h"
#include "links/UniqueFd.h"
#include "printer/Endpoints.h"
#include "printer/VirtualPrinter.h"
#include "protocol/Commands.h"
#include "protocol/GbkText.h"

using Clock = std::chrono::steady_clock;
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

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const std::string receipt = Receipt(1000);
    const auto start = Clock::now();
    kelvo::printer::VirtualPrinter printer;
    printer.Feed(receipt);
    TReceiptView view;
    view.SetPaper(printer.Paper());
    const QImage picture = view.Render();
    const double render = Seconds(Clock::now() - start);
    const double line = receipt.size() * 10.0 / 115200.0;
    std::printf(
        "render: %zu bytes, 1,000 lines, %d x %d dots in %.3f s; a 115200-baud line needs "
        "%.2f s: ratio %.4f (goal under 0.05)\n",
        receipt.size(), picture.width(), picture.height(), render, line, render / line);

    const char* env = std::getenv("KELVO_TEST_HOST");
    const std::string host = env != nullptr && *env != '\0' ? env : "127.77.201.1";
    std::string stream;
    while (stream.size() < (8u << 20))
        stream += receipt;
    const double plain = PlainSink(host, stream);
    double intake = -1;
    {
        kelvo::printer::VirtualPrinter model;
        kelvo::printer::TcpEndpoint endpoint(
            {host, 0}, {[&](std::string_view bytes) { return model.RealTime(bytes); },
                        [&](std::string_view held, std::string& answers) {
                            answers += model.Print(held);
                            return held.size();
                        }});
        intake = SendAll(host, endpoint.Port(), stream);
    }
    if (plain <= 0 || intake <= 0) {
        std::printf("intake: could not run (no loopback socket at %s)\n", host.c_str());
        return 1;
    }
    std::printf(
        "intake: %.1f MB through the listener into the printer in %.3f s, through a plain "
        "socket sink in %.3f s: ratio %.2f (goal at least 0.5)\n",
        stream.size() / 1e6, intake, plain, plain / intake);
    return 0;
}
