#pragma once

// A printer's misbehaviour as data: a script of (when, what) steps, each read from a short text
// ("100mm paper-out", "job 3 reset", "at 5s status-late 700"), and the same actions applied live
// by a control command ("paper-out on", "status-late 700").

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo::printer {

enum class Fault : uint8_t {
    PaperNearEnd,
    PaperOut,
    CoverOpen,
    Offline,
    Error,
    DrawerOpen,
    Reset,        // the client's connection reset (SO_LINGER 0, then closed)
    Stall,        // the printer reads nothing more, from anyone, until it is off
    StatusLate,   // real-time answers go out `delay` late; off: at once again
    StatusNever,  // real-time answers are not sent at all; off: at once again
};

struct FaultAction {
    Fault what = Fault::PaperOut;
    bool on = true;
    std::chrono::milliseconds delay{0};  // StatusLate
    bool operator==(const FaultAction&) const = default;
};

enum class FaultWhen : uint8_t {
    Time,   // `at` after the printer started
    Job,    // as the TCP port's connection number `count` starts (counted from 1)
    Paper,  // once the current job has fed `count` mm of paper
    Bytes,  // once the printer has taken `count` bytes of the current job
};

struct FaultStep {
    FaultWhen when = FaultWhen::Time;
    std::chrono::milliseconds at{0};
    uint64_t count = 0;
    FaultAction action;
    bool operator==(const FaultStep&) const = default;
};

// Dots of paper to the millimetre, on both paper widths.
inline constexpr int kDotsPerMm = 8;

// "WHAT [on|off|MS]": paper-near-end, paper-out, paper-in, cover-open, cover-close, offline,
// online, error, drawer-open, drawer-close, reset, stall, status-late MS, status-never,
// status-normal; a toggle takes on (the default) or off. Throws std::invalid_argument saying what
// is wrong with `words`.
FaultAction ParseFaultAction(const std::vector<std::string>& words);
// "WHEN WHAT [ARG]", WHEN one of "at 5s" or "5s" (also ms), "job 3", "100mm", "1024B". Throws
// std::invalid_argument naming the step.
FaultStep ParseFaultStep(std::string_view text);
std::vector<FaultStep> ParseFaultScript(const std::vector<std::string>& steps);

// The words a text holds, split at blanks.
std::vector<std::string> FaultWords(std::string_view text);

// A control socket's request, "set NAME WHAT [on|off|MS]": `apply` is handed the printer's name
// and the action, and says whether it holds a printer of that name. Returns the answer line,
// "ok", or "error: " and why.
using ApplyFault = std::function<bool(const std::string& name, const FaultAction& action)>;
std::string ControlRequest(const std::string& request, const ApplyFault& apply);

}  // namespace kelvo::printer
