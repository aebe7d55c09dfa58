// `kelvotool tap`: the tap between a POS and its printer, shown as it happens (cli/TapStream.h).

#include "cli/Tap.h"

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "cli/Run.h"
#include "cli/TapStream.h"
#include "links/InOutError.h"
#include "links/SerialTap.h"
#include "links/Tap.h"
#include "printer/Endpoints.h"

namespace kelvo::cli {

int Tap(const Invocation& run, const std::string& listenHost, std::optional<uint16_t> listenPort) {
    const std::string name = run.Option("p", run.Option("printer", ""));
    if (name.empty())
        throw UsageError("tap needs the printer: -p HOST[:PORT] or -p PORT");
    std::string why;
    const std::optional<Printer> named = ParsePrinter(name, &why);
    if (!named)
        throw UsageError("tap: -p " + name + ": " + why);
    const Printer& printer = *named;
    const bool serial = printer.kind == Printer::Kind::Device;
    if (!serial && printer.kind != Printer::Kind::Network)
        throw UsageError("tap: -p names a network printer (HOST[:PORT]) or a serial port, not '" +
                         name + "'");
    if (!serial && !listenPort)
        throw UsageError("tap needs --listen [HOST:]PORT");
    for (const char* option : serial ? std::vector{"listen"} : std::vector{"baud", "pty"}) {
        if (run.Has(option))
            throw UsageError(std::string("--") + option + ": not for " +
                             (serial ? "a serial printer" : "a network printer"));
    }
    std::optional<TapCaptureFile> capture;
    if (run.Has("save"))
        capture.emplace(run.Option("save", ""));
    TapStream stream;
    std::mutex streamMutex;  // the tap's sessions and the start-up line
    auto print = [&](const TapLine& line) {
        std::printf("%s\n", run.json ? line.Json().c_str() : line.Text().c_str());
    };
    auto listening = [&](const std::string& route) {
        std::lock_guard lock(streamMutex);
        print(stream.Listening("tap " + route + "; Ctrl+C ends it"));
        std::fflush(stdout);
    };
    std::atomic<bool> captureFailed{false};
    auto observe = [&](const TapEvent& e) {
        std::lock_guard lock(streamMutex);
        for (const TapLine& line : stream.Read(e))
            print(line);
        std::fflush(stdout);
        if (capture && !captureFailed && !capture->Write(e)) {
            captureFailed = true;
            std::fprintf(stderr, "kelvotool tap: the capture could not be written\n");
        }
    };
    CancelSignal cancel;
    CancelOnSignals signals(cancel);
    bool portFailed = false;
    if (serial) {
        SerialTapOptions options;
        options.port = printer.path;
        options.line.baudRate =
            static_cast<uint32_t>(run.Number("baud", 1, 4000000, "bits a second").value_or(0));
        options.link = run.Option("pty", "");
        std::optional<kelvo::SerialTap> opened;
        try {
            opened.emplace(options, observe);
        } catch (const EInOutError& e) {
            throw std::runtime_error(printer.path + ": " + e.what());
        }
        kelvo::SerialTap& tap = *opened;
        listening(tap.PosPath() + " -> " + printer.path + " at " + std::to_string(tap.Baud()) +
                  " baud");
        tap.Start();
        pollfd stop[2] = {{cancel.fd(), POLLIN, 0}, {tap.EndedFd(), POLLIN, 0}};
        while (::poll(stop, 2, -1) < 0 && errno == EINTR) {
        }
        portFailed = stop[1].revents != 0;
    } else {
        TapOptions options;
        options.listenHost = listenHost;
        options.listenPort = *listenPort;
        options.printerHost = printer.host;
        options.printerPort = static_cast<uint16_t>(printer.port);
        if (!printer::IsLoopbackHost(listenHost))
            std::fprintf(stderr,
                         "kelvotool tap: warning: listening on %s: anyone who can reach it reaches "
                         "the printer through it\n",
                         listenHost.c_str());
        kelvo::Tap tap(options, observe);
        listening(tap.Address() + " -> " + printer.host + ":" + std::to_string(printer.port));
        pollfd stop{cancel.fd(), POLLIN, 0};
        while (::poll(&stop, 1, -1) < 0 && errno == EINTR) {
        }
    }  // every session ended and its thread joined
    return captureFailed || portFailed ? 1 : 0;
}

}  // namespace kelvo::cli
