#include "cli/CommandLine.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cli/Json.h"
#include "cli/Printer.h"
#include "jobs/Jobs.h"
#include "links/Discovery.h"
#include "links/PosdllFuncs.h"
#include "links/SerialSpeed.h"
#include "links/Transfer.h"
#include "posdll/BmpReader.h"
#include "protocol/Commands.h"
#include "protocol/Decoder.h"
#include "protocol/IntegerText.h"
#include "protocol/PrinterStatus.h"

namespace kelvo::cli {

namespace {

constexpr int kUsage = 2;
constexpr char kBadIp[] = "数值有误请设置介于1-223之间";

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
    bool drawing = false;  // runs in the window's library
};

struct Invocation {
    const CommandSpec* command = nullptr;
    std::vector<std::string> operands;
    std::map<std::string, std::string> options;  // own options; a switch holds ""
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
};

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

DrawingMain drawingMain = nullptr;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw UsageError(path + ": " + std::strerror(errno));
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Memo(const Invocation& run, std::string_view fallback) {
    return run.Has("memo-file") ? ReadFile(run.Option("memo-file", "")) : std::string(fallback);
}

bool OnOff(const Invocation& run, const std::string& name, bool fallback) {
    const std::string value = run.Option(name, fallback ? "on" : "off");
    if (value == "on")
        return true;
    if (value == "off")
        return false;
    throw UsageError("--" + name + " takes on or off");
}

std::array<uint8_t, 4> NewIp(const std::string& text) {
    const auto numbers = jobs::DottedNumbers(text);
    const auto octets = numbers ? jobs::NewIpOctets(*numbers) : std::nullopt;
    if (!octets)
        throw std::runtime_error(std::string(kBadIp) + ": " + text);
    return *octets;
}

std::array<uint8_t, 6> NewMac(const std::string& text) {
    const auto mac = jobs::MacOctets(text == "random" ? jobs::RandomMac() : text);
    if (!mac)
        throw std::runtime_error("'" + text + "' is no MAC address (12 hex digits)");
    return *mac;
}

uint8_t ListCode(std::span<const jobs::NamedCode> list, const std::string& option,
                 const std::string& name) {
    if (auto code = jobs::CodeOf(list, name))
        return *code;
    // Accepted without the list's brackets too: "PC852:Latin2" for "(PC852:Latin2)".
    if (auto code = jobs::CodeOf(list, "(" + name + ")"))
        return *code;
    std::string names;
    for (const jobs::NamedCode& entry : list)
        names += std::string(names.empty() ? "" : ", ") + std::string(entry.name);
    throw UsageError("--" + option + " takes one of " + names);
}

jobs::Job Params(const Invocation& run, const Printer& printer) {
    const jobs::Over over = printer.Over();
    jobs::Job job;
    auto add = [&](jobs::Job more) { job.insert(job.end(), more.begin(), more.end()); };
    if (run.Has("set-baud")) {
        const uint8_t code = ListCode(jobs::BaudRates(), "set-baud", run.Option("set-baud", ""));
        add(jobs::BaudSetting(static_cast<char>(code), over));
    }
    if (run.Has("charset"))
        add(jobs::CharsetSetting(ListCode(jobs::Charsets(), "charset", run.Option("charset", "")),
                                 over));
    if (run.Has("code-page"))
        add(jobs::CodePageSetting(
            ListCode(jobs::CodePages(), "code-page", run.Option("code-page", "")), over));
    if (run.Has("switches"))
        add(jobs::SwitchesSetting(OnOff(run, "cr", false), OnOff(run, "external-buzzer", false),
                                  OnOff(run, "builtin-buzzer", true), over));
    if (run.Has("reserved")) {
        std::array<std::string, 5> texts;
        std::copy(jobs::kDefaultReserved.begin(), jobs::kDefaultReserved.end(), texts.begin());
        if (const std::string given = run.Option("reserved-values", ""); !given.empty()) {
            std::stringstream fields(given);
            size_t n = 0;
            for (std::string field; std::getline(fields, field, ',');) {
                if (n == texts.size())
                    throw UsageError("--reserved-values takes five values");
                texts[n++] = field;
            }
            if (n != texts.size())
                throw UsageError("--reserved-values takes five values");
        }
        add(jobs::Setting(jobs::ReservedCommand(texts), over));
    }
    if (job.empty())
        throw UsageError(
            "params needs a setting: --set-baud, --charset, --code-page, --switches "
            "or --reserved");
    return job;
}

std::string BmpRefusal(int32_t code) {
    switch (code) {
        case kPosFileError:
            return "cannot be read";
        case kPosBmpMalformed:
            return "is no valid BMP file";
        case kPosBmpUnsupported:
            return "is a kind of BMP that cannot be stored";
        case kPosBmpTooLarge:
            return "is larger than the printer's NV images can be";
        default:
            return "is one picture too many";
    }
}

jobs::Job NvUpload(const Invocation& run, const Printer&) {
    posdll::FsQBuilder images;
    for (const std::string& path : run.operands) {
        const int32_t code = images.AddBmpFile(path.c_str(), kPosBmpThreshold);
        if (code != kPosSuccess)
            throw UsageError(path + " " + BmpRefusal(code));
    }
    return jobs::NvUpload(images.Take());
}

std::string Flag(const std::optional<bool>& value) {
    return value ? (*value ? "true" : "false") : "null";
}

void Status(const Invocation&, const Printer& printer, Outcome& outcome) {
    const StatusAnswers answers = AskStatus(printer);
    const PrinterStatus s = InterpretStatus(answers.answer);
    std::string bytes = "[";
    std::string shown;
    for (size_t i = 0; i < answers.answer.size(); ++i) {
        const auto& a = answers.answer[i];
        bytes += (i ? "," : "") + (a ? std::to_string(*a) : std::string("null"));
        char hex[8] = "--";
        if (a)
            std::snprintf(hex, sizeof hex, "%02X", *a);
        shown += std::string(i ? " " : "") + hex;
    }
    outcome.json["answers"] = bytes + "]";
    const std::pair<const char*, const std::optional<bool>*> fields[] = {
        {"online", &s.online},
        {"drawer_pin_high", &s.drawerPinHigh},
        {"cover_open", &s.coverOpen},
        {"feed_button", &s.feedButton},
        {"paper_stop", &s.paperStop},
        {"error", &s.errorOccurred},
        {"cutter_error", &s.cutterError},
        {"unrecoverable_error", &s.unrecoverableError},
        {"recoverable_error", &s.recoverableError},
        {"paper_near_end", &s.paperNearEnd},
        {"paper_out", &s.paperOut}};
    std::string status = "{";
    std::string text = "answers " + shown;
    for (const auto& [name, value] : fields) {
        status += std::string(status.size() > 1 ? "," : "") + JsonString(name) + ":" + Flag(*value);
        if (value->has_value())
            text += std::string("; ") + name + " " + Flag(*value);
    }
    outcome.json["status"] = status + "}";
    outcome.text = text;
    if (!answers.answer[0])
        throw std::runtime_error("no answer (" + shown + ")");
}

void Mac(const Invocation&, const Printer& printer, Outcome& outcome) {
    const std::string mac = LookUpMac(printer);
    outcome.json["mac"] = JsonString(mac);
    outcome.text = mac;
}

int Decode(const Invocation& run) {
    const std::string bytes = ReadFile(run.operands[0]);
    DecoderState state;
    const std::vector<DecodedCommand> commands = DecodeCommands(bytes, state);
    if (!run.json) {
        for (const DecodedCommand& c : commands)
            std::printf("%s\n", FormatCommand(c).c_str());
        return 0;
    }
    static const char* const kinds[] = {"text", "control", "command", "unknown"};
    std::printf("[");
    for (size_t i = 0; i < commands.size(); ++i) {
        const DecodedCommand& c = commands[i];
        std::printf(
            "%s\n{\"offset\":%zu,\"length\":%zu,\"kind\":\"%s\",\"name\":%s,\"args\":%s,"
            "\"detail\":%s,\"truncated\":%s}",
            i ? "," : "", c.offset, c.length, kinds[static_cast<int>(c.kind)],
            JsonString(c.name).c_str(), JsonString(c.args).c_str(), JsonString(c.detail).c_str(),
            c.truncated ? "true" : "false");
    }
    std::printf("\n]\n");
    return 0;
}

int Discover(const Invocation& run);
int FindSpeed(const Invocation& run);

const std::vector<CommandSpec>& Commands() {
    static const OptionSpec memo{"memo-file", "FILE", "the memo's text from FILE (UTF-8)"};
    static const std::vector<CommandSpec> commands = {
        {"send",
         "FILE",
         "send a file's bytes unchanged",
         1,
         1,
         {},
         [](const Invocation& run, const Printer&) {
             return jobs::Job{{ReadFile(run.operands[0]), false}};
         }},
        {"test-page",
         "",
         "print the test page of the printer's page (network, or serial/parallel)",
         0,
         0,
         {memo},
         [](const Invocation& run, const Printer& printer) {
             return printer.kind == Printer::Kind::Network
                        ? jobs::NetworkTestPage(Memo(run, jobs::kNetworkTestMemo))
                        : jobs::SerialTestPage(Memo(run, jobs::kSerialTestMemo));
         }},
        {"drawer",
         "",
         "open the cash drawer (pulse on pin 2)",
         0,
         0,
         {},
         [](const Invocation&, const Printer& printer) {
             return printer.kind == Printer::Kind::Network ? jobs::NetworkDrawer()
                                                           : jobs::SerialDrawer();
         }},
        {"status", "", "ask the four real-time status bytes", 0, 0, {}, nullptr, Status},
        {"mac", "", "look up a network printer's MAC address", 0, 0, {}, nullptr, Mac},
        {"set-ip",
         "ADDRESS",
         "store a new IP address in the printer (effective after restart)",
         0,
         1,
         {},
         [](const Invocation& run, const Printer& printer) {
             const std::string given = run.operands.empty() ? "" : run.operands[0];
             return jobs::NetworkSetIp(NewIp(printer.Value("ip", given)));
         },
         nullptr,
         nullptr,
         "ip"},
        {"set-mac",
         "MAC|random",
         "store a new MAC address (12 hex digits, pairs may be joined by : or -)",
         0,
         1,
         {},
         [](const Invocation& run, const Printer& printer) {
             const std::string given = run.operands.empty() ? "" : run.operands[0];
             return jobs::NetworkSetMac(NewMac(printer.Value("mac", given)));
         },
         nullptr,
         nullptr,
         "mac"},
        {"slavic",
         "",
         "store PC866 Cyrillic #2 as the power-on code page",
         0,
         0,
         {},
         [](const Invocation&, const Printer&) { return jobs::SerialSlavic(); }},
        {"factory-reset",
         "",
         "return every stored setting to its factory value",
         0,
         0,
         {},
         [](const Invocation&, const Printer&) { return jobs::SerialFactoryReset(); }},
        {"params",
         "",
         "store model parameters; each option sends its setting, in this order",
         0,
         0,
         {{"set-baud", "RATE", "the stored serial rate: 115200 (page default), 38400, 19200, 9600"},
          {"charset", "NAME", "the power-on character set, e.g. \"(U.S.A.)\" (page default)"},
          {"code-page", "NAME", "the power-on code page, e.g. \"(PC437:Standard-Europe)\""},
          {"switches", nullptr, "store the CR and buzzer switches below"},
          {"cr", "on|off", "honour CR (default off)"},
          {"external-buzzer", "on|off", "external buzzer (default off)"},
          {"builtin-buzzer", "on|off", "built-in buzzer (default on)"},
          {"reserved", nullptr, "store the reserved values below"},
          {"reserved-values", "A,B,C,D,E", "the reserved values (default 31,27,31,254,01)"}},
         Params},
        {"wireless",
         "",
         "print the wireless bridge's test page (or pulse its drawer)",
         0,
         0,
         {{"number", "N", "the printer number, exactly as typed (default 002)"},
          {"count", "N", "the page number printed on it (default 0)"},
          memo,
          {"no-cut", nullptr, "no cut at the end"},
          {"drawer", nullptr, "open the drawer instead of printing"}},
         [](const Invocation& run, const Printer& printer) {
             const std::string number =
                 printer.Value("number", run.Option("number", std::string(jobs::kWirelessNumber)));
             if (run.Has("drawer"))
                 return jobs::WirelessDrawer(number);
             return jobs::WirelessTestPage(number, StrToInt(run.Option("count", "0")),
                                           Memo(run, jobs::kWirelessMemo), !run.Has("no-cut"));
         },
         nullptr,
         nullptr,
         "number"},
        {"nv-upload",
         "BMP...",
         "store BMP pictures as the printer's NV images 1, 2, ...",
         1,
         255,
         {},
         NvUpload},
        {"nv-print",
         "",
         "print NV image 1, centred",
         0,
         0,
         {},
         [](const Invocation&, const Printer&) { return jobs::NvPrint(); }},
        {"decode",
         "FILE",
         "show the commands and text a byte file holds",
         1,
         1,
         {{"json", nullptr, "the command list as JSON"}},
         nullptr,
         nullptr,
         Decode},
        {"render",
         "FILE",
         "draw the paper a byte file prints, as PNG",
         1,
         1,
         {{"o", "OUT.png", "where the picture goes (required)"},
          {"paper", "58|80", "paper width in mm (default 80)"}},
         nullptr,
         nullptr,
         nullptr,
         nullptr,
         true},
        {"discover",
         "[RANGE...]",
         "find the printers on port 9100 of this machine's subnets (each up to a /22) or of "
         "RANGE (10.0.0.0/24, 10.0.0.1-40, 10.0.0.5,10.0.0.9), one line per printer",
         0,
         16,
         {{"json", nullptr, "one JSON object per printer"},
          {"timeout", "MS", "give each connect this long (default 500)"}},
         nullptr,
         nullptr,
         Discover},
        {"find-speed",
         "PORT",
         "find the rate a serial printer answers at (115200, 57600, 38400, 19200, 9600; 8N1)",
         1,
         1,
         {{"json", nullptr, "the result as JSON"}},
         nullptr,
         nullptr,
         FindSpeed},
        {"virtual-printer",
         "",
         "run the virtual printer without a window (TCP, and a pseudo-terminal with its radio "
         "bridge), one line per job on stdout; SIGINT or SIGTERM ends it once the job in "
         "progress is saved",
         0,
         0,
         {{"jobs", "DIR", "save each job as DIR/job-NNNN.png, .txt, .bin and .json"},
          {"listen", "HOST[:PORT]", "where to listen (default 127.0.0.1:9100, or the next free)"},
          {"paper", "58|80", "paper width in mm (default 80)"},
          {"idle", "SECONDS", "close a client silent this long (default 30; 0: never)"},
          {"paper-out", nullptr, "report paper out"},
          {"paper-near-end", nullptr, "report paper near its end"},
          {"cover-open", nullptr, "report the cover open"},
          {"drawer-open", nullptr, "report the drawer open"}},
         nullptr,
         nullptr,
         nullptr,
         nullptr,
         true},
    };
    return commands;
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
                    "give up when the printer takes nothing for this long (default 10)");
        std::printf("  %-26s %s\n", "--dry-run", "show the commands and hex; send nothing");
        std::printf("  %-26s %s\n", "--json", "one JSON object per printer on stdout");
    }
    std::printf("  %-26s %s\n", "-h, --help", "this text");
    if (ForPrinters(c))
        std::printf(
            "\nExit status: 0 when every printer succeeded, 1 when one did not, 2 for a "
            "command line that cannot run.\n");
}

