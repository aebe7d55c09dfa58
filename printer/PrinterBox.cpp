#include "printer/PrinterBox.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "printer/JobReport.h"
#include "protocol/Commands.h"

namespace kelvo::printer {

namespace {

using Clock = std::chrono::steady_clock;

// A paced printer that woke up late makes up for this much of it, and no more after a pause. One
// that bytes waited on all along makes up for all of it, up to a second: its motor never stopped,
// only the thread that plays it was late.
constexpr Clock::duration kPaceSlack = std::chrono::milliseconds(20);
constexpr Clock::duration kPaceCatchUp = std::chrono::seconds(1);

// What an ended job holds: its bytes, and the dots of pictures the printer's paper may already
// have let go of (each print counted, though prints may share them).
size_t HeldBytes(const EndedJob& job) {
    size_t bytes = job.trace.bytes.size() + job.trace.answers.size();
    for (const PaperItem& item : job.paper) {
        if (const auto* image = std::get_if<PaperImage>(&item))
            bytes += image->dots.size();
    }
    return bytes;
}

// While a step waits for paper, the printer is fed this much at a time: the step fires within a
// few lines of its mark.
constexpr size_t kPaperSlice = 64;

}  // namespace

const char* PrinterBox::PrinterName(int index) {
    static const char* const kNames[kPrinters] = {"network", "serial", "001", "002", "003"};
    return index >= 0 && index < kPrinters ? kNames[index] : "";
}

PrinterBox::PrinterBox(Options options) {
    std::optional<char> baudCode;
    if (options.serialBaud != 0 && !(baudCode = BaudCode(options.serialBaud)))
        throw std::invalid_argument("serial speed " + std::to_string(options.serialBaud));
    for (auto& printer : printers_) {
        printer = std::make_unique<VirtualPrinter>();
        if (!printer->SetPaperWidth(options.paperDots))
            throw std::invalid_argument("paper " + std::to_string(options.paperDots) +
                                        " dots wide");
        printer->SetIdentity(options.identity);
        printer->SetPersona(options.persona);
        printer->SetSettings(options.settings);
        if (baudCode) {
            StoredSettings stored = printer->Settings();
            stored.baudCode = *baudCode;
            printer->SetSettings(stored);
        }
    }
    holdLineSpeed_ = baudCode.has_value();
    printSpeed_ = std::max(0.0, options.printSpeedMmPerSecond);
    if (printSpeed_ > 0 && options.tcp.socketBuffer == 0)
        options.tcp.socketBuffer = kPacedSocketBuffer;
    bridge_ = std::make_unique<Bridge>(
        *printers_[1],
        std::vector<std::pair<std::string, VirtualPrinter*>>{
            {"001", printers_[2].get()}, {"002", printers_[3].get()}, {"003", printers_[4].get()}});
    TcpEvents events;
    script_ = std::move(options.script);
    fired_.assign(script_.size(), false);
    events.started = [this](const std::string& peer) {
        std::lock_guard lock(mu_);
        printers_[0]->StartJob("TCP " + peer);
        ++jobsStarted_;
        jobBytes_ = 0;
        jobDots_ = 0;
        jobPaperEnd_ = printers_[0]->PaperDropped() + printers_[0]->PaperSize();
        for (size_t i = 0; i < script_.size(); ++i) {
            const FaultStep& step = script_[i];
            if (step.when == FaultWhen::Bytes || step.when == FaultWhen::Paper)
                fired_[i] = false;
            else if (step.when == FaultWhen::Job && step.count == jobsStarted_ && !fired_[i]) {
                fired_[i] = true;
                ApplyLocked(step.action, nullptr);
            }
        }
        // A step at the job's first byte fires before it prints.
        JobProgressLocked(0, nullptr);
        ++changes_;
    };
    events.ended = [this](TcpEnd end) {
        std::lock_guard lock(mu_);
        printers_[0]->EndJob(end == TcpEnd::Idle    ? "idle"
                             : end == TcpEnd::Reset ? "reset by the printer"
                                                    : "closed");
        ++changes_;
        printerFree_.notify_all();
    };
    serialBusyWhenOffline_ = options.serialBusyWhenOffline;
    keepEnded_ = options.keepEnded;
    for (int i = 0; keepEnded_ > 0 && i < kPrinters; ++i) {
        // Under the box's lock, as everything that ends a job runs under it.
        printers_[i]->WatchJobs([this, i](const JobRecord& record, JobTrace trace) {
            const VirtualPrinter& printer = *printers_[i];
            EndedJob job{i,
                         record,
                         std::move(trace),
                         PaperItems(printer, record.firstItem, record.endItem),
                         printer.Settings(),
                         printer.PaperWidth()};
            const size_t bytes = HeldBytes(job);
            while (!ended_.empty() &&
                   (ended_.size() >= keepEnded_ || endedBytes_ + bytes > kEndedBytes)) {
                endedBytes_ -= HeldBytes(ended_.front());
                ended_.pop_front();
                ++endedLost_;
            }
            endedBytes_ += bytes;
            ended_.push_back(std::move(job));
        });
    }
    auto sink = [this](int index) {
        return Sink{[this, index](std::string_view bytes) { return Receive(index, bytes); },
                    [this, index](std::string_view held, std::string& answers) {
                        return Print(index, held, answers);
                    },
                    nullptr,
                    printSpeed_ > 0 ? std::function<std::chrono::milliseconds()>(
                                          [this, index] { return Busy(index); })
                                    : nullptr};
    };
    Sink network = sink(0);
    network.waiting = [this](std::string_view bytes, std::string& cut) {
        std::lock_guard lock(mu_);
        return printers_[0]->RealTimeAside(bytes, cut);
    };
    Sink serial = sink(1);
    if (holdLineSpeed_) {
        serial.baud = [this] {
            std::lock_guard lock(mu_);
            return printers_[1]->Settings().Baud();
        };
    }
    // Under the lock: the first client's start may apply a fault to the endpoint.
    auto tcp = std::make_unique<TcpEndpoint>(options.tcp, std::move(network), std::move(events));
    std::unique_ptr<PtyEndpoint> pty;
    if (options.serial)
        pty = std::make_unique<PtyEndpoint>(options.pty, std::move(serial));
    {
        std::lock_guard lock(mu_);
        tcp_ = std::move(tcp);
        pty_ = std::move(pty);
    }
    if (options.lpd) {
        TcpOptions lpd = *options.lpd;
        lpd.exact = true;
        lpd_ = std::make_unique<LpdEndpoint>(lpd,
                                             [this](LpdJob job) { PrintSpooled(std::move(job)); });
    }
    std::lock_guard lock(mu_);
    bridge_->SetLineName("serial " + PtyPath());
    if (std::any_of(script_.begin(), script_.end(),
                    [](const FaultStep& step) { return step.when == FaultWhen::Time; }))
        timer_ = std::thread([this] { RunTimedFaults(); });
}

const std::string& PrinterBox::PtyPath() const {
    static const std::string none;
    return pty_ ? pty_->SlavePath() : none;
}

// The endpoints stop (and join their threads) before the printers they feed go.
PrinterBox::~PrinterBox() {
    Release();
    lpd_.reset();
    pty_.reset();
    tcp_.reset();
}

void PrinterBox::Release() {
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
        printerFree_.notify_all();
        timedFault_.notify_all();
    }
    if (timer_.joinable())
        timer_.join();
}

