#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Invocation.h"

namespace kelvo::cli {

namespace {

// One CSV line: a field may be quoted ("a,b", "say ""hi"""); blanks around a field go.
std::vector<std::string> SplitCsv(const std::string& line) {
    std::vector<std::string> fields;
    size_t i = 0;
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        std::string field;
        if (i < line.size() && line[i] == '"') {
            for (++i; i < line.size(); ++i) {
                if (line[i] == '"' && (i + 1 == line.size() || line[i + 1] != '"'))
                    break;
                field += line[i];
                i += line[i] == '"';
            }
            if (i == line.size())
                throw UsageError("a quote that does not end");
            i = std::min(line.find(',', i), line.size());
        } else {
            const size_t end = std::min(line.find(',', i), line.size());
            field = line.substr(i, end - i);
            field.erase(field.find_last_not_of(" \t\r") + 1);
            i = end;
        }
        fields.push_back(std::move(field));
        if (i == line.size())
            return fields;
        ++i;  // the comma
    }
}

uint32_t ParseBaud(const std::string& text) {
    uint32_t baud = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), baud);
    if (error != std::errc() || end != text.data() + text.size() || baud == 0)
        throw UsageError("'" + text + "' is no baud rate");
    return baud;
}

Printer NamedPrinter(const std::string& text, uint32_t baud) {
    std::string why;
    std::optional<Printer> printer = ParsePrinter(text, &why);
    if (!printer)
        throw UsageError(why);
    printer->baud = baud;
    return *printer;
}

// The columns a targets file may name.
constexpr std::string_view kColumns[] = {"printer", "baud", "ip", "mac", "number"};

void ReadTargets(const std::string& path, const CommandSpec& c, uint32_t baud,
                 std::vector<Printer>& out) {
    std::string text = ReadFile(path);
    if (text.starts_with("\xEF\xBB\xBF"))
        text.erase(0, 3);  // the mark spreadsheets put first: it would hide the header
    std::istringstream in(text);
    std::vector<std::string> columns;
    size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        try {
            std::vector<std::string> fields = SplitCsv(line);
            if (fields.empty() || fields[0].empty() || fields[0][0] == '#')
                continue;
            if (columns.empty() && fields[0] == "printer") {
                // A column nobody reads would send every printer the default unnoticed.
                for (const std::string& column : fields) {
                    if (std::find(std::begin(kColumns), std::end(kColumns), column) !=
                        std::end(kColumns))
                        continue;
                    std::string known;
                    for (std::string_view name : kColumns)
                        known += (known.empty() ? "" : ", ") + std::string(name);
                    throw UsageError("unknown column '" + column + "' (known: " + known + ")");
                }
                columns = fields;
                continue;
            }
            Printer printer = NamedPrinter(fields[0], baud);
            for (size_t i = 1; i < fields.size(); ++i) {
                const std::string key = !columns.empty() ? (i < columns.size() ? columns[i] : "")
                                        : i == 1 && c.perPrinter ? c.perPrinter
                                                                 : "";
                if (key.empty())
                    throw UsageError("a value without a column");
                if (key == "baud")
                    printer.baud = ParseBaud(fields[i]);
                else
                    printer.values[key] = fields[i];
            }
            out.push_back(std::move(printer));
        } catch (const UsageError& e) {
            throw UsageError(where + e.what());
        }
    }
    if (out.empty())
        throw UsageError(path + ": no printer in it");
}

}  // namespace

std::optional<long> WholeNumber(std::string_view text, long lo, long hi) {
    long n = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || n < lo ||
        n > hi)
        return std::nullopt;
    return n;
}

std::optional<long> Invocation::Number(const std::string& name, long lo, long hi,
                                       const char* unit) const {
    if (!Has(name))
        return std::nullopt;
    const std::string text = Option(name, "");
    const std::optional<long> n = WholeNumber(text, lo, hi);
    if (!n)
        throw UsageError("--" + name + ": takes " + std::to_string(lo) + " to " +
                         std::to_string(hi) + " (" + unit + "), not '" + text + "'");
    return n;
}

