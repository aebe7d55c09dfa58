#include "printer/PrinterBox.h"

#include <stdexcept>

namespace kelvo::printer {

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
    };
    tcp_ = std::make_unique<TcpEndpoint>(
        options.tcp, [this](std::string_view bytes) { return Feed(0, bytes); }, std::move(events));
    pty_ = std::make_unique<PtyEndpoint>(options.pty,
                                         [this](std::string_view bytes) { return Feed(1, bytes); });
    std::lock_guard lock(mu_);
    bridge_->SetLineName("serial " + pty_->SlavePath());
}

// The endpoints stop (and join their threads) before the printers they feed go.
PrinterBox::~PrinterBox() {
    pty_.reset();
    tcp_.reset();
}

std::string PrinterBox::Feed(int index, std::string_view bytes) {
    std::string answer;
    if (index != 0) {
        // A radio frame is one burst: after a pause the line's own printer is addressed again.
        std::lock_guard lock(mu_);
        const auto now = std::chrono::steady_clock::now();
        if (now - lastSerial_ > kFrameGap)
            bridge_->EndFrame();
        lastSerial_ = now;
    }
    while (!bytes.empty()) {
        const std::string_view slice = bytes.substr(0, kFeedSlice);
        bytes.remove_prefix(slice.size());
        std::lock_guard lock(mu_);
        ++changes_;
        answer += index == 0 ? printers_[0]->Feed(slice) : bridge_->Feed(slice);
    }
    return answer;
}

void PrinterBox::SetFlags(const StatusFlags& flags) {
    {
        std::lock_guard lock(mu_);
        for (auto& printer : printers_)
            printer->Flags() = flags;
        ++changes_;
    }
    pty_->SetHold(flags.paperOut);
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
    if (std::chrono::steady_clock::now() - lastSerial_ > kFrameGap && bridge_->EndFrame())
        ++changes_;
}

}  // namespace kelvo::printer
