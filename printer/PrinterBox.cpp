#include "printer/PrinterBox.h"

namespace kelvo::printer {

const char* PrinterBox::PrinterName(int index) {
    static const char* const kNames[kPrinters] = {"network", "serial", "001", "002", "003"};
    return index >= 0 && index < kPrinters ? kNames[index] : "";
}

PrinterBox::PrinterBox(Options options) {
    for (auto& printer : printers_)
        printer = std::make_unique<VirtualPrinter>();
    bridge_ = std::make_unique<Bridge>(
        *printers_[1],
        std::vector<std::pair<std::string, VirtualPrinter*>>{
            {"001", printers_[2].get()}, {"002", printers_[3].get()}, {"003", printers_[4].get()}});
    tcp_ = std::make_unique<TcpEndpoint>(options.tcp,
                                         [this](std::string_view bytes) { return Feed(0, bytes); });
    pty_ = std::make_unique<PtyEndpoint>(options.pty,
                                         [this](std::string_view bytes) { return Feed(1, bytes); });
}

// The endpoints stop (and join their threads) before the printers they feed go.
PrinterBox::~PrinterBox() {
    pty_.reset();
    tcp_.reset();
}

std::string PrinterBox::Feed(int index, std::string_view bytes) {
    std::lock_guard lock(mu_);
    ++changes_;
    if (index == 0)
        return printers_[0]->Feed(bytes);
    // A radio frame is one burst: after a pause the line's own printer is addressed again.
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSerial_ > kFrameGap)
        bridge_->EndFrame();
    lastSerial_ = now;
    return bridge_->Feed(bytes);
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

}  // namespace kelvo::printer
