#include "cli/CommandLine.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Invocation.h"
#include "cli/Print.h"
#include "cli/Printer.h"
#include "cli/Run.h"
#include "cli/Tap.h"
#include "jobs/Jobs.h"
#include "links/ControlSocket.h"
#include "links/Discovery.h"
#include "links/PosdllFuncs.h"
#include "links/SerialSpeed.h"
#include "links/Transfer.h"
#include "posdll/BmpReader.h"
#include "printer/PaperWidth.h"
#include "printer/ReceiptCheck.h"
#include "protocol/Commands.h"
#include "protocol/Decoder.h"
#include "protocol/GbkText.h"
#include "protocol/IntegerText.h"
#include "protocol/Json.h"
#include "protocol/Persona.h"
#include "protocol/PrinterStatus.h"
#include "protocol/TapCapture.h"

namespace kelvo::cli {

namespace {

constexpr char kBadIp[] = "数值有误请设置介于1-223之间";
// Bytes `decode` reads at a time: its memory is one slice and what the slice decodes to.
constexpr size_t kDecodeSlice = size_t{64} << 10;

DrawingMain drawingMain = nullptr;

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
    json::Array bytes;
    std::string shown;
    for (size_t i = 0; i < answers.answer.size(); ++i) {
        const auto& a = answers.answer[i];
        bytes.Raw(a ? std::to_string(*a) : "null");
        char hex[8] = "--";
        if (a)
            std::snprintf(hex, sizeof hex, "%02X", *a);
        shown += std::string(i ? " " : "") + hex;
    }
    outcome.json["answers"] = bytes.str();
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
    json::Object status;
    std::string text = "answers " + shown;
    for (const auto& [name, value] : fields) {
        status.Raw(name, Flag(*value));
        if (value->has_value())
            text += std::string("; ") + name + " " + Flag(*value);
    }
    outcome.json["status"] = status.str();
    outcome.text = text;
    // What discovery counts as a printer: an answer to DLE EOT 1 with the fixed bits right.
    if (!answers.answer[0])
        throw std::runtime_error("no answer (" + shown + ")");
    if (!IsStatusByte(*answers.answer[0]))
        throw std::runtime_error("the answer to DLE EOT 1 is no status byte (" + shown + ")");
}

void Mac(const Invocation&, const Printer& printer, Outcome& outcome) {
    const std::string mac = LookUpMac(printer);
    outcome.json["mac"] = json::String(mac);
    outcome.text = mac;
}

int Decode(const Invocation& run) {
    std::ifstream in = OpenFile(run.operands[0]);
    static const char* const kinds[] = {"text", "control", "command", "unknown"};
    size_t shown = 0;
    // With --json, one command a line, the closing bracket on a line of its own.
    auto show = [&](const std::vector<DecodedCommand>& commands) {
        std::string out;
        for (const DecodedCommand& c : commands) {
            if (!run.json) {
                out += FormatCommand(c) + '\n';
                continue;
            }
            out += shown++ ? ",\n" : "\n";
            out += json::Object()
                       .Add("offset", c.offset)
                       .Add("length", c.length)
                       .Add("kind", kinds[static_cast<int>(c.kind)])
                       .Add("name", c.name)
                       .Add("args", c.args)
                       .Add("detail", c.detail)
                       .Add("truncated", c.truncated)
                       .str();
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
    };
    if (run.json)
        std::fputs("[", stdout);
    // Printed as it is read: what is held is one slice and the entries it settles.
    CommandStream stream;
    std::string slice(kDecodeSlice, '\0');
    while (in.read(slice.data(), std::streamsize(slice.size())) || in.gcount() > 0)
        show(stream.Feed(std::string_view(slice.data(), size_t(in.gcount()))));
    show(stream.End());
    if (run.json)
        std::fputs("\n]\n", stdout);
    return 0;
}

int Discover(const Invocation& run);
int FindSpeed(const Invocation& run);
int Render(const Invocation& run);
int Check(const Invocation& run);
int HeadlessPrinter(const Invocation& run);
int Lab(const Invocation& run);
int TapCommand(const Invocation& run);

// A file's bytes as one piece; a tap's capture as what the POS sent in each of its sessions, in
// order, each piece after its captured pause with `pace`.
jobs::Job SendJob(std::string file, bool pace) {
    if (!IsPcapng(file))
        return jobs::Job{{std::move(file), false}};
    std::string why;
    const auto captured = ReadTapCapture(file, &why);
    if (!captured)
        throw std::runtime_error(why);
    jobs::Job job;
    std::optional<std::chrono::system_clock::time_point> last;
    for (const CapturedBytes& c : *captured) {
        if (!c.fromPos)
            continue;
        jobs::Piece piece{c.bytes, false};
        if (pace && last)
            piece.pause = std::chrono::duration_cast<std::chrono::microseconds>(c.at - *last);
        last = c.at;
        job.push_back(std::move(piece));
    }
    return job;
}

}  // namespace

const std::vector<CommandSpec>& Commands() {
    static const OptionSpec memo{"memo-file", "FILE", "the memo's text from FILE (UTF-8)"};
    static const std::vector<CommandSpec> commands = {
        {"send",
         "FILE",
         "send a file's bytes unchanged (a tap's capture: what the POS sent)",
         1,
         1,
         {{"pace", nullptr, "a capture: keep the pauses between what the POS sent"}},
         [](const Invocation& run, const Printer&) {
             return SendJob(ReadFile(run.operands[0]), run.Has("pace"));
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
        {"print",
         "",
         "compose a receipt from the options, in the order given, and print it",
         0,
         0,
         {{"text", "STRING",
           "a line of text (UTF-8), each character in a code page of the printer's that holds it, "
           "Chinese in GBK"},
          {"image", "FILE", "a picture (PNG, JPEG, BMP), scaled to the paper's width, dithered"},
          {"qr", "DATA", "a QR code"},
          {"barcode", "TYPE:DATA",
           "a bar code, TYPE one of CODE128, EAN13, EAN8, UPC-A, UPC-E, CODE39, CODE93, ITF, "
           "CODABAR"},
          {"align", "left|center|right", "the justification of what follows"},
          {"bold", "on|off", "bold text from here"},
          {"size", "WxH", "character size from here, 1 to 8 times each way (default 1x1)"},
          {"cut", nullptr, "feed and cut the paper"},
          {"paper", "58|80", "the paper's width in mm, for pictures (default 80)"}},
         [](const Invocation& run, const Printer&) { return PrintReceipt(run); }},
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
         "draw the paper a byte file prints, as PNG; or show its text, or compare it with a "
         "golden picture (exit status 1 when it differs)",
         1,
         1,
         {{"o", "OUT.png", "where the picture goes"},
          {"output", "OUT.png", "the same as -o"},
          {"paper", "58|80", "paper width in mm (default 80)"},
          {"text", nullptr, "print the paper's text, a line each"},
          {"compare", "GOLDEN.png",
           "compare the paper with GOLDEN.png dot for dot; when it differs, name the rows and "
           "lines changed and write a diff picture"},
          {"tolerance", "DOTS",
           "a changed dot counts as the same when both pictures have a dot of its colour within "
           "DOTS dots (0 to 16, default 0)"},
          {"diff", "DIFF.png", "where the diff picture goes (default: GOLDEN.diff.png beside it)"}},
         nullptr,
         nullptr,
         Render},
        {"check",
         "FILE",
         "lint a receipt's bytes: what this family would not print as meant (unknown or "
         "unfinished commands, text printed as \"?\", pictures too wide, symbol data refused, "
         "no cut, rasters too large), each at its byte offset; exit status 1 for a finding",
         1,
         1,
         {{"paper", "58|80", "paper width in mm (default 80)"},
          {"json", nullptr, "one JSON object per finding"}},
         nullptr,
         nullptr,
         Check},
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
         {{"save", "DIR",
           "save each job as DIR/job-NNNN.png, .txt, .bin and .json, numbered on from the "
           "highest job-NNNN already there"},
          {"listen", "HOST[:PORT]",
           "where to listen, and nowhere else (default 127.0.0.1:9100, or the next free)"},
          {"lpd", "[HOST:]PORT", "take LPD jobs (RFC 1179) there too (HOST: --listen's)"},
          {"paper", "58|80", "paper width in mm (default 80)"},
          {"idle", "SECONDS", "close a client silent this long (default 30; 0: never)"},
          {"speed", "MM_PER_S",
           "print so many mm of paper a second, and take bytes no faster (default: at once)"},
          {"paper-out", nullptr, "report paper out"},
          {"paper-near-end", nullptr, "report paper near its end"},
          {"cover-open", nullptr, "report the cover open"},
          {"drawer-open", nullptr, "report the drawer open"},
          {"persona", "CAPTURE",
           "answer status and identity requests as the printer of a tap's capture did"},
          {"faults", "\"STEP; STEP\"",
           "the printer's faults on cue, each WHEN WHAT: WHEN at 5s, job 3, 100mm or 1024B; "
           "WHAT as for lab set (\"100mm paper-out; job 2 reset\")"},
          {"http", "[HOST:]PORT",
           "serve a web page and JSON API of the printers and their jobs there (HOST: "
           "127.0.0.1; beyond loopback, changes need the token it prints)"},
          {"control", "PATH",
           "the control socket for lab set (default: kelvotool/control in $XDG_RUNTIME_DIR, "
           "else in /tmp/kelvotool-UID; its path goes to stderr)"},
          {"lab", "FILE",
           "run the printers a lab file names (JSON; see the README), each with its own address, "
           "paper, identity, settings and folder, instead of --listen, --lpd, --paper and --save"},
          {"json", nullptr, "one JSON object per job (and per status exchange) on stdout"},
          {"exit-after", "N", "exit once N jobs have ended (status exchanges not counted)"},
          {"exit-idle", "SECONDS", "exit once no printer has had a byte for this long"}},
         nullptr,
         nullptr,
         HeadlessPrinter},
        {"tap",
         "",
         "stand between a POS and its printer (network, or serial through a pseudo-terminal): "
         "every byte both ways passed on unchanged, shown decoded as it happens; SIGINT or "
         "SIGTERM ends it",
         0,
         0,
         {{"listen", "[HOST:]PORT",
           "a network printer: where the POS connects (HOST default 127.0.0.1)"},
          {"p", "PRINTER", "the printer: HOST[:PORT], or a serial port (/dev/ttyUSB0, COM1)"},
          {"printer", "PRINTER", "the printer"},
          {"baud", "RATE", "a serial printer: set its line to RATE (default: as the port has it)"},
          {"pty", "LINK", "a serial printer: a symbolic link to the pseudo-terminal the POS opens"},
          {"json", nullptr, "one JSON line per event"},
          {"save", "FILE", "keep both directions with their times as a pcapng capture"}},
         nullptr,
         nullptr,
         TapCommand},
        {"lab",
         "set NAME WHAT [on|off|MS]",
         "change a running virtual printer's state (NAME: network); WHAT: paper-near-end, "
         "paper-out, paper-in, cover-open, cover-close, offline, online, error, drawer-open, "
         "drawer-close, reset (the client's connection), stall (read nothing), status-late MS, "
         "status-never, status-normal",
         3,
         4,
         {{"control", "PATH", "the printer's control socket (default: as virtual-printer's)"}},
         nullptr,
         nullptr,
         Lab},
    };
    return commands;
}

namespace {

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
        const std::optional<long> ms = WholeNumber(run.Option("timeout", ""), 1, 60000);
        if (!ms)
            throw UsageError("--timeout takes milliseconds, 1 to 60000");
        options.connectTimeout = std::chrono::milliseconds(*ms);
    }
    CancelSignal cancel;
    CancelOnSignals signals(cancel);
    options.cancelFd = cancel.fd();
    ScanReports reports;
    reports.found = [&](const FoundPrinter& p) {
        if (run.json) {
            std::printf("%s\n",
                        json::Object()
                            .Add("address", p.address)
                            .Add("mac", p.mac)
                            .Add("status", unsigned{p.status})
                            .Add("model", p.model)
                            .Add("response_ms", static_cast<long long>(p.responseTime.count()))
                            .str()
                            .c_str());
        } else {
            std::printf("%-15s  %s  status %02X  %-12s %5lld ms\n", p.address.c_str(),
                        p.mac.c_str(), p.status, p.model.empty() ? "-" : PlainText(p.model).c_str(),
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
        json::Object line;
        line.Add("port", port);
        if (found)
            line.Add("baud", unsigned{found->baudRate}).Add("status", unsigned{found->status});
        else
            line.Null("baud").Null("status");
        std::printf("%s\n", line.str().c_str());
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

int Draw(const Invocation& run, const DrawingRequest& request) {
    if (drawingMain == nullptr)
        throw std::runtime_error(std::string(run.command->name) + " needs the window's library");
    return drawingMain(request);
}

int Render(const Invocation& run) {
    RenderRequest request;
    request.input = ReadFile(run.operands[0]);
    request.inputName = run.operands[0];
    request.output = run.Option("o", run.Option("output", ""));
    request.text = run.Has("text");
    request.compare = run.Option("compare", "");
    if (request.compare.empty() && (run.Has("tolerance") || run.Has("diff")))
        throw UsageError("--tolerance and --diff go with --compare");
    if (request.output.empty() && !request.text && request.compare.empty())
        throw UsageError("render needs -o OUT.png, --text or --compare GOLDEN.png");
    request.tolerance = static_cast<int>(run.Number("tolerance", 0, 16, "dots").value_or(0));
    request.diff = run.Option("diff", "");
    if (request.diff.empty() && !request.compare.empty()) {
        const std::string& golden = request.compare;
        const bool png = golden.size() > 4 && golden.ends_with(".png");
        request.diff = golden.substr(0, golden.size() - (png ? 4 : 0)) + ".diff.png";
    }
    request.paperDots = PaperDots(run);
    return Draw(run, request);
}

int Check(const Invocation& run) {
    const std::string& path = run.operands[0];
    const int paper = PaperDots(run);
    const auto findings = printer::CheckReceipt(ReadFile(path), paper);
    std::string out;
    for (const printer::Finding& f : findings) {
        const char* kind = printer::FindingName(f.kind);
        out += run.json ? json::Object()
                              .Add("file", path)
                              .Add("offset", f.offset)
                              .Add("kind", kind)
                              .Add("what", f.what)
                              .str()
                        : path + ":" + std::to_string(f.offset) + ": " + kind + ": " + f.what;
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return findings.empty() ? 0 : 1;
}

// HOST, HOST:PORT or [IPv6]:PORT, for --`option`; with `portOnly`, PORT alone as well.
void Where(const char* option, const std::string& given, bool portOnly,
           std::optional<std::string>& host, std::optional<uint16_t>& port) {
    const std::string name = std::string("--") + option;
    std::optional<HostPort> where = SplitHostPort(given);
    if (portOnly && WholeNumber(given, 0, 65535))
        where = HostPort{"", given};
    if (!where)
        throw UsageError(name + ": '" + given + "' is no HOST[:PORT]");
    if (where->host.empty() && !portOnly)
        throw UsageError(name + ": '" + given + "' names no host");
    in6_addr address{};
    if (!where->host.empty() && ::inet_pton(AF_INET, where->host.c_str(), &address) != 1 &&
        ::inet_pton(AF_INET6, where->host.c_str(), &address) != 1)
        throw UsageError(name + ": '" + where->host + "' is no numeric address (127.0.0.1, ::1)");
    if (where->port) {
        const std::optional<long> n = WholeNumber(*where->port, 0, 65535);
        if (!n)
            throw UsageError(name + ": '" + *where->port + "' is no TCP port (0 to 65535)");
        port = static_cast<uint16_t>(*n);
    } else if (portOnly) {
        throw UsageError(name + ": '" + given + "' names no port");
    }
    if (!where->host.empty())
        host = where->host;
}

int TapCommand(const Invocation& run) {
    std::optional<std::string> host;
    std::optional<uint16_t> port;
    if (run.Has("listen"))
        Where("listen", run.Option("listen", ""), true, host, port);
    return Tap(run, host.value_or("127.0.0.1"), port);
}

int HeadlessPrinter(const Invocation& run) {
    HeadlessPrinterRequest request;
    request.saveDir = run.Option("save", "");
    if (run.Has("save") && request.saveDir.empty())
        throw UsageError("--save: needs a folder");
    if (run.Has("listen"))
        Where("listen", run.Option("listen", ""), false, request.host, request.port);
    if (run.Has("lpd"))
        Where("lpd", run.Option("lpd", ""), true, request.lpdHost, request.lpdPort);
    if (run.Has("http"))
        Where("http", run.Option("http", ""), true, request.httpHost, request.httpPort);
    if (const std::optional<long> idle = run.Number("idle", 0, 3600, "seconds"))
        request.idle = std::chrono::seconds(*idle);
    request.paperDots = PaperDots(run);
    request.speedMmPerSecond = run.Number("speed", 0, 10000, "mm a second").value_or(0);
    request.paperOut = run.Has("paper-out");
    request.paperNearEnd = run.Has("paper-near-end");
    request.coverOpen = run.Has("cover-open");
    request.drawerOpen = run.Has("drawer-open");
    std::stringstream steps(run.Option("faults", ""));
    for (std::string step; std::getline(steps, step, ';');) {
        if (step.find_first_not_of(" \t") != std::string::npos)
            request.faults.push_back(step);
    }
    if (run.Has("persona")) {
        const std::string path = run.Option("persona", "");
        std::string why;
        std::optional<Persona> persona = PersonaOfCapture(ReadFile(path), &why);
        if (!persona)
            throw UsageError("--persona: " + path + ": " + why);
        request.persona = std::move(*persona);
    }
    request.control = run.Option("control", "");
    if (run.Has("control") && request.control.empty())
        throw UsageError("--control: needs a path");
    request.lab = run.Option("lab", "");
    if (run.Has("lab")) {
        if (request.lab.empty())
            throw UsageError("--lab: needs a file");
        for (const char* own : {"listen", "lpd", "paper", "save", "persona"}) {
            if (run.Has(own))
                throw UsageError(std::string("--") + own +
                                 ": the lab file names it for each printer");
        }
    }
    request.json = run.json;
    if (const std::optional<long> n = run.Number("exit-after", 1, 1L << 30, "jobs"))
        request.exitAfter = static_cast<uint64_t>(*n);
    if (const std::optional<long> idle = run.Number("exit-idle", 1, 86400, "seconds"))
        request.exitIdle = std::chrono::seconds(*idle);
    return Draw(run, request);
}

int Lab(const Invocation& run) {
    if (run.operands[0] != "set")
        throw UsageError("'" + run.operands[0] + "' is no lab command: set");
    std::string request;
    for (const std::string& word : run.operands)
        request += (request.empty() ? "" : " ") + word;
    const std::string path = run.Has("control") ? run.Option("control", "") : DefaultControlPath();
    const std::string answer = AskControl(path, request);
    if (answer == "ok")
        return 0;
    std::fprintf(stderr, "kelvotool lab: %s\n",
                 answer.substr(answer.starts_with("error: ") ? 7 : 0).c_str());
    return 1;
}

}  // namespace

int PaperDots(const Invocation& run) {
    const std::string mm = run.Option("paper", "80");
    if (const std::optional<int> dots = printer::PaperDotsForMm(mm))
        return *dots;
    throw UsageError("--paper: takes 58 or 80 (mm), not '" + mm + "'");
}

bool ForCommandLine(std::string_view word) {
    return !word.starts_with('-');
}

void SetDrawingMain(DrawingMain main) {
    drawingMain = main;
}

int Main(int argc, char** argv) {
    const std::string name = argc > 1 ? argv[1] : "";
    const CommandSpec* c = FindCommand(name);
    if (c == nullptr) {
        if (name == "help" || name == "commands") {
            PrintCommands(stdout);
            return 0;
        }
        std::fprintf(stderr, "kelvotool: '%s' is no command\n\n", name.c_str());
        PrintCommands(stderr);
        return kUsage;
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