void PrinterBox::RunTimedFaults() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(mu_);
    while (!stopping_) {
        std::optional<std::chrono::steady_clock::time_point> next;
        for (size_t i = 0; i < script_.size(); ++i) {
            const FaultStep& step = script_[i];
            if (step.when != FaultWhen::Time || fired_[i])
                continue;
            const auto due = start + step.at;
            if (due <= std::chrono::steady_clock::now()) {
                fired_[i] = true;
                ApplyLocked(step.action, nullptr);
            } else if (!next || due < *next) {
                next = due;
            }
        }
        if (!next)
            return;
        timedFault_.wait_until(lock, *next, [this] { return stopping_; });
    }
}

void PrinterBox::Stop(const std::string& how) {
    Release();
    lpd_.reset();
    pty_.reset();
    tcp_.reset();
    std::lock_guard lock(mu_);
    for (auto& printer : printers_) {
        if (printer->JobRunning())
            printer->EndJob(how);
    }
}

std::vector<EndedJob> PrinterBox::TakeEnded() {
    std::lock_guard lock(mu_);
    std::vector<EndedJob> jobs(std::make_move_iterator(ended_.begin()),
                               std::make_move_iterator(ended_.end()));
    ended_.clear();
    endedBytes_ = 0;
    return jobs;
}

uint64_t PrinterBox::EndedLost() const {
    std::lock_guard lock(mu_);
    return endedLost_;
}

std::string PrinterBox::Receive(int index, std::string_view bytes) {
    std::lock_guard lock(mu_);
    if (index == 0)
        return printers_[0]->RealTime(bytes);
    // A radio frame is one burst: after a pause the line's own printer is addressed again.
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSerial_ > kFrameGap) {
        bridge_->EndReceivedFrame();
        frameEnds_.push_back(serialReceived_);
    }
    lastSerial_ = now;
    serialReceived_ += bytes.size();
    return bridge_->RealTime(bytes);
}

