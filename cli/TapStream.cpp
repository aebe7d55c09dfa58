#include "cli/TapStream.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <deque>
#include <stdexcept>
#include <utility>

#include "protocol/Decoder.h"
#include "protocol/GbkText.h"
#include "protocol/Json.h"
#include "protocol/PrinterStatus.h"

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

std::string Clock(SystemClock::time_point at) {
    const std::time_t seconds = SystemClock::to_time_t(at);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[64];
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03lld", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<long long>(ms));
    return text;
}

std::string Iso(SystemClock::time_point at) {
    const std::time_t seconds = SystemClock::to_time_t(at);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[96];
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count() %
        1000000;
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long long>(us));
    return text;
}

// The answers a printer owes, in the order they were asked for.
struct Asked {
    enum class Kind { Status, Sensor, Id } kind;
    uint8_t n;
};

}  // namespace

// One session's reading of both directions.
struct TapStream::Session {
    DecoderState state;
    std::string pending;  // the start of a command the next bytes finish
    std::deque<Asked> asked;
    bool automaticStatus = false;
    std::string answer;  // an answer being collected: automatic status, or GS I's text
    bool collectingText = false;
};

std::string TapLine::Text() const {
    const char* arrow = bytes.empty() ? "  " : event == "to-printer" ? "->" : "<-";
    char head[96];
    std::snprintf(head, sizeof head, "%s %+9.3f ms  #%llu %s ", Clock(at).c_str(), gapMs,
                  static_cast<unsigned long long>(session), arrow);
    return head + text;
}

std::string TapLine::Json() const {
    json::Object line;
    line.Add("time", Iso(at)).Add("gap_ms", gapMs, 3).Add("session", uint64_t{session});
    line.Add("event", event).Add("text", text);
    if (!bytes.empty())
        line.Add("hex", HexBytes(bytes));
    return line.str();
}

TapStream::TapStream() = default;
TapStream::~TapStream() = default;

std::vector<TapLine> TapStream::Read(const TapEvent& e) {
    std::vector<TapLine> lines;
    switch (e.kind) {
        case TapEvent::Kind::Opened:
            sessions_[e.session] = std::make_unique<Session>();
            lines.push_back(Line(e, "opened", e.text, {}));
            break;
        case TapEvent::Kind::ToPrinter:
            ToPrinter(e, lines);
            break;
        case TapEvent::Kind::ToPos:
            ToPos(e, lines);
            break;
        case TapEvent::Kind::Closed:
            lines.push_back(
                Line(e, e.fromPos ? "pos-closed" : "printer-closed",
                     e.fromPos ? "the POS closed its side" : "the printer closed its side", {}));
            break;
        case TapEvent::Kind::Reset:
            lines.push_back(Line(e, "reset",
                                 std::string(e.fromPos ? "the POS" : "the printer") +
                                     " reset the connection" +
                                     (e.text.empty() ? "" : ": " + e.text),
                                 {}));
            sessions_.erase(e.session);
            break;
        case TapEvent::Kind::Failed:
            lines.push_back(Line(e, "failed", "the printer could not be reached: " + e.text, {}));
            sessions_.erase(e.session);
            break;
    }
    return lines;
}

TapLine TapStream::Listening(const std::string& text) {
    TapEvent e;
    e.at = SystemClock::now();
    TapLine line = Line(e, "listening", text, {});
    last_.reset();
    return line;
}

void TapStream::ToPrinter(const TapEvent& e, std::vector<TapLine>& lines) {
    auto& own = sessions_[e.session];
    if (!own)
        own = std::make_unique<Session>();
    Session& v = *own;
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
        lines.push_back(Line(e, "to-printer", FormatCommand(c), raw));
    }
}

void TapStream::ToPos(const TapEvent& e, std::vector<TapLine>& lines) {
    auto& own = sessions_[e.session];
    if (!own)
        own = std::make_unique<Session>();
    Session& v = *own;
    std::string unasked;
    auto flushUnasked = [&] {
        if (!unasked.empty())
            lines.push_back(Line(e, "unsolicited", "unsolicited " + HexBytes(unasked), unasked));
        unasked.clear();
    };
    auto answer = [&](std::string text, std::string_view bytes) {
        lines.push_back(Line(e, "answer", std::move(text), bytes));
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
            answer("GS I: \"" + PlainText(v.answer.substr(1)) + "\"", v.answer);
            v.answer.clear();
            continue;
        }
        if (!v.answer.empty() || (v.automaticStatus && (b & 0x93) == 0x10)) {
            // Automatic status: four bytes, the first with bit 4 set and bits 0, 1, 7 clear.
            flushUnasked();
            v.answer += ch;
            if (v.answer.size() == 4) {
                const std::string four = std::exchange(v.answer, {});
                answer("automatic status " + HexBytes(four), four);
            }
            continue;
        }
        if (v.asked.empty()) {
            unasked += ch;
            continue;
        }
        flushUnasked();
        const Asked a = v.asked.front();
        v.asked.pop_front();
        const std::string head = HexBytes(std::string_view(&ch, 1));
        const std::string_view one(&ch, 1);
        if (a.kind == Asked::Kind::Status) {
            answer(head + "  DLE EOT " + std::to_string(a.n) + ": " + StatusWords(a.n, b), one);
        } else if (a.kind == Asked::Kind::Sensor) {
            answer(head + "  GS r " + std::to_string(a.n), one);
        } else if (b == '_' && a.n >= 65) {
            v.collectingText = true;
            v.answer = "_";
        } else {
            answer(head + "  GS I " + std::to_string(a.n), one);
        }
    }
    flushUnasked();
}

TapLine TapStream::Line(const TapEvent& e, const char* event, std::string text,
                        std::string_view bytes) {
    TapLine line;
    line.at = e.at;
    line.gapMs = last_ ? std::chrono::duration<double>(e.at - *last_).count() * 1000.0 : 0.0;
    last_ = e.at;
    line.session = e.session;
    line.event = event;
    line.text = std::move(text);
    line.bytes = bytes;
    return line;
}

TapCaptureFile::TapCaptureFile(const std::string& path)
    : out_(path, std::ios::binary | std::ios::trunc) {
    if (!out_)
        throw std::runtime_error("cannot write " + path);
    out_ << TapCaptureWriter::Start();
    out_.flush();
}

bool TapCaptureFile::Write(const TapEvent& e) {
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

}  // namespace kelvo::cli
