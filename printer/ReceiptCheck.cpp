#include "printer/ReceiptCheck.h"

#include <algorithm>
#include <optional>
#include <variant>

#include "printer/JobReport.h"
#include "printer/VirtualPrinter.h"
#include "protocol/Decoder.h"

namespace kelvo::printer {

namespace {

using Kind = Finding::Kind;

// Bytes decoded at a time: the file is held whole, its entries a slice's worth at a time.
constexpr size_t kCheckSlice = size_t{64} << 10;
// Unprintable bytes named in one finding; the rest are counted.
constexpr size_t kBytesNamed = 8;

Kind KindOf(Refusal::Kind kind) {
    switch (kind) {
        case Refusal::Kind::TooLarge:
            return Kind::TooLarge;
        case Refusal::Kind::SymbolData:
            return Kind::SymbolRefused;
        default:
            return Kind::TooWide;
    }
}

std::string CharacterSet(const DecoderState& state) {
    return state.chinese ? "GBK (Chinese mode)" : "code page " + std::to_string(state.codePage);
}

// Whether a reader sees anything of it: blank lines fed after a cut are no receipt.
bool Printed(const PaperItem& item) {
    if (std::holds_alternative<PaperImage>(item))
        return true;
    const auto* line = std::get_if<PaperLine>(&item);
    return line && std::any_of(line->runs.begin(), line->runs.end(), [](const TextRun& run) {
               return run.style.reverse || run.utf8.find_first_not_of(' ') != std::string::npos;
           });
}

}  // namespace

const char* FindingName(Finding::Kind kind) {
    static const char* const kNames[] = {"unknown-command", "unfinished", "unprintable", "too-wide",
                                         "symbol-refused",  "no-cut",     "too-large"};
    return kNames[static_cast<int>(kind)];
}

std::vector<Finding> CheckReceipt(std::string_view bytes, int paperDots) {
    VirtualPrinter printer;
    printer.SetPaperWidth(paperDots);
    std::vector<Finding> findings;
    uint64_t at = 0;  // the entry being read, for what the printer refuses in it
    printer.WatchRefusals([&](const Refusal& r) {
        findings.push_back({KindOf(r.kind), at, r.what});
    });
    // The text state, by the rule the printer follows, for the character set each text is in.
    DecoderState state{printer.Settings().chineseMode, printer.Settings().codePage};
    std::optional<uint64_t> lastPrinted;
    bool cutSince = false, everCut = false;
    auto read = [&](const std::vector<DecodedCommand>& entries) {
        for (const DecodedCommand& c : entries) {
            at = c.offset;
            const std::string_view entry = bytes.substr(c.offset, c.length);
            const uint64_t paperBefore = printer.PaperDropped() + printer.PaperSize();
            const uint64_t cutsBefore = printer.Count().cuts;
            printer.Feed(entry);
            const uint64_t paperAfter = printer.PaperDropped() + printer.PaperSize();
            for (const PaperItem& item : PaperItems(printer, paperBefore, paperAfter)) {
                if (std::holds_alternative<PaperCut>(item)) {
                    cutSince = everCut = true;
                } else if (Printed(item)) {
                    lastPrinted = c.offset + c.length;  // where its cut belongs
                    cutSince = false;
                }
            }
            if (c.kind == DecodedCommand::Kind::Command) {
                ApplyToState(c.id, entry, state,
                             {printer.Settings().chineseMode, printer.Settings().codePage});
            } else if (c.kind == DecodedCommand::Kind::Text) {
                if (const std::vector<size_t> odd = UnprintableBytes(entry, state); !odd.empty()) {
                    std::string named;
                    for (size_t i = 0; i < std::min(odd.size(), kBytesNamed); ++i)
                        named += (i ? " " : "") + HexBytes(entry.substr(odd[i], 1));
                    if (odd.size() > kBytesNamed)
                        named += " …";
                    findings.push_back({Kind::Unprintable, c.offset + odd[0],
                                        std::to_string(odd.size()) +
                                            (odd.size() == 1 ? " byte" : " bytes") + " that " +
                                            CharacterSet(state) +
                                            " holds no character for, printed as \"?\": " + named});
                }
            } else if (c.kind == DecodedCommand::Kind::Unknown &&
                       entry.find_first_not_of('\0') != std::string_view::npos &&
                       paperAfter == paperBefore && printer.Count().cuts == cutsBefore) {
                // NUL pads what printers ignore; ESC i and ESC m the printer still cuts at.
                findings.push_back({Kind::UnknownCommand, c.offset,
                                    "bytes no command of this family explains: " + c.detail});
            }
            if (c.truncated) {
                findings.push_back({Kind::Unfinished, c.offset,
                                    c.name + ": the file ends after " + std::to_string(c.length) +
                                        " of its " + std::to_string(c.needed) + " bytes"});
            }
        }
    };
    CommandStream stream;
    for (size_t from = 0; from < bytes.size(); from += kCheckSlice)
        read(stream.Feed(bytes.substr(from, kCheckSlice)));
    read(stream.End());
    if (lastPrinted && !cutSince) {
        findings.push_back({Kind::NoCut, *lastPrinted,
                            std::string(everCut ? "nothing cuts off what prints after the last cut"
                                                : "the receipt is never cut") +
                                ": its last line ends here"});
    }
    std::stable_sort(findings.begin(), findings.end(),
                     [](const Finding& a, const Finding& b) { return a.offset < b.offset; });
    return findings;
}

}  // namespace kelvo::printer