std::chrono::milliseconds PrinterBox::Busy(int index) const {
    std::lock_guard lock(mu_);
    if (printSpeed_ <= 0 || printers_[index]->Offline())
        return std::chrono::milliseconds(-1);
    return std::chrono::ceil<std::chrono::milliseconds>(
        std::max(Clock::duration{}, printing_[index == 0 ? 0 : 1] - Clock::now()));
}

size_t PrinterBox::Print(int index, std::string_view held, std::string& answers) {
    // The serial line's printers print one after another, as the line feeds them.
    const int first = index == 0 ? 0 : 1, last = index == 0 ? 0 : kPrinters - 1;
    auto fed = [&] {
        uint64_t dots = 0;
        for (int i = first; i <= last; ++i)
            dots += printers_[i]->PaperFed();
        return dots;
    };
    Clock::time_point& printing = printing_[first];
    bool& waited = paceHeld_[first];
    size_t taken = 0;
    while (taken < held.size()) {
        std::lock_guard lock(mu_);
        // The line's own printer speaks for the bridge: they share the flags.
        if (printers_[index]->Offline()) {
            waited = false;
            break;
        }
        // Stopping, it prints what it holds at once, as it would unpaced.
        const bool paced = printSpeed_ > 0 && !stopping_;
        size_t length = std::min(paced ? kPacedSlice : kFeedSlice, held.size() - taken);
        if (index == 0)
            length = SliceLocked(length);
        uint64_t before = 0;
        if (paced) {
            const auto now = Clock::now();
            if (printing > now) {
                waited = true;
                break;
            }
            printing = std::max(printing, now - (waited ? kPaceCatchUp : kPaceSlack));
            before = fed();
        }
        if (index != 0) {
            while (!frameEnds_.empty() && frameEnds_.front() <= serialPrinted_) {
                bridge_->EndFrame();
                frameEnds_.pop_front();
            }
            if (!frameEnds_.empty())
                length = std::min<uint64_t>(length, frameEnds_.front() - serialPrinted_);
            serialPrinted_ += length;
        }
        const std::string_view slice = held.substr(taken, length);
        answers += index == 0 ? printers_[0]->Print(slice) : bridge_->Print(slice);
        taken += length;
        ++changes_;
        if (paced) {
            printing += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                static_cast<double>(fed() - before) / double{kDotsPerMm} / printSpeed_));
        }
        // Out of bytes, it may stand idle before the next come.
        if (taken == held.size())
            waited = false;
        if (index == 0 && JobProgressLocked(length, &answers))
            break;
    }
    return taken;
}

size_t PrinterBox::SliceLocked(size_t length) const {
    for (size_t i = 0; i < script_.size(); ++i) {
        if (fired_[i])
            continue;
        if (script_[i].when == FaultWhen::Bytes && script_[i].count > jobBytes_)
            length = std::min<uint64_t>(length, script_[i].count - jobBytes_);
        else if (script_[i].when == FaultWhen::Paper)
            length = std::min(length, kPaperSlice);
    }
    return length;
}

bool PrinterBox::JobProgressLocked(size_t bytes, std::string* network) {
    if (script_.empty())
        return false;
    jobBytes_ += bytes;
    const VirtualPrinter& printer = *printers_[0];
    const uint64_t dropped = printer.PaperDropped();
    const uint64_t end = dropped + printer.PaperSize();
    for (uint64_t n = std::max(jobPaperEnd_, dropped); n < end; ++n)
        jobDots_ += ItemHeight(printer.Paper()[n - dropped]);
    jobPaperEnd_ = end;
    bool stop = false;
    for (size_t i = 0; i < script_.size(); ++i) {
        const FaultStep& step = script_[i];
        const bool due = (step.when == FaultWhen::Bytes && jobBytes_ >= step.count) ||
                         (step.when == FaultWhen::Paper &&
                          jobDots_ >= static_cast<int64_t>(step.count) * kDotsPerMm);
        if (due && !fired_[i]) {
            fired_[i] = true;
            stop = ApplyLocked(step.action, network) || stop;
        }
    }
    return stop;
}

std::string ControlNetworkPrinter(PrinterBox& box, const std::string& request) {
    return ControlRequest(request, [&box](const std::string& name, const FaultAction& action) {
        if (name != PrinterBox::PrinterName(0))
            return false;
        box.Apply(action);
        return true;
    });
}

void PrinterBox::Apply(const FaultAction& action) {
    std::lock_guard lock(mu_);
    ApplyLocked(action, nullptr);
}

