// The integer rule reads every number typed into the window; checked against a reference written
// the other way round (validate the shape first, then let the C library convert).
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "protocol/IntegerText.h"

namespace {

std::optional<int32_t> Reference(const std::string& text) {
    const size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos)
        return std::nullopt;
    std::string s = text.substr(start);
    bool negative = false;
    if (s[0] == '+' || s[0] == '-') {
        negative = s[0] == '-';
        s.erase(0, 1);
    }
    int base = 10;
    if (s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0) {
        base = 16;
        s.erase(0, 2);
    } else if (!s.empty() && (s[0] == '$' || s[0] == 'x' || s[0] == 'X')) {
        base = 16;
        s.erase(0, 1);
    }
    if (s.empty())
        return std::nullopt;
    const bool digitsOnly = std::all_of(s.begin(), s.end(), [base](char c) {
        const auto u = static_cast<unsigned char>(c);
        return base == 16 ? std::isxdigit(u) != 0 : std::isdigit(u) != 0;
    });
    if (!digitsOnly)
        return std::nullopt;
    s.erase(0, std::min(s.find_first_not_of('0'), s.size() - 1));
    if (s.size() > 12)
        return std::nullopt;
    const unsigned long long v = std::strtoull(s.c_str(), nullptr, base);
    if (base == 16) {
        if (v > 0xFFFFFFFFull)
            return std::nullopt;
        const uint32_t pattern = static_cast<uint32_t>(v);
        return static_cast<int32_t>(negative ? 0u - pattern : pattern);
    }
    if (v > (negative ? 2147483648ull : 2147483647ull))
        return std::nullopt;
    return static_cast<int32_t>(negative ? -static_cast<long long>(v) : static_cast<long long>(v));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::optional<int32_t> got;
    try {
        got = kelvo::StrToInt(text);
    } catch (const kelvo::EConvertError& e) {
        // what() is a C string: compare up to a 00 the typed text may contain.
        const std::string expected = "'" + text + "' is not a valid integer value";
        if (std::string(e.what()) != expected.c_str())
            std::abort();
    }
    if (got != Reference(text))
        std::abort();
    return 0;
}
