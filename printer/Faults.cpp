#include "printer/Faults.h"

#include <charconv>
#include <optional>
#include <stdexcept>

namespace kelvo::printer {

namespace {

struct NamedFault {
    const char* name;
    Fault what;
    bool on;
};

// paper-in, cover-close, online, drawer-close and status-normal undo the others.
constexpr NamedFault kFaults[] = {
    {"paper-near-end", Fault::PaperNearEnd, true},
    {"paper-out", Fault::PaperOut, true},
    {"paper-in", Fault::PaperOut, false},
    {"cover-open", Fault::CoverOpen, true},
    {"cover-close", Fault::CoverOpen, false},
    {"offline", Fault::Offline, true},
    {"online", Fault::Offline, false},
    {"error", Fault::Error, true},
    {"drawer-open", Fault::DrawerOpen, true},
    {"drawer-close", Fault::DrawerOpen, false},
    {"reset", Fault::Reset, true},
    {"stall", Fault::Stall, true},
    {"status-late", Fault::StatusLate, true},
    {"status-never", Fault::StatusNever, true},
    {"status-normal", Fault::StatusLate, false},
};

// A whole number of at most ten digits, followed exactly by `unit`.
std::optional<uint64_t> Number(std::string_view text, std::string_view unit) {
    if (!text.ends_with(unit) || text.size() == unit.size() || text.size() > unit.size() + 10)
        return std::nullopt;
    text.remove_suffix(unit.size());
    uint64_t n = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return n;
}

std::optional<std::chrono::milliseconds> Duration(std::string_view text) {
    if (const auto ms = Number(text, "ms"))
        return std::chrono::milliseconds(*ms);
    if (const auto s = Number(text, "s"))
        return std::chrono::seconds(*s);
    return std::nullopt;
}

}  // namespace

std::vector<std::string> FaultWords(std::string_view text) {
    std::vector<std::string> words;
    size_t at = 0;
    while ((at = text.find_first_not_of(" \t", at)) != std::string_view::npos) {
        const size_t end = std::min(text.find_first_of(" \t", at), text.size());
        words.emplace_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

FaultAction ParseFaultAction(const std::vector<std::string>& words) {
    if (words.empty())
        throw std::invalid_argument("names no fault");
    const NamedFault* named = nullptr;
    for (const NamedFault& f : kFaults) {
        if (words[0] == f.name)
            named = &f;
    }
    if (named == nullptr)
        throw std::invalid_argument("'" + words[0] + "' is no fault");
    FaultAction action{named->what, named->on, {}};
    if (words.size() > 2)
        throw std::invalid_argument("'" + words[2] + "' is one word too many");
    // "off" undoes what the word does: "paper-in off" is paper out.
    if (action.what == Fault::Reset && words.size() == 2)
        throw std::invalid_argument("reset takes nothing after it");
    if (words.size() == 2 &&
        (words[1] == "off" || (words[1] == "on" && action.what != Fault::StatusLate))) {
        action.on = words[1] == "on" ? named->on : !named->on;
        return action;
    }
    if (action.what == Fault::StatusLate && action.on) {
        const std::optional<uint64_t> ms = words.size() == 2 ? Number(words[1], "") : std::nullopt;
        if (!ms)
            throw std::invalid_argument("status-late takes milliseconds: status-late 700");
        action.delay = std::chrono::milliseconds(*ms);
    } else if (words.size() == 2) {
        throw std::invalid_argument(words[0] + " takes on or off, not '" + words[1] + "'");
    }
    return action;
}

FaultStep ParseFaultStep(std::string_view text) {
    std::vector<std::string> words = FaultWords(text);
    auto fail = [&](const std::string& why) -> FaultStep {
        throw std::invalid_argument("fault step '" + std::string(text) + "': " + why);
    };
    FaultStep step;
    size_t what = 1;
    if (words.empty())
        return fail("is empty");
    const std::string& first = words[0];
    if (first == "at" || first == "job") {
        what = 2;
        if (words.size() < 2)
            return fail(first == "at" ? "at needs a time: at 5s" : "job needs a number: job 3");
        if (first == "at") {
            const auto at = Duration(words[1]);
            if (!at)
                return fail("'" + words[1] + "' is no time: 5s or 500ms");
            step.at = *at;
        } else {
            const auto n = Number(words[1], "");
            if (!n || *n == 0)
                return fail("'" + words[1] + "' is no job number: 1, 2, ...");
            step.when = FaultWhen::Job;
            step.count = *n;
        }
    } else if (const auto at = Duration(first)) {
        step.at = *at;
    } else if (const auto mm = Number(first, "mm")) {
        step.when = FaultWhen::Paper;
        step.count = *mm;
    } else if (const auto bytes = Number(first, "B")) {
        step.when = FaultWhen::Bytes;
        step.count = *bytes;
    } else {
        return fail("'" + first +
                    "' is no time (at 5s), job (job 3), paper (100mm) or bytes (1024B)");
    }
    try {
        step.action = ParseFaultAction(std::vector<std::string>(words.begin() + what, words.end()));
    } catch (const std::invalid_argument& e) {
        return fail(e.what());
    }
    return step;
}

std::vector<FaultStep> ParseFaultScript(const std::vector<std::string>& steps) {
    std::vector<FaultStep> script;
    script.reserve(steps.size());
    for (const std::string& step : steps)
        script.push_back(ParseFaultStep(step));
    return script;
}

std::string ControlRequest(const std::string& request, const ApplyFault& apply) {
    const std::vector<std::string> words = FaultWords(request);
    if (words.size() < 3 || words[0] != "set")
        return "error: '" + request + "' is no request: set NAME WHAT [on|off|MS]";
    try {
        const FaultAction action =
            ParseFaultAction(std::vector<std::string>(words.begin() + 2, words.end()));
        if (!apply(words[1], action))
            return "error: no printer is named '" + words[1] + "'";
    } catch (const std::invalid_argument& e) {
        return std::string("error: ") + e.what();
    }
    return "ok";
}

}  // namespace kelvo::printer
