#pragma once

// A lint of a receipt's bytes: what this family's printer would not print as the sender meant,
// each at the byte where it starts. The decoder names the commands, the printer model reads them
// as a printer of this family does and says what it refused; nothing here reads bytes again.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo::printer {

struct Finding {
    enum class Kind : uint8_t {
        UnknownCommand,  // bytes no command of this family explains
        Unfinished,      // a command the file ends inside
        Unprintable,     // text the character set in force holds no character for: "?"
        TooWide,         // a picture or symbol wider than the paper
        SymbolRefused,   // data its symbology refuses
        NoCut,           // no cut after the last line printed: at the end of that line
        TooLarge,        // a picture larger than the printer takes, refused at its header
    };
    Kind kind;
    uint64_t offset = 0;  // where in the file it starts
    std::string what;
    bool operator==(const Finding&) const = default;
};

// "unknown-command", "unfinished", "unprintable", "too-wide", "symbol-refused", "no-cut",
// "too-large".
const char* FindingName(Finding::Kind kind);

// The findings of `bytes` printed from power on, on paper `paperDots` wide, in file order.
std::vector<Finding> CheckReceipt(std::string_view bytes, int paperDots);

}  // namespace kelvo::printer
