// `kelvotool tap`: the tap between a POS and its printer, shown as it happens. What goes to the
// printer is decoded as the activity log decodes it; what comes back, by what was asked for.

#include "cli/Tap.h"

#include <poll.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "cli/Run.h"
#include "links/InOutError.h"
#include "links/SerialTap.h"
#include "links/Tap.h"
#include "protocol/Decoder.h"
#include "protocol/GbkText.h"
#include "protocol/Json.h"
#include "protocol/PrinterStatus.h"
#include "protocol/TapCapture.h"

namespace kelvo::cli {

namespace {

using SystemClock = std::chrono::system_clock;

// "online, drawer pin 3 low": an answer to DLE EOT n in words.
std::string StatusWords(uint8_t n, uint8_t b) {
    if (!IsStatusByte(b) || n < 1 || n > 4)
        return "not a status byte";
    std::array<std::optional<uint8_t>, 4> answers{};
    answers[n - 1] = b;
    const PrinterStatus s = InterpretStatus(answers);
    std::string words;
    auto say = [&](const std::optional<bool>& flag, const char* on, const char* off) {
        if (flag && (*flag ? on : off) != nullptr)
            words += std::string(words.empty() ? "" : ", ") + (*flag ? on : off);
    };
    say(s.online, "online", "offline");
    say(s.drawerPinHigh, "drawer pin 3 high", "drawer pin 3 low");
    say(s.coverOpen, "cover open", "cover closed");
    say(s.feedButton, "feed button", nullptr);
    say(s.paperStop, "stopped: paper out", nullptr);
    say(s.errorOccurred, "error", nullptr);
    say(s.cutterError, "cutter error", nullptr);
    say(s.unrecoverableError, "unrecoverable error", nullptr);
    say(s.recoverableError, "recoverable error", nullptr);
    say(s.paperNearEnd, "paper near end", nullptr);
    say(s.paperOut, "paper out", "paper present");
    return words.empty() ? "no error" : words;
}

std::string Hex(std::string_view bytes) {
    std::string out;
    char two[4];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, out.empty() ? "%02X" : " %02X", c);
        out += two;
    }
    return out;
}

// The answers a printer owes, in the order they were asked for.
struct Asked {
    enum class Kind { Status, Sensor, Id } kind;
    uint8_t n;
};

// One session's reading of both directions.
struct SessionView {
    DecoderState state;
    std::string pending;  // the start of a command the next bytes finish
    std::deque<Asked> asked;
    bool automaticStatus = false;
    std::string answer;  // an answer being collected: automatic status, or GS I's text
    bool collectingText = false;
};

// The capture file (protocol/TapCapture.h), written as the events come.
class Capture {
  public:
    explicit Capture(const std::string& path) : out_(path, std::ios::binary | std::ios::trunc) {
        if (!out_)
            throw std::runtime_error("cannot write " + path);
        out_ << TapCaptureWriter::Start();
    }
    // False once a write has failed.
    bool Write(const TapEvent& e) {
        using P = TapCaptureWriter::Packet;
        switch (e.kind) {
            case TapEvent::Kind::Opened:
                out_ << writer_.Event(e.session, e.at, P::Open, true);
                break;
            case TapEvent::Kind::ToPrinter:
            case TapEvent::Kind::ToPos:
                out_ << writer_.Event(e.session, e.at, P::Data, e.kind == TapEvent::Kind::ToPrinter,
                                      e.bytes);
                break;
            case TapEvent::Kind::Closed:
                out_ << writer_.Event(e.session, e.at, P::Close, e.fromPos);
                break;
            case TapEvent::Kind::Reset:
            case TapEvent::Kind::Failed:
                out_ << writer_.Event(e.session, e.at, P::Reset, e.fromPos);
                break;
        }
        out_.flush();
        return static_cast<bool>(out_);
    }

  private:
    std::ofstream out_;
    TapCaptureWriter writer_;
};

class Printout {
  public:
    explicit Printout(bool json) : json_(json) {}

    void Show(const TapEvent& e) {
        std::lock_guard lock(mu_);
        switch (e.kind) {
            case TapEvent::Kind::Opened:
                views_[e.session] = {};
                Line(e, "opened", e.text, {});
                break;
            case TapEvent::Kind::ToPrinter:
                ToPrinter(e);
                break;
            case TapEvent::Kind::ToPos:
                ToPos(e);
                break;
            case TapEvent::Kind::Closed:
                Line(e, e.fromPos ? "pos-closed" : "printer-closed",
                     e.fromPos ? "the POS closed its side" : "the printer closed its side", {});
                break;
            case TapEvent::Kind::Reset:
                Line(e, "reset",
                     std::string(e.fromPos ? "the POS" : "the printer") + " reset the connection" +
                         (e.text.empty() ? "" : ": " + e.text),
                     {});
                views_.erase(e.session);
                break;
            case TapEvent::Kind::Failed:
                Line(e, "failed", "the printer could not be reached: " + e.text, {});
                views_.erase(e.session);
                break;
        }
        std::fflush(stdout);
    }

    // The first line: where the POS connects, and where to.
    void Listening(const std::string& route) {
        std::lock_guard lock(mu_);
        TapEvent e;
        e.at = SystemClock::now();
        Line(e, "listening", "tap " + route + "; Ctrl+C ends it", {});
        last_.reset();
        std::fflush(stdout);
    }

