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
//
// The network printer follows its fault script (Options::script) on its own: a step that waits
// for bytes or paper of a job fires at the slice that reaches it (each job anew), one that waits
// for a job as that job starts, one that waits for a time on a timer of the box's own. Apply does
// the same at once, for a control command or a view.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "printer/Endpoints.h"
#include "printer/Faults.h"
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
        // The network printer's faults, on cue.
        std::vector<FaultStep> script;
        // Paper a printer prints a second, and so takes the bytes that advance it no faster (those
        // that advance none cost nothing): its receive buffer fills, and its client waits as at a
        // real printer, its TCP connection then holding kPacedSocketBuffer. 0: as fast as it can.
        // Spooled (LPD) jobs print at once.
        double printSpeedMmPerSecond = 0;
        // The serial line's stored speed (9600, 19200, 38400, 115200), which the printers start
        // with and the line then holds to as their stored setting changes: a client whose line is
        // set to another hears and is heard as garbage. 0: the factory setting, any line speed.
        long serialBaud = 0;
        // No pseudo-terminal without it: the serial printers stay, unreachable, so that a view's
        // printer numbers still hold.
        bool serial = true;
        // What every printer answers to GS I, and stores from power on.
        Identity identity;
        // Answers that stand in for every printer's own (VirtualPrinter::SetPersona).
        Persona persona;
        StoredSettings settings;
    };
    // A paced printer's socket receive buffer (SO_RCVBUF), small as a real printer's.
    static constexpr int kPacedSocketBuffer = 4096;
    // A paced printer takes at most this much before it looks at the time again.
    static constexpr size_t kPacedSlice = 64;
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
    // A fault now: the flags' ones as SetFlags sets them (from the network printer's flags), the
    // connection's ones on the network printer's TCP port.
    void Apply(const FaultAction& action);
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
    // How long a paced printer still prints what it took; negative when it is offline or unpaced.
    std::chrono::milliseconds Busy(int index) const;
    void PrintSpooled(LpdJob job);
    // Under the lock: as SetFlags; the network printer's automatic status goes to `network`
    // when given, else to its endpoint.
    void FlagsLocked(const StatusFlags& flags, std::string* network);
    // Under the lock; returns whether the printer stops taking the job's bytes (a reset).
    bool ApplyLocked(const FaultAction& action, std::string* network);
    // Under the lock: the steps that wait for the current job's bytes or paper, once it has
    // taken `bytes` more; returns as ApplyLocked. And how many bytes it may take before one.
    bool JobProgressLocked(size_t bytes, std::string* network);
    size_t SliceLocked(size_t length) const;
    void RunTimedFaults();
    // Lets a spooled job that waits for the printer go unprinted: the box stops.
    void Release();

    mutable std::mutex mu_;
    std::unique_ptr<VirtualPrinter> printers_[kPrinters];
    std::unique_ptr<Bridge> bridge_;
    std::atomic<uint64_t> changes_{0};
    bool serialBusyWhenOffline_ = true;
    // Paper a second, and until when the network and the serial printers print what they took.
    double printSpeed_ = 0;
    std::chrono::steady_clock::time_point printing_[2]{};
    // Whether bytes have waited on the pace since the last slice: the printer never stopped.
    bool paceHeld_[2]{};
    bool holdLineSpeed_ = false;
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
    // The script, and per step whether it fired (in this job, for bytes and paper).
    std::vector<FaultStep> script_;
    std::vector<bool> fired_;
    uint64_t jobsStarted_ = 0;  // by the TCP port
    uint64_t jobBytes_ = 0;
    int64_t jobDots_ = 0;       // paper fed by the current job
    uint64_t jobPaperEnd_ = 0;  // the paper item after the last one counted in jobDots_
    std::condition_variable timedFault_;
    std::thread timer_;
    std::unique_ptr<TcpEndpoint> tcp_;
    std::unique_ptr<PtyEndpoint> pty_;
    std::unique_ptr<LpdEndpoint> lpd_;
};

// What a user at the network printer would see of it, its lights and what it is doing: "ready",
// "printing", or its faults ("off line, cover open, paper out").
std::string StateText(PrinterBox& box);

// A control socket's request (ControlRequest) for the box's network printer, named "network".
std::string ControlNetworkPrinter(PrinterBox& box, const std::string& request);

}  // namespace kelvo::printer
