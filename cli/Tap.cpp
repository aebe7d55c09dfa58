// `kelvotool tap`: the tap between a POS and its printer, shown as it happens (cli/TapStream.h).

#include "cli/Tap.h"

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <optional>

#include "cli/Run.h"
#include "cli/TapStream.h"
#include "links/Tap.h"

namespace kelvo::cli {

int Tap(const Invocation& run, const std::string& listenHost, uint16_t listenPort) {
    const std::string name = run.Option("p", run.Option("printer", ""));
    if (name.empty())
        throw UsageError("tap needs the printer: -p HOST[:PORT]");
    std::string why;
    const std::optional<Printer> named = ParsePrinter(name, &why);
    if (!named)
        throw UsageError("tap: -p " + name + ": " + why);
    if (named->kind != Printer::Kind::Network)
        throw UsageError("tap: -p names a network printer (HOST[:PORT]), not '" + name + "'");
    const Printer& printer = *named;
    std::optional<TapCaptureFile> capture;
    if (run.Has("save"))
        capture.emplace(run.Option("save", ""));
    TapStream stream;
    std::mutex streamMutex;  // the tap's sessions and the start-up line
    auto print = [&](const TapLine& line) {
        std::printf("%s\n", run.json ? line.Json().c_str() : line.Text().c_str());
    };
    std::atomic<bool> captureFailed{false};
    TapOptions options;
    options.listenHost = listenHost;
    options.listenPort = listenPort;
    options.printerHost = printer.host;
    options.printerPort = static_cast<uint16_t>(printer.port);
    CancelSignal cancel;
    CancelOnSignals signals(cancel);
    {
        kelvo::Tap tap(options, [&](const TapEvent& e) {
            std::lock_guard lock(streamMutex);
            for (const TapLine& line : stream.Read(e))
                print(line);
            std::fflush(stdout);
            if (capture && !captureFailed && !capture->Write(e)) {
                captureFailed = true;
                std::fprintf(stderr, "kelvotool tap: the capture could not be written\n");
            }
        });
        {
            std::lock_guard lock(streamMutex);
            print(stream.Listening("tap " + tap.Address() + " -> " + printer.host + ":" +
                                   std::to_string(printer.port) + "; Ctrl+C ends it"));
            std::fflush(stdout);
        }
        pollfd stop{cancel.fd(), POLLIN, 0};
        while (::poll(&stop, 1, -1) < 0 && errno == EINTR) {
        }
    }  // every session ended and its thread joined
    return captureFailed ? 1 : 0;
}

}  // namespace kelvo::cli
