#pragma once

// A job's report: what a reader of its receipt, or a check of it, asks about one job the box
// ended, worked out once from what the printer kept, and the record the headless printer saves.

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "printer/PrinterBox.h"
#include "printer/VirtualPrinter.h"
#include "protocol/Decoder.h"

namespace kelvo::printer {

// The items of `printer`'s paper numbered [first, end) (as PaperDropped counts them) that it
// still holds: a job's paper, but for what was trimmed since.
std::vector<PaperItem> PaperItems(const VirtualPrinter& printer, uint64_t first, uint64_t end);

// One item as a job's text shows it: a line's text, "[image]" for a picture, "--- cut ---" for a
// cut; nothing for a feed.
std::string ItemText(const PaperItem& item);

// A stored setting a job changed, under its name in the job's record ("baud", "charset",
// "chinese", "code_page", "ip", "mac", "switches"), with its new value.
struct SettingChange {
    std::string key;
    std::variant<int64_t, bool, std::string> value;
    bool operator==(const SettingChange&) const = default;
};

// What changed from `before` to `after`, in the record's order (by name).
std::vector<SettingChange> ChangedSettings(const StoredSettings& before,
                                           const StoredSettings& after);

// Commands a job's record lists one by one, the rest only counted by name: a receipt's all fit,
// and millions of commands still make a record of kilobytes.
inline constexpr size_t kRecordCommands = 1000;

struct JobReport {
    struct Picture {
        int width = 0;
        int height = 0;
    };
    struct Symbol {
        std::string kind;  // as PaperImage::symbol
        std::string data;
    };
    int printer = 0;  // as PrinterBox::PrinterName
    JobRecord record;
    // What it printed, as far as the paper still holds it: each line's text, each picture's size
    // (symbols included), the symbols, the cuts.
    std::vector<std::string> lines;
    std::vector<Picture> pictures;
    std::vector<Symbol> symbols;
    uint64_t cuts = 0;
    // Its paper as text: a line each, "[image]" for a picture, "--- cut ---" for a cut.
    std::string text;
    std::vector<SettingChange> settingsChanged;
    // Its bytes as the decoder reads them (from the power-on state), as far as they were kept:
    // the first kRecordCommands entries, and how many more of each name ("text" and "unknown"
    // for the entries without one).
    std::vector<DecodedCommand> commands;
    std::map<std::string, uint64_t> moreCommands;
    uint64_t bytesKept = 0;
    std::string statusAnswers;  // what it sent back, as far as it was kept
    uint64_t statusAnswersMore = 0;
};

JobReport ReportOf(const EndedJob& job);

// Whether the job only asked what a printer answers at once (DLE EOT, DLE ENQ, GS r, GS I), and
// printed and stored nothing: a status exchange, no receipt.
bool IsStatusExchange(const JobReport& report);

// The report as the job's record file holds it, laid out one member a line; `saved` numbers it
// among the jobs saved.
std::string RecordJson(const JobReport& report, uint64_t saved);

}  // namespace kelvo::printer
