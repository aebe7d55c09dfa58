#pragma once

// The virtual printer as the tool's pages reach it: one printer behind a TCP listener on a
// loopback address (the network pages), and a radio bridge with printers 001 to 003 behind a
// pseudo-terminal (the serial, wireless and NV logo pages), whose own printer takes the bytes
// that carry no bridge header (a header addresses its printer until the line pauses). The endpoints
// run on their own threads; everything a view reads is taken under the box's lock, which a
// printer holds for one slice of kFeedSlice bytes at a time, so that a status request elsewhere
// or a view never waits long. Each TCP connection is one job of the network printer; on the
// serial line each frame is a job of the printer it addresses.
//
// Offline (cover open, paper out, an error, or switched off line), the printers print nothing:
// the endpoints keep what comes in their receive buffers, answer real-time requests from it at
// once, and stop reading when the buffer is full; once back online the printers print it, in
// order. With an LPD port as well, the network printer takes spooled jobs there too, each once
// the printer is free of the raw port's client and online.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "printer/Endpoints.h"
#include "printer/LpdEndpoint.h"
#include "printer/VirtualPrinter.h"

namespace kelvo::printer {

// A job one of the box's printers ended, as the box keeps it for a reader that asked for them.
struct EndedJob {
    int printer = 0;  // as PrinterBox::PrinterName
    JobRecord record;
    JobTrace trace;
    std::vector<PaperItem> paper;  // what it printed, as far as the printer's paper still holds it
    StoredSettings after;
    int paperDots = kPaper80Dots;
};

class PrinterBox {
  public:
    struct Options {
        TcpOptions tcp;
        PtyOptions pty;
        int paperDots = kPaper80Dots;  // or kPaper58Dots, for all the printers
        // The serial line is busy (XOFF) while the printer is offline, not only while its receive
        // buffer is full: a printer's handshake setting, this one by default.
        bool serialBusyWhenOffline = true;
        // Ended jobs kept for TakeEnded, with their bytes and paper, at most (and kEndedBytes of
        // their bytes and pictures together); 0: none kept, and no job's bytes either.
        size_t keepEnded = 0;
        // Where the network printer takes LPD jobs too, exactly there; none without it.
        std::optional<TcpOptions> lpd;
        // No pseudo-terminal without it: the serial printers stay, unreachable, so that a view's
        // printer numbers still hold.
        bool serial = true;
        // What every printer answers to GS I, and stores from power on.
        Identity identity;
        StoredSettings settings;
    };
    // The printers a view can pick: 0 the network printer, 1 the serial line's own printer,
    // 2..4 the bridge's printers 001..003.
    static constexpr int kPrinters = 5;
    // The bytes and pictures' dots of the ended jobs kept for TakeEnded, together, at most: a
    // reader that falls behind loses the oldest jobs rather than the memory.
    static constexpr size_t kEndedBytes = size_t{64} << 20;
    // A pause this long on the serial line ends a radio frame.
    static constexpr std::chrono::milliseconds kFrameGap{300};
    static const char* PrinterName(int index);

    // Throws when no endpoint can be opened, std::invalid_argument for a paper it does not take.
    explicit PrinterBox(Options options);
    ~PrinterBox();
    PrinterBox(const PrinterBox&) = delete;
    PrinterBox& operator=(const PrinterBox&) = delete;

    std::string TcpAddress() const { return tcp_->Address(); }
    // Empty without an LPD port.
    std::string LpdAddress() const { return lpd_ ? lpd_->Address() : std::string(); }
    // Empty without a pseudo-terminal.
    const std::string& PtyPath() const;
    void SetReadBaud(long baud) {
        if (pty_)
            pty_->SetReadBaud(baud);
    }
    void SetIdleLimit(std::chrono::milliseconds limit) { tcp_->SetIdleLimit(limit); }
    std::chrono::milliseconds IdleLimit() const { return tcp_->IdleLimit(); }
    // The network printer's clients: one served, the others waiting behind it.
    bool TcpServing() const { return tcp_->Serving(); }
    int TcpWaiting() const { return tcp_->Waiting(); }
    TcpQueue TcpClients() const { return tcp_->Queue(); }
    // Bytes held in the endpoints' receive buffers.
    size_t TcpBuffered() const { return tcp_->Buffered(); }
    size_t SerialBuffered() const { return pty_ ? pty_->Buffered() : 0; }

    // Runs `f` on printer `index` (0 when out of range) under the box's lock.
    template <class F>
    auto With(int index, F&& f) {
        std::lock_guard lock(mu_);
        return f(*printers_[index >= 0 && index < kPrinters ? index : 0]);
    }
    // Applies status flags to every printer, and sends the automatic status of those that asked
    // for it (GS a) to their endpoint. Offline holds the serial line (XOFF) unless the options
    // said otherwise; back online, the printers print what their endpoints hold.
    void SetFlags(const StatusFlags& flags);
    // Loads every printer with kPaper80Dots or kPaper58Dots wide paper; false for any other.
    bool SetPaperWidth(int dots);
    int PaperWidth() const;
    // A serial frame's job ends when the line pauses, which only the next bytes would tell: a
    // view calls this as it polls, so that the last frame's job is seen to end.
    void EndPausedFrame();
    // Counts up whenever any printer took bytes: a view polls it to know when to redraw.
    uint64_t Changes() const { return changes_.load(); }

    // The jobs ended since the last call, oldest first (Options::keepEnded), and how many more
    // ended but were let go because the reader fell that far behind.
    std::vector<EndedJob> TakeEnded();
    uint64_t EndedLost() const;
    // Closes the endpoints (no byte arrives after this) and ends the jobs still running, `how`;
    // after it only With, TakeEnded and EndedLost may be called.
    void Stop(const std::string& how);

  private:
    std::string Receive(int index, std::string_view bytes);
    size_t Print(int index, std::string_view held, std::string& answers);
    void PrintSpooled(LpdJob job);
    // Lets a spooled job that waits for the printer go unprinted: the box stops.
    void Release();

    mutable std::mutex mu_;
    std::unique_ptr<VirtualPrinter> printers_[kPrinters];
    std::unique_ptr<Bridge> bridge_;
    std::atomic<uint64_t> changes_{0};
    bool serialBusyWhenOffline_ = true;
    std::chrono::steady_clock::time_point lastSerial_{};  // when the serial line last had bytes
    // Serial bytes received and printed so far, and where in them the line paused (a radio
    // frame ended): the bridge's printing side is told there, however late it prints.
    uint64_t serialReceived_ = 0;
    uint64_t serialPrinted_ = 0;
    std::deque<uint64_t> frameEnds_;
    size_t keepEnded_ = 0;
    std::deque<EndedJob> ended_;
    size_t endedBytes_ = 0;
    uint64_t endedLost_ = 0;
    std::condition_variable printerFree_;  // the network printer may take a spooled job
    bool stopping_ = false;
    std::unique_ptr<TcpEndpoint> tcp_;
    std::unique_ptr<PtyEndpoint> pty_;
    std::unique_ptr<LpdEndpoint> lpd_;
};

}  // namespace kelvo::printer
