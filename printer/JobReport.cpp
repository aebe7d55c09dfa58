#include "printer/JobReport.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "protocol/Json.h"

namespace kelvo::printer {

namespace {

// Bytes of a job decoded at a time for its report.
constexpr size_t kReportSlice = size_t{64} << 10;

// "2026-12-09T08:32:19.123Z"
std::string IsoTime(std::chrono::system_clock::time_point t) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
    return text;
}

std::string Hex(const uint8_t* bytes, size_t count, char separator) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0)
            out += separator;
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}

}  // namespace

std::vector<PaperItem> PaperItems(const VirtualPrinter& printer, uint64_t first, uint64_t end) {
    const uint64_t kept = printer.PaperDropped();
    const uint64_t from = std::max(first, kept), to = std::min(end, kept + printer.PaperSize());
    if (from >= to)
        return {};
    const auto& paper = printer.Paper();
    return {paper.begin() + static_cast<std::ptrdiff_t>(from - kept),
            paper.begin() + static_cast<std::ptrdiff_t>(to - kept)};
}

std::vector<SettingChange> ChangedSettings(const StoredSettings& a, const StoredSettings& b) {
    std::vector<SettingChange> changed;
    if (a.baudCode != b.baudCode)
        changed.push_back({"baud", int64_t{b.Baud()}});
    if (a.intlCharset != b.intlCharset)
        changed.push_back({"charset", int64_t{b.intlCharset}});
    if (a.chineseMode != b.chineseMode)
        changed.push_back({"chinese", b.chineseMode});
    if (a.codePage != b.codePage)
        changed.push_back({"code_page", int64_t{b.codePage}});
    if (a.ip != b.ip) {
        changed.push_back({"ip", std::to_string(b.ip[0]) + '.' + std::to_string(b.ip[1]) + '.' +
                                     std::to_string(b.ip[2]) + '.' + std::to_string(b.ip[3])});
    }
    if (a.mac != b.mac)
        changed.push_back({"mac", Hex(b.mac.data(), b.mac.size(), ':')});
    if (a.switches != b.switches)
        changed.push_back({"switches", int64_t{b.switches}});
    return changed;
}

JobReport ReportOf(const EndedJob& job) {
    JobReport report;
    report.printer = job.printer;
    report.record = job.record;
    for (const PaperItem& item : job.paper) {
        if (const auto* line = std::get_if<PaperLine>(&item)) {
            std::string text;
            for (const TextRun& run : line->runs)
                text += run.utf8;
            report.text += text + '\n';
            report.lines.push_back(std::move(text));
        } else if (const auto* image = std::get_if<PaperImage>(&item)) {
            report.text += "[image]\n";
            report.pictures.push_back({image->width, image->height});
            if (!image->symbol.empty())
                report.symbols.push_back({image->symbol, image->symbolData});
        } else if (std::holds_alternative<PaperCut>(item)) {
            report.text += "--- cut ---\n";
            ++report.cuts;
        }
    }
    report.settingsChanged = ChangedSettings(job.trace.before, job.after);
    // Read a slice at a time, so that only the commands listed are held.
    CommandStream stream;
    auto take = [&](const std::vector<DecodedCommand>& settled) {
        for (const DecodedCommand& c : settled) {
            if (report.commands.size() < kRecordCommands)
                report.commands.push_back(c);
            else
                ++report.moreCommands[!c.name.empty()                        ? c.name
                                      : c.kind == DecodedCommand::Kind::Text ? "text"
                                                                             : "unknown"];
        }
    };
    const std::string_view bytes = job.trace.bytes;
    for (size_t at = 0; at < bytes.size(); at += kReportSlice)
        take(stream.Feed(bytes.substr(at, kReportSlice)));
    take(stream.End());
    report.bytesKept = bytes.size();
    report.statusAnswers = job.trace.answers;
    report.statusAnswersMore = job.trace.answersMore;
    return report;
}

bool IsStatusExchange(const JobReport& report) {
    auto asks = [](const DecodedCommand& c) {
        return c.kind == DecodedCommand::Kind::Command && !c.truncated &&
               (c.id == CommandId::RealTimeStatus || c.id == CommandId::RealTimeRequest ||
                c.id == CommandId::SensorStatus || c.id == CommandId::PrinterId);
    };
    // Past the first commands only names are left: these requests' names are unambiguous.
    auto named = [](const auto& more) {
        return more.first == "DLE EOT" || more.first == "DLE ENQ" || more.first == "GS r" ||
               more.first == "GS I";
    };
    return !report.commands.empty() && report.bytesKept == report.record.bytes &&
           report.lines.empty() && report.pictures.empty() && report.cuts == 0 &&
           report.settingsChanged.empty() &&
           std::all_of(report.commands.begin(), report.commands.end(), asks) &&
           std::all_of(report.moreCommands.begin(), report.moreCommands.end(), named);
}

std::string RecordJson(const JobReport& report, uint64_t saved) {
    const JobRecord& r = report.record;
    json::Array commands;
    for (const DecodedCommand& c : report.commands)
        commands.Add(FormatCommand(c));
    json::Object settings;
    for (const SettingChange& change : report.settingsChanged) {
        std::visit([&](const auto& value) { settings.Add(change.key, value); }, change.value);
    }
    // By name, as the record has always listed its members.
    json::Object record;
    record.Add("bytes", r.bytes);
    if (report.bytesKept < r.bytes)
        record.Add("bytes_kept", report.bytesKept);
    record.Raw("commands", commands.str());
    if (!report.moreCommands.empty()) {
        json::Object more;
        for (const auto& [name, count] : report.moreCommands)
            more.Add(name, count);
        record.Raw("commands_more", more.str());
    }
    record.Add("dropped", r.dropped)
        .Add("end", r.end)
        .Add("ended", IsoTime(r.ended))
        .Add("endpoint", r.endpoint)
        .Add("job", saved)
        .Raw("settings_changed", settings.str())
        .Add("started", IsoTime(r.started))
        .Add("status_answers", HexBytes(report.statusAnswers));
    if (report.statusAnswersMore > 0)
        record.Add("status_answers_more", report.statusAnswersMore);
    // Only a job that printed symbols has them: every other job's record stays as it was.
    if (!report.symbols.empty()) {
        json::Array symbols;
        for (const JobReport::Symbol& s : report.symbols)
            symbols.Raw(json::Object().Add("data", s.data).Add("kind", s.kind).str());
        record.Raw("symbols", symbols.str());
    }
    return json::Indented(record.str());
}

}  // namespace kelvo::printer