void PrintCommands() {
    std::printf("Usage: kelvotool COMMAND [options]   (no command: the window)\n\nCommands:\n");
    for (const CommandSpec& c : Commands())
        std::printf("  %-15s %s\n", c.name, c.summary);
    std::printf("\n`kelvotool COMMAND --help` tells more.\n");
}

std::vector<std::string> SplitCsv(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    for (std::string field; std::getline(in, field, ',');) {
        const size_t first = field.find_first_not_of(" \t\r");
        const size_t last = field.find_last_not_of(" \t\r");
        fields.push_back(first == std::string::npos ? "" : field.substr(first, last - first + 1));
    }
    return fields;
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

void ReadTargets(const std::string& path, const CommandSpec& c, uint32_t baud,
                 std::vector<Printer>& out) {
    std::istringstream in(ReadFile(path));
    std::vector<std::string> columns;
    size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        std::vector<std::string> fields = SplitCsv(line);
        if (fields.empty() || fields[0].empty() || fields[0][0] == '#')
            continue;
        if (columns.empty() && fields[0] == "printer") {
            columns = fields;
            continue;
        }
        const std::string where = path + ":" + std::to_string(number) + ": ";
        try {
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
            const std::string n = take(word);
            auto [end, error] = std::from_chars(n.data(), n.data() + n.size(), run.parallel);
            if (error != std::errc() || end != n.data() + n.size() || run.parallel < 1 ||
                run.parallel > 256)
                throw UsageError(word + " takes 1 to 256");
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
            auto spec = std::find_if(c.options.begin(), c.options.end(), [&](const OptionSpec& o) {
                return bare == o.name && (std::strlen(o.name) == 1) != longForm;
            });
            if (spec == c.options.end())
                throw UsageError("unknown option " + word + " for " + c.name);
            if (spec->value == nullptr && inlineValue)
                throw UsageError(word + " takes no value");
            run.options[bare] = spec->value ? take(word) : "";
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

// ---- Running: cancel, progress, output ------------------------------------------------------

CancelSignal* cancelSignal = nullptr;

void OnSignal(int) {
    if (cancelSignal != nullptr)
        cancelSignal->Cancel();  // one write to an eventfd: safe in a handler
}

// SIGINT and SIGTERM cancel the running actions instead of killing the process, so every port is
// released and every printer's outcome reported.
class CancelOnSignals {
  public:
    explicit CancelOnSignals(CancelSignal& signal) {
        cancelSignal = &signal;
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~CancelOnSignals() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
        cancelSignal = nullptr;
    }
    CancelOnSignals(const CancelOnSignals&) = delete;
    CancelOnSignals& operator=(const CancelOnSignals&) = delete;

  private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

// A bar on the terminal while one printer takes a long job; nothing when stderr is no terminal.
class ProgressBar {
  public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}
    ~ProgressBar() { Clear(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void SetTotal(uint64_t total) { total_ = total; }
    void Taken(uint64_t bytes) {
        if (!enabled_ || total_ == 0)
            return;
        std::lock_guard lock(mu_);
        done_ += bytes;
        const auto now = std::chrono::steady_clock::now();
        if (now - shown_ < std::chrono::milliseconds(100) && done_ < total_)
            return;
        shown_ = now;
        constexpr int kWidth = 40;
        const int filled = static_cast<int>(kWidth * std::min(done_, total_) / total_);
        std::fprintf(stderr, "\r[%s%s] %3d%% %llu/%llu bytes", std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, ' ').c_str(),
                     static_cast<int>(100 * std::min(done_, total_) / total_),
                     static_cast<unsigned long long>(done_),
                     static_cast<unsigned long long>(total_));
        drawn_ = true;
    }
    void Clear() {
        std::lock_guard lock(mu_);
        if (drawn_)
            std::fprintf(stderr, "\r\033[K");
        drawn_ = false;
    }

  private:
    bool enabled_;
    std::mutex mu_;
    uint64_t total_ = 0;
    uint64_t done_ = 0;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point shown_{};
};

std::string OutcomeJson(const Printer& printer, const Outcome& o) {
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "\"bytes\":%llu,\"seconds\":%.3f",
                  static_cast<unsigned long long>(o.bytes), o.seconds);
    std::string line = "{\"printer\":" + JsonString(printer.name) +
                       ",\"kind\":" + JsonString(printer.KindName()) +
                       ",\"outcome\":" + JsonString(ResultName(o.result)) + "," + numbers +
                       ",\"error\":" + (o.error.empty() ? "null" : JsonString(o.error));
    for (const auto& [key, value] : o.json)
        line += "," + JsonString(key) + ":" + value;
    return line + "}";
}

void PrintDryRun(const Invocation& run, const Printer& printer, const jobs::Job& job) {
    const std::string bytes = jobs::WireBytes(job);
    DecoderState state;
    const std::vector<DecodedCommand> commands = DecodeCommands(bytes, state);
    if (run.json) {
        std::string list;
        for (const DecodedCommand& c : commands)
            list += std::string(list.empty() ? "" : ",") + JsonString(FormatCommand(c));
        std::printf(
            "{\"printer\":%s,\"kind\":%s,\"outcome\":\"dry-run\",\"bytes\":%zu,"
            "\"hex\":%s,\"commands\":[%s]}\n",
            JsonString(printer.name).c_str(), JsonString(printer.KindName()).c_str(), bytes.size(),
            JsonString(HexBytes(bytes)).c_str(), list.c_str());
        return;
    }
    std::printf("%s: %zu bytes, not sent\n", printer.name.c_str(), bytes.size());
    for (const DecodedCommand& c : commands)
        std::printf("  %s\n", FormatCommand(c).c_str());
    std::printf("  hex: %s\n", HexBytes(bytes).c_str());
}

int RunForPrinters(const Invocation& run) {
    const CommandSpec& c = *run.command;
    const size_t count = run.printers.size();
    // Every job is composed before anything is sent: a bad value fails its printer alone, and a
    // bad file stops the run before any printer is touched.
    std::vector<std::optional<jobs::Job>> composed(count);
    std::vector<Outcome> outcomes(count);
    std::vector<bool> done(count, false);
    for (size_t i = 0; i < count && c.compose; ++i) {
        try {
            composed[i] = c.compose(run, run.printers[i]);
        } catch (const UsageError&) {
            throw;
        } catch (const std::exception& e) {
            outcomes[i].result = Outcome::Result::Failed;
            outcomes[i].error = e.what();
            done[i] = true;
        }
    }
    if (run.dryRun) {
        for (size_t i = 0; i < count; ++i) {
            if (composed[i])
                PrintDryRun(run, run.printers[i], *composed[i]);
            else if (std::string_view(c.name) == "status")
                PrintDryRun(
                    run, run.printers[i],
                    {{TransmitStatus(1) + TransmitStatus(2) + TransmitStatus(3) + TransmitStatus(4),
                      false}});
            else if (c.ask)
                PrintDryRun(run, run.printers[i], {});
        }
        for (size_t i = 0; i < count; ++i) {
            if (done[i])
                std::fprintf(stderr, "kelvotool: %s: %s\n", run.printers[i].name.c_str(),
                             outcomes[i].error.c_str());
        }
        return std::find(done.begin(), done.end(), true) == done.end() ? 0 : 1;
    }

    CancelSignal cancel;
    CancelOnSignals signals(cancel);
    const bool terminal = ::isatty(STDERR_FILENO) == 1 && !run.json;
    ProgressBar bar(terminal && count == 1 && c.compose != nullptr);
    if (count == 1 && composed[0])
        bar.SetTotal(jobs::WireSize(*composed[0]));

    std::atomic<size_t> next{0};
    std::mutex outputMu;
    auto report = [&](size_t i) {
        const Printer& printer = run.printers[i];
        const Outcome& o = outcomes[i];
        std::lock_guard lock(outputMu);
        bar.Clear();
        if (run.json) {
            std::printf("%s\n", OutcomeJson(printer, o).c_str());
            std::fflush(stdout);
        } else if (count == 1 && !o.text.empty()) {
            std::printf("%s\n", o.text.c_str());
        }
        if (o.result != Outcome::Result::Ok)
            std::fprintf(stderr, "kelvotool: %s: %s%s\n", printer.name.c_str(),
                         o.result == Outcome::Result::Cancelled ? "cancelled: " : "",
                         o.error.c_str());
    };
    auto serve = [&] {
        for (size_t i; (i = next.fetch_add(1)) < count;) {
            if (!done[i]) {
                if (cancel.Cancelled()) {
                    outcomes[i].result = Outcome::Result::Cancelled;
                    outcomes[i].error = "not started";
                } else {
                    const Printer& printer = run.printers[i];
                    outcomes[i] = RunAction(
                        cancel.fd(), run.stallLimitMs,
                        [&](Outcome& o) {
                            if (composed[i])
                                SendJob(printer, *composed[i]);
                            else
                                c.ask(run, printer, o);
                        },
                        [&](uint64_t taken) { bar.Taken(taken); });
                }
            }
            report(i);
        }
    };
    {
        std::vector<std::jthread> workers;
        const size_t n = std::min(run.parallel, count);
        for (size_t w = 1; w < n; ++w)
            workers.emplace_back(serve);
        serve();
    }

    size_t failed = 0;
    for (const Outcome& o : outcomes)
        failed += o.result != Outcome::Result::Ok;
    if (!run.json && count > 1) {
        std::printf("%-32s %-9s %10s %8s\n", "PRINTER", "OUTCOME", "BYTES", "SECONDS");
        for (size_t i = 0; i < count; ++i) {
            const Outcome& o = outcomes[i];
            std::printf("%-32s %-9s %10llu %8.3f%s%s\n", run.printers[i].name.c_str(),
                        ResultName(o.result), static_cast<unsigned long long>(o.bytes), o.seconds,
                        o.text.empty() ? "" : "  ", o.text.c_str());
        }
        std::printf("%zu of %zu printers failed\n", failed, count);
    }
    return failed == 0 ? 0 : 1;
}

int Discover(const Invocation& run) {
    ScanOptions options;
    if (run.operands.empty()) {
        options.addresses = OwnSubnetAddresses();
        if (options.addresses.empty())
            throw std::runtime_error(
                "no network interface with an IPv4 address is up; name a RANGE");
    } else {
        std::string joined, error;
        for (const std::string& operand : run.operands)
            joined += operand + ",";
        options.addresses = ParseScanRange(joined, &error);
        if (options.addresses.empty())
            throw UsageError(error);
    }
    if (run.Has("timeout")) {
        const std::string n = run.Option("timeout", "");
        int ms = 0;
        auto [end, error] = std::from_chars(n.data(), n.data() + n.size(), ms);
        if (error != std::errc() || end != n.data() + n.size() || ms < 1 || ms > 60000)
            throw UsageError("--timeout takes milliseconds, 1 to 60000");
        options.connectTimeout = std::chrono::milliseconds(ms);
    }
    CancelSignal cancel;
    CancelOnSignals signals(cancel);
    options.cancelFd = cancel.fd();
    ScanReports reports;
    reports.found = [&](const FoundPrinter& p) {
        if (run.json) {
            std::printf(
                "{\"address\":%s,\"mac\":%s,\"status\":%u,\"model\":%s,\"response_ms\":%lld}\n",
                JsonString(p.address).c_str(), JsonString(p.mac).c_str(), p.status,
                JsonString(p.model).c_str(), static_cast<long long>(p.responseTime.count()));
        } else {
            std::printf("%-15s  %s  status %02X  %-12s %5lld ms\n", p.address.c_str(),
                        p.mac.c_str(), p.status, p.model.empty() ? "-" : p.model.c_str(),
                        static_cast<long long>(p.responseTime.count()));
        }
        std::fflush(stdout);  // as found: a script may act on the first line
    };
    const ScanCounts counts = ScanForPrinters(options, reports);
    std::fprintf(stderr,
                 "%zu printers among %zu addresses%s; %zu refused, %zu reset, %zu silent, %zu "
                 "accepted without answering\n",
                 counts.found, counts.total, counts.cancelled ? " (cancelled)" : "", counts.refused,
                 counts.reset, counts.silent, counts.noAnswer);
    return counts.found > 0 && !counts.cancelled ? 0 : 1;
}

int FindSpeed(const Invocation& run) {
    const std::string& port = run.operands[0];
    CancelSignal cancel;
    CancelOnSignals signals(cancel);
    const auto found = FindSerialSpeed(port, SpeedSearchLine(), kStatusAnswerWait, cancel.fd());
    if (run.json) {
        if (found)
            std::printf("{\"port\":%s,\"baud\":%u,\"status\":%u}\n", JsonString(port).c_str(),
                        found->baudRate, found->status);
        else
            std::printf("{\"port\":%s,\"baud\":null,\"status\":null}\n", JsonString(port).c_str());
    } else if (found) {
        std::printf("%u  status %02X\n", found->baudRate, found->status);
    }
    if (!found) {
        std::fprintf(
            stderr, "kelvotool find-speed: %s: %s\n", port.c_str(),
            cancel.Cancelled() ? "cancelled" : "no answer at 115200, 57600, 38400, 19200 or 9600");
        return 1;
    }
    return 0;
}

}  // namespace

bool IsCommand(std::string_view word) {
    return FindCommand(word) != nullptr || word == "help" || word == "commands";
}

void SetDrawingMain(DrawingMain main) {
    drawingMain = main;
}

int Main(int argc, char** argv) {
    const std::string name = argc > 1 ? argv[1] : "";
    const CommandSpec* c = FindCommand(name);
    if (c == nullptr) {
        PrintCommands();
        return name == "help" || name == "commands" ? 0 : kUsage;
    }
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintHelp(*c);
            return 0;
        }
        if (std::strcmp(argv[i], "--") == 0)
            break;
    }
    try {
        if (c->drawing) {
            if (drawingMain == nullptr)
                throw std::runtime_error(std::string(c->name) + " needs the window's library");
            return drawingMain(argc, argv);
        }
        const Invocation run = Parse(*c, argc, argv);
        if (c->own)
            return c->own(run);
        return RunForPrinters(run);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kelvotool %s: %s\n(kelvotool %s --help tells more)\n", c->name,
                     e.what(), c->name);
        return kUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvotool %s: %s\n", c->name, e.what());
        return 1;
    }
}

}  // namespace kelvo::cli