  private:
    void ToPrinter(const TapEvent& e) {
        SessionView& v = views_[e.session];
        std::string bytes = std::exchange(v.pending, {}) + e.bytes;
        std::vector<DecodedCommand> commands = DecodeCommands(bytes, v.state);
        if (!commands.empty() && commands.back().truncated) {
            v.pending = bytes.substr(commands.back().offset);
            commands.pop_back();
        }
        for (const DecodedCommand& c : commands) {
            const std::string_view raw = std::string_view(bytes).substr(c.offset, c.length);
            const auto last = static_cast<uint8_t>(raw.empty() ? 0 : raw.back());
            if (c.id == CommandId::RealTimeStatus)
                v.asked.push_back({Asked::Kind::Status, last});
            else if (c.id == CommandId::SensorStatus)
                v.asked.push_back({Asked::Kind::Sensor, last});
            else if (c.id == CommandId::PrinterId)
                v.asked.push_back({Asked::Kind::Id, last});
            else if (c.id == CommandId::AutoStatus)
                v.automaticStatus = last != 0;
            Line(e, "to-printer", FormatCommand(c), raw);
        }
    }

    void ToPos(const TapEvent& e) {
        SessionView& v = views_[e.session];
        std::string unasked;
        auto flushUnasked = [&] {
            if (!unasked.empty())
                Line(e, "unsolicited", "unsolicited " + Hex(unasked), unasked);
            unasked.clear();
        };
        for (const char ch : e.bytes) {
            const auto b = static_cast<uint8_t>(ch);
            if (v.collectingText) {
                // GS I's text answers: "_", the text, NUL.
                if (b != 0) {
                    v.answer += ch;
                    continue;
                }
                v.collectingText = false;
                Line(e, "answer", "GS I: \"" + PlainText(v.answer.substr(1)) + "\"", v.answer);
                v.answer.clear();
                continue;
            }
            if (!v.answer.empty() || (v.automaticStatus && (b & 0x93) == 0x10)) {
                // Automatic status: four bytes, the first with bit 4 set and bits 0, 1, 7 clear.
                flushUnasked();
                v.answer += ch;
                if (v.answer.size() == 4)
                    Line(e, "answer", "automatic status " + Hex(v.answer),
                         std::exchange(v.answer, {}));
                continue;
            }
            if (v.asked.empty()) {
                unasked += ch;
                continue;
            }
            flushUnasked();
            const Asked a = v.asked.front();
            v.asked.pop_front();
            char head[48];
            std::snprintf(head, sizeof head, "%02X", b);
            if (a.kind == Asked::Kind::Status) {
                Line(e, "answer",
                     std::string(head) + "  DLE EOT " + std::to_string(a.n) + ": " +
                         StatusWords(a.n, b),
                     std::string(1, ch));
            } else if (a.kind == Asked::Kind::Sensor) {
                Line(e, "answer", std::string(head) + "  GS r " + std::to_string(a.n),
                     std::string(1, ch));
            } else if (b == '_' && a.n >= 65) {
                v.collectingText = true;
                v.answer = "_";
            } else {
                Line(e, "answer", std::string(head) + "  GS I " + std::to_string(a.n),
                     std::string(1, ch));
            }
        }
        flushUnasked();
    }

    void Line(const TapEvent& e, const char* kind, const std::string& text,
              std::string_view bytes) {
        const double gap =
            last_ ? std::chrono::duration<double>(e.at - *last_).count() * 1000.0 : 0.0;
        last_ = e.at;
        if (json_) {
            json::Object line;
            line.Add("time", Iso(e.at)).Add("gap_ms", gap, 3).Add("session", uint64_t{e.session});
            line.Add("event", kind).Add("text", text);
            if (!bytes.empty())
                line.Add("hex", Hex(bytes));
            std::printf("%s\n", line.str().c_str());
            return;
        }
        const char* arrow = bytes.empty()                            ? "  "
                            : std::string_view(kind) == "to-printer" ? "->"
                                                                     : "<-";
        std::printf("%s %+9.3f ms  #%llu %s %s\n", Clock(e.at).c_str(), gap,
                    static_cast<unsigned long long>(e.session), arrow, text.c_str());
    }

    static std::string Clock(SystemClock::time_point at) {
        const std::time_t seconds = SystemClock::to_time_t(at);
        std::tm local{};
        ::localtime_r(&seconds, &local);
        char text[64];
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() %
            1000;
        std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03lld", local.tm_hour, local.tm_min,
                      local.tm_sec, static_cast<long long>(ms));
        return text;
    }

    static std::string Iso(SystemClock::time_point at) {
        const std::time_t seconds = SystemClock::to_time_t(at);
        std::tm utc{};
        ::gmtime_r(&seconds, &utc);
        char text[96];
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count() %
            1000000;
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ",
                      utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                      utc.tm_sec, static_cast<long long>(us));
        return text;
    }

    const bool json_;
    std::mutex mu_;  // the tap's sessions and the start-up line
    std::optional<SystemClock::time_point> last_;
    std::map<uint64_t, SessionView> views_;
};

}  // namespace

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
    std::optional<Capture> capture;
    if (run.Has("save"))
        capture.emplace(run.Option("save", ""));
    Printout printout(run.json);
    std::atomic<bool> captureFailed{false};
    auto observe = [&](const TapEvent& e) {
        printout.Show(e);
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
        printout.Listening(tap.PosPath() + " -> " + printer.path + " at " +
                           std::to_string(tap.Baud()) + " baud");
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
        kelvo::Tap tap(options, observe);
        printout.Listening(tap.Address() + " -> " + printer.host + ":" +
                           std::to_string(printer.port));
        pollfd stop{cancel.fd(), POLLIN, 0};
        while (::poll(&stop, 1, -1) < 0 && errno == EINTR) {
        }
    }  // every session ended and its thread joined
    return captureFailed || portFailed ? 1 : 0;
}

}  // namespace kelvo::cli