std::ifstream OpenFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw UsageError(path + ": " + std::strerror(errno));
    // A directory opens, and its first read would throw a message of the C++ library's.
    if (std::error_code ec; std::filesystem::is_directory(path, ec))
        throw UsageError(path + ": is a directory");
    return in;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in = OpenFile(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const CommandSpec* FindCommand(std::string_view name) {
    for (const CommandSpec& c : Commands()) {
        if (name == c.name)
            return &c;
    }
    return nullptr;
}

bool ForPrinters(const CommandSpec& c) {
    return c.compose != nullptr || c.ask != nullptr;
}

void PrintHelp(const CommandSpec& c) {
    std::printf("Usage: kelvotool %s%s%s%s\n\n%s.\n", c.name, ForPrinters(c) ? " -p PRINTER" : "",
                c.options.empty() ? "" : " [options]", *c.operands ? " " : "", c.summary);
    if (*c.operands)
        std::printf("Operands: %s\n", c.operands);
    std::printf("\nOptions:\n");
    for (const OptionSpec& o : c.options) {
        const std::string name = std::string(std::strlen(o.name) == 1 ? "-" : "--") + o.name +
                                 (o.value ? std::string(" ") + o.value : "");
        std::printf("  %-26s %s\n", name.c_str(), o.help);
    }
    if (ForPrinters(c)) {
        std::printf(
            "  %-26s %s\n", "-p, --printer PRINTER",
            "the printer (repeatable): HOST[:PORT] (port 9100 unless given), /dev/ttyUSB0, COM1, "
            "LPT1, file:PATH, cups:QUEUE");
        std::printf("  %-26s %s\n", "--targets FILE",
                    "printers from FILE, one a line: PRINTER[,VALUE], or CSV with a header line "
                    "naming columns (printer, baud, ip, mac, number)");
        std::printf("  %-26s %s\n", "-j, --jobs N", "printers served at once (default 1)");
        std::printf("  %-26s %s\n", "--baud RATE", "set a serial port's line to RATE first");
        std::printf("  %-26s %s\n", "--stall-limit SECONDS",
                    "give up when the printer takes nothing, or no connection, for this long "
                    "(default 10)");
        std::printf("  %-26s %s\n", "--dry-run", "show the commands and hex; send nothing");
        std::printf("  %-26s %s\n", "--json", "one JSON object per printer on stdout");
    }
    std::printf("  %-26s %s\n", "-h, --help", "this text");
    if (ForPrinters(c))
        std::printf(
            "\nExit status: 0 when every printer succeeded, 1 when one did not, 2 for a "
            "command line that cannot run.\n");
}

void PrintCommands(FILE* out) {
    std::fprintf(out,
                 "Usage: kelvotool COMMAND [options]   (no command: the window)\n\nCommands:\n");
    for (const CommandSpec& c : Commands())
        std::fprintf(out, "  %-15s %s\n", c.name, c.summary);
    std::fprintf(out, "\n`kelvotool COMMAND --help` tells more.\n");
}

Invocation Parse(const CommandSpec& c, int argc, char** argv) {
    Invocation run;
    run.command = &c;
    std::vector<std::string> printerNames;
    std::vector<std::string> targets;
    uint32_t baud = 0;
    const bool printers = ForPrinters(c);
    for (int i = 2; i < argc; ++i) {
        std::string word = argv[i];
        auto value = [&](const std::string& name) -> std::string {
            if (i + 1 >= argc)
                throw UsageError(name + " needs a value");
            return argv[++i];
        };
        if (word == "--") {
            for (++i; i < argc; ++i)
                run.operands.push_back(argv[i]);
            break;
        }
        if (word.size() < 2 || word[0] != '-') {
            run.operands.push_back(word);
            continue;
        }
        std::optional<std::string> inlineValue;
        if (const size_t eq = word.find('='); word.starts_with("--") && eq != std::string::npos) {
            inlineValue = word.substr(eq + 1);
            word.resize(eq);
        }
        auto take = [&](const std::string& name) {
            return inlineValue ? *inlineValue : value(name);
        };
        if (printers && (word == "-p" || word == "--printer")) {
            printerNames.push_back(take(word));
        } else if (printers && word == "--targets") {
            targets.push_back(take(word));
        } else if (printers && (word == "-j" || word == "--jobs")) {
            const std::optional<long> n = WholeNumber(take(word), 1, 256);
            if (!n)
                throw UsageError(word + " takes 1 to 256");
            run.parallel = static_cast<size_t>(*n);
        } else if (printers && word == "--baud") {
            baud = ParseBaud(take(word));
        } else if (printers && word == "--stall-limit") {
            const std::string n = take(word);
            char* end = nullptr;
            const double seconds = std::strtod(n.c_str(), &end);
            if (end == n.c_str() || *end != '\0' || !(seconds > 0) || seconds > 3600)
                throw UsageError("--stall-limit takes seconds, more than 0 and at most 3600");
            run.stallLimitMs = std::max(1, static_cast<int>(seconds * 1000));
        } else if (printers && word == "--dry-run") {
            run.dryRun = true;
        } else if (word == "--json" &&
                   (printers ||
                    std::any_of(c.options.begin(), c.options.end(), [](const OptionSpec& o) {
                        return std::strcmp(o.name, "json") == 0;
                    }))) {
            run.json = true;
        } else {
            const std::string bare = word.substr(word[1] == '-' ? 2 : 1);
            const bool longForm = word[1] == '-';
            auto known = std::find_if(c.options.begin(), c.options.end(), [&](const OptionSpec& o) {
                return bare == o.name && (std::strlen(o.name) == 1) != longForm;
            });
            if (known == c.options.end())
                throw UsageError("unknown option " + word + " for " + c.name);
            if (known->value == nullptr && inlineValue)
                throw UsageError(word + " takes no value");
            run.options[bare] = known->value ? take(word) : "";
            run.given.emplace_back(bare, run.options[bare]);
        }
    }
    if (run.operands.size() < c.minOperands || run.operands.size() > c.maxOperands)
        throw UsageError(std::string(c.name) + " takes " +
                         (c.maxOperands == 0 ? std::string("no operand") : c.operands));
    if (!printers)
        return run;
    for (const std::string& name : printerNames)
        run.printers.push_back(NamedPrinter(name, baud));
    for (const std::string& path : targets)
        ReadTargets(path, c, baud, run.printers);
    if (run.printers.empty())
        throw UsageError(std::string(c.name) + " needs a printer: -p PRINTER or --targets FILE");
    if (c.perPrinter != nullptr && c.maxOperands > 0 && run.operands.empty() &&
        std::any_of(run.printers.begin(), run.printers.end(),
                    [&](const Printer& p) { return p.values.count(c.perPrinter) == 0; }))
        throw UsageError(std::string(c.name) + " needs " + c.operands);
    return run;
}

}  // namespace kelvo::cli
