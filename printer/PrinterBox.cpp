#include "printer/PrinterBox.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "printer/JobReport.h"

namespace kelvo::printer {

namespace {

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

}  // namespace

const char* PrinterBox::PrinterName(int index) {
    static const char* const kNames[kPrinters] = {"network", "serial", "001", "002", "003"};
    return index >= 0 && index < kPrinters ? kNames[index] : "";
}

PrinterBox::PrinterBox(Options options) {
    for (auto& printer : printers_) {
        printer = std::make_unique<VirtualPrinter>();
        if (!printer->SetPaperWidth(options.paperDots))
            throw std::invalid_argument("paper " + std::to_string(options.paperDots) +
                                        " dots wide");
        printer->SetIdentity(options.identity);
        printer->SetSettings(options.settings);
    }
    bridge_ = std::make_unique<Bridge>(
        *printers_[1],
        std::vector<std::pair<std::string, VirtualPrinter*>>{
            {"001", printers_[2].get()}, {"002", printers_[3].get()}, {"003", printers_[4].get()}});
    TcpEvents events;
    events.started = [this](const std::string& peer) {
        std::lock_guard lock(mu_);
        printers_[0]->StartJob("TCP " + peer);
        ++changes_;
    };
    events.ended = [this](TcpEnd end) {
        std::lock_guard lock(mu_);
        printers_[0]->EndJob(end == TcpEnd::Idle ? "idle" : "closed");
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
                    }};
    };
    Sink network = sink(0);
    network.waiting = [this](std::string_view bytes, std::string& cut) {
        std::lock_guard lock(mu_);
        return printers_[0]->RealTimeAside(bytes, cut);
    };
    tcp_ = std::make_unique<TcpEndpoint>(options.tcp, std::move(network), std::move(events));
    if (options.serial)
        pty_ = std::make_unique<PtyEndpoint>(options.pty, sink(1));
    if (options.lpd) {
        TcpOptions lpd = *options.lpd;
        lpd.exact = true;
        lpd_ = std::make_unique<LpdEndpoint>(lpd,
                                             [this](LpdJob job) { PrintSpooled(std::move(job)); });
    }
    std::lock_guard lock(mu_);
    bridge_->SetLineName("serial " + PtyPath());
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
    std::lock_guard lock(mu_);
    stopping_ = true;
    printerFree_.notify_all();
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

size_t PrinterBox::Print(int index, std::string_view held, std::string& answers) {
    size_t taken = 0;
    while (taken < held.size()) {
        std::lock_guard lock(mu_);
        // The line's own printer speaks for the bridge: they share the flags.
        if (printers_[index]->Offline())
            break;
        size_t length = std::min(kFeedSlice, held.size() - taken);
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
    }
    return taken;
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
    std::string status[kPrinters];
    bool offline = false;
    {
        std::lock_guard lock(mu_);
        for (int i = 0; i < kPrinters; ++i)
            status[i] = printers_[i]->SetFlags(flags);
        offline = printers_[1]->Offline();
        ++changes_;
    }
    // XOFF or XON first: the statuses below go out after it.
    if (pty_)
        pty_->SetHold(serialBusyWhenOffline_ && offline);
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

}  // namespace kelvo::printer
