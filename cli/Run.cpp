#include "cli/Run.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Commands.h"
#include "protocol/Decoder.h"
#include "protocol/Json.h"

namespace kelvo::cli {

namespace {

CancelSignal* cancelSignal = nullptr;

void OnSignal(int) {
    if (cancelSignal != nullptr)
        cancelSignal->Cancel();  // one write to an eventfd: safe in a handler
}

// A bar on the terminal while one printer takes a long job; nothing when stderr is no terminal.
class ProgressBar {
  public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}
    ~ProgressBar() { Clear(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void SetTotal(uint64_t total) { total_ = total; }
    void Taken(uint64_t bytes) {
        if (!enabled_ || total_ == 0)
            return;
        std::lock_guard lock(mu_);
        done_ += bytes;
        const auto now = std::chrono::steady_clock::now();
        if (now - shown_ < std::chrono::milliseconds(100) && done_ < total_)
            return;
        shown_ = now;
        constexpr int kWidth = 40;
        const int filled = static_cast<int>(kWidth * std::min(done_, total_) / total_);
        std::fprintf(stderr, "\r[%s%s] %3d%% %llu/%llu bytes", std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, ' ').c_str(),
                     static_cast<int>(100 * std::min(done_, total_) / total_),
                     static_cast<unsigned long long>(done_),
                     static_cast<unsigned long long>(total_));
        drawn_ = true;
    }
    void Clear() {
        std::lock_guard lock(mu_);
        if (drawn_)
            std::fprintf(stderr, "\r\033[K");
        drawn_ = false;
    }

  private:
    bool enabled_;
    std::mutex mu_;
    uint64_t total_ = 0;
    uint64_t done_ = 0;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point shown_{};
};

std::string OutcomeJson(const Printer& printer, const Outcome& o) {
    json::Object line;
    line.Add("printer", printer.name)
        .Add("kind", printer.KindName())
        .Add("outcome", ResultName(o.result))
        .Add("bytes", o.bytes)
        .Add("seconds", o.seconds, 3);
    if (o.error.empty())
        line.Null("error");
    else
        line.Add("error", o.error);
    for (const auto& [key, value] : o.json)
        line.Raw(key, value);
    return line.str();
}

void PrintDryRun(const Invocation& run, const Printer& printer, const jobs::Job& job) {
    const std::string bytes = jobs::WireBytes(job);
    DecoderState state;
    const std::vector<DecodedCommand> commands = DecodeCommands(bytes, state);
    if (run.json) {
        json::Array list;
        for (const DecodedCommand& c : commands)
            list.Add(FormatCommand(c));
        std::printf("%s\n", json::Object()
                                .Add("printer", printer.name)
                                .Add("kind", printer.KindName())
                                .Add("outcome", "dry-run")
                                .Add("bytes", bytes.size())
                                .Add("hex", HexBytes(bytes))
                                .Raw("commands", list.str())
                                .str()
                                .c_str());
        return;
    }
    std::printf("%s: %zu bytes, not sent\n", printer.name.c_str(), bytes.size());
    for (const DecodedCommand& c : commands)
        std::printf("  %s\n", FormatCommand(c).c_str());
    std::printf("  hex: %s\n", HexBytes(bytes).c_str());
}

}  // namespace

CancelOnSignals::CancelOnSignals(CancelSignal& signal) {
    cancelSignal = &signal;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
}

CancelOnSignals::~CancelOnSignals() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
    cancelSignal = nullptr;
}

