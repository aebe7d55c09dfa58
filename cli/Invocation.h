#pragma once

// What the command line is made of: the commands' table, and one command line read against it.
// The command line's own sources share these; nothing else includes them.

#include <cstddef>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/Printer.h"
#include "jobs/Jobs.h"

namespace kelvo::cli {

// The exit status of a command line that cannot run.
inline constexpr int kUsage = 2;

struct OptionSpec {
    const char* name;
    const char* value;  // nullptr: a switch
    const char* help;
};

struct Invocation;
using Compose = std::function<jobs::Job(const Invocation&, const Printer&)>;
using Ask = std::function<void(const Invocation&, const Printer&, Outcome&)>;

struct CommandSpec {
    const char* name;
    const char* operands;
    const char* summary;
    size_t minOperands;
    size_t maxOperands;
    std::vector<OptionSpec> options;
    // A command for printers either sends a job or asks something; the others run by themselves.
    Compose compose = nullptr;
    Ask ask = nullptr;
    std::function<int(const Invocation&)> own = nullptr;
    // The targets file's second column, when it has no header line.
    const char* perPrinter = nullptr;
};

struct Invocation {
    const CommandSpec* command = nullptr;
    std::vector<std::string> operands;
    std::map<std::string, std::string> options;  // own options; a switch holds ""
    // The own options again, in the order given, each time given.
    std::vector<std::pair<std::string, std::string>> given;
    std::vector<Printer> printers;
    bool json = false;
    bool dryRun = false;
    size_t parallel = 1;
    int stallLimitMs = 0;

    bool Has(const std::string& name) const { return options.count(name) != 0; }
    std::string Option(const std::string& name, const std::string& fallback) const {
        auto found = options.find(name);
        return found == options.end() ? fallback : found->second;
    }
    // The option's whole number, nothing when it is not given; a UsageError naming the option for
    // anything but `lo` to `hi` (of `unit`).
    std::optional<long> Number(const std::string& name, long lo, long hi, const char* unit) const;
};

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The commands, in the order `kelvotool help` lists them (CommandLine.cpp).
const std::vector<CommandSpec>& Commands();
const CommandSpec* FindCommand(std::string_view name);
// Whether the command acts on printers named with -p or --targets.
bool ForPrinters(const CommandSpec& c);
void PrintHelp(const CommandSpec& c);
void PrintCommands(FILE* out);
// The words after the command's name; throws UsageError.
Invocation Parse(const CommandSpec& c, int argc, char** argv);
// `text` as a whole number from `lo` to `hi`, or nothing.
std::optional<long> WholeNumber(std::string_view text, long lo, long hi);
// --paper 58|80 (default 80) in dots; throws UsageError for another.
int PaperDots(const Invocation& run);
// A file opened for reading, and a whole file; both throw UsageError when it cannot be read.
std::ifstream OpenFile(const std::string& path);
std::string ReadFile(const std::string& path);

}  // namespace kelvo::cli