bool PrinterBox::ApplyLocked(const FaultAction& action, std::string* network) {
    StatusFlags flags = printers_[0]->Flags();
    switch (action.what) {
        case Fault::PaperNearEnd:
            flags.paperNearEnd = action.on;
            break;
        case Fault::PaperOut:
            flags.paperOut = action.on;
            break;
        case Fault::CoverOpen:
            flags.coverOpen = action.on;
            break;
        case Fault::Offline:
            flags.online = !action.on;
            break;
        case Fault::Error:
            flags.error = action.on;
            break;
        case Fault::DrawerOpen:
            flags.drawerOpen = action.on;
            break;
        case Fault::Reset:
            if (tcp_)
                tcp_->Reset();
            return true;
        case Fault::Stall:
            if (tcp_)
                tcp_->SetStalled(action.on);
            return false;
        case Fault::StatusLate:
        case Fault::StatusNever:
            if (tcp_)
                tcp_->SetAnswerDelay(!action.on ? std::chrono::milliseconds(0)
                                     : action.what == Fault::StatusNever ? kAnswersNever
                                                                         : action.delay);
            return false;
    }
    FlagsLocked(flags, network);
    return false;
}

void PrinterBox::PrintSpooled(LpdJob job) {
    std::unique_lock lock(mu_);
    // One job at a time, as the raw port's clients are served; a job still spooled when the box
    // stops was never printed, as on a printer switched off.
    printerFree_.wait(lock, [this] {
        return stopping_ ||
               (!printers_[0]->JobRunning() && !tcp_->Serving() && !printers_[0]->Offline());
    });
    if (stopping_)
        return;
    VirtualPrinter& printer = *printers_[0];
    printer.StartJob("LPD " + job.peer + ", queue " + job.queue);
    for (size_t at = 0; at < job.bytes.size(); at += kFeedSlice)
        printer.Print(std::string_view(job.bytes).substr(at, kFeedSlice));  // no way back
    printer.EndJob("closed");
    ++changes_;
}

void PrinterBox::SetFlags(const StatusFlags& flags) {
    std::lock_guard lock(mu_);
    FlagsLocked(flags, nullptr);
}

// The endpoints only queue and wake under the lock: none of them waits for the box.
void PrinterBox::FlagsLocked(const StatusFlags& flags, std::string* network) {
    std::string status[kPrinters];
    for (int i = 0; i < kPrinters; ++i)
        status[i] = printers_[i]->SetFlags(flags);
    const bool offline = printers_[1]->Offline();
    ++changes_;
    if (!tcp_)
        return;  // the endpoints are still being made (together): none has a client yet
    // XOFF or XON first: the statuses below go out after it.
    if (pty_)
        pty_->SetHold(serialBusyWhenOffline_ && offline);
    if (network != nullptr)
        *network += status[0];
    else
        tcp_->Send(status[0]);
    // The bridge's printers answer over the serial line, as its own does.
    for (int i = 1; pty_ && i < kPrinters; ++i)
        pty_->Send(status[i]);
    tcp_->Resume();
    if (pty_)
        pty_->Resume();
    printerFree_.notify_all();
}

bool PrinterBox::SetPaperWidth(int dots) {
    std::lock_guard lock(mu_);
    for (auto& printer : printers_) {
        if (!printer->SetPaperWidth(dots))
            return false;
    }
    ++changes_;
    return true;
}

int PrinterBox::PaperWidth() const {
    std::lock_guard lock(mu_);
    return printers_[0]->PaperWidth();
}

void PrinterBox::EndPausedFrame() {
    std::lock_guard lock(mu_);
    // Only once the frame has printed: held bytes (offline) are still part of it.
    if (std::chrono::steady_clock::now() - lastSerial_ > kFrameGap &&
        serialPrinted_ == serialReceived_ && bridge_->EndFrame())
        ++changes_;
}

std::string StateText(PrinterBox& box) {
    const StatusFlags flags = box.With(0, [](VirtualPrinter& p) { return p.Flags(); });
    std::string state;
    for (const auto& [on, text] :
         {std::pair{!flags.online, "off line"}, std::pair{flags.coverOpen, "cover open"},
          std::pair{flags.paperOut, "paper out"},
          std::pair{!flags.paperOut && flags.paperNearEnd, "paper near end"},
          std::pair{flags.error, "error"}, std::pair{flags.drawerOpen, "drawer open"}}) {
        if (on)
            state += (state.empty() ? "" : ", ") + std::string(text);
    }
    if (state.empty())
        state = box.TcpServing() ? "printing" : "ready";
    return state;
}

}  // namespace kelvo::printer