int RunForPrinters(const Invocation& run) {
    const CommandSpec& c = *run.command;
    const size_t count = run.printers.size();
    // Every job is composed before anything is sent: a bad value fails its printer alone, and a
    // bad file stops the run before any printer is touched.
    std::vector<std::optional<jobs::Job>> composed(count);
    std::vector<Outcome> outcomes(count);
    std::vector<bool> done(count, false);
    for (size_t i = 0; i < count && c.compose; ++i) {
        try {
            composed[i] = c.compose(run, run.printers[i]);
        } catch (const UsageError&) {
            throw;
        } catch (const std::exception& e) {
            outcomes[i].result = Outcome::Result::Failed;
            outcomes[i].error = e.what();
            done[i] = true;
        }
    }
    if (run.dryRun) {
        for (size_t i = 0; i < count; ++i) {
            if (composed[i])
                PrintDryRun(run, run.printers[i], *composed[i]);
            else if (std::string_view(c.name) == "status")
                PrintDryRun(
                    run, run.printers[i],
                    {{TransmitStatus(1) + TransmitStatus(2) + TransmitStatus(3) + TransmitStatus(4),
                      false}});
            else if (c.ask)
                PrintDryRun(run, run.printers[i], {});
        }
        for (size_t i = 0; i < count; ++i) {
            if (done[i])
                std::fprintf(stderr, "kelvotool: %s: %s\n", run.printers[i].name.c_str(),
                             outcomes[i].error.c_str());
        }
        return std::find(done.begin(), done.end(), true) == done.end() ? 0 : 1;
    }

    CancelSignal cancel;
    CancelOnSignals signals(cancel);
    const bool terminal = ::isatty(STDERR_FILENO) == 1 && !run.json;
    ProgressBar bar(terminal && count == 1 && c.compose != nullptr);
    if (count == 1 && composed[0])
        bar.SetTotal(jobs::WireSize(*composed[0]));

    std::atomic<size_t> next{0};
    std::mutex outputMu;
    auto report = [&](size_t i) {
        const Printer& printer = run.printers[i];
        const Outcome& o = outcomes[i];
        std::lock_guard lock(outputMu);
        bar.Clear();
        if (run.json) {
            std::printf("%s\n", OutcomeJson(printer, o).c_str());
            std::fflush(stdout);
        } else if (count == 1 && !o.text.empty()) {
            std::printf("%s\n", o.text.c_str());
        }
        if (o.result != Outcome::Result::Ok)
            std::fprintf(stderr, "kelvotool: %s: %s%s\n", printer.name.c_str(),
                         o.result == Outcome::Result::Cancelled ? "cancelled: " : "",
                         o.error.c_str());
    };
    auto serve = [&] {
        for (size_t i; (i = next.fetch_add(1)) < count;) {
            if (!done[i]) {
                if (cancel.Cancelled()) {
                    outcomes[i].result = Outcome::Result::Cancelled;
                    outcomes[i].error = "not started";
                } else {
                    const Printer& printer = run.printers[i];
                    outcomes[i] = RunAction(
                        cancel.fd(), run.stallLimitMs,
                        [&](Outcome& o) {
                            if (composed[i])
                                SendJob(printer, *composed[i]);
                            else
                                c.ask(run, printer, o);
                        },
                        [&](uint64_t taken) { bar.Taken(taken); });
                }
            }
            report(i);
        }
    };
    {
        std::vector<std::jthread> workers;
        const size_t n = std::min(run.parallel, count);
        for (size_t w = 1; w < n; ++w)
            workers.emplace_back(serve);
        serve();
    }

    size_t failed = 0;
    for (const Outcome& o : outcomes)
        failed += o.result != Outcome::Result::Ok;
    if (!run.json && count > 1) {
        std::printf("%-32s %-9s %10s %8s\n", "PRINTER", "OUTCOME", "BYTES", "SECONDS");
        for (size_t i = 0; i < count; ++i) {
            const Outcome& o = outcomes[i];
            std::printf("%-32s %-9s %10llu %8.3f%s%s\n", run.printers[i].name.c_str(),
                        ResultName(o.result), static_cast<unsigned long long>(o.bytes), o.seconds,
                        o.text.empty() ? "" : "  ", o.text.c_str());
        }
        std::printf("%zu of %zu printers failed\n", failed, count);
    }
    return failed == 0 ? 0 : 1;
}

}  // namespace kelvo::cli
