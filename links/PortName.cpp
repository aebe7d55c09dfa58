#include "links/PortName.h"

#include <cstdlib>

namespace kelvo {

namespace {

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= s.size())
            return false;
        char c = s[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != prefix[i])
            return false;
    }
    return true;
}

}  // namespace

std::optional<unsigned long> PortNumber(const std::string& name) {
    if ((!StartsWithNoCase(name, "COM") && !StartsWithNoCase(name, "LPT")) || name.size() <= 3 ||
        name.find_first_not_of("0123456789", 3) != std::string::npos)
        return std::nullopt;
    if (name.size() > 3 + 9)
        return 0;
    unsigned long n = 0;
    for (size_t i = 3; i < name.size(); ++i)
        n = n * 10 + static_cast<unsigned long>(name[i] - '0');
    return n;
}

ResolvedPort ResolvePortName(const std::string& name) {
    if (const std::optional<unsigned long> n = PortNumber(name); n && *n >= 1) {
        const bool com = StartsWithNoCase(name, "COM");
        const std::string kind = com ? "COM" : "LPT";
        const std::string var = "KELVOTOOL_" + kind + std::to_string(*n);
        if (const char* over = std::getenv(var.c_str()); over != nullptr && *over != '\0') {
            return {over, true};
        }
        return {(com ? "/dev/ttyS" : "/dev/lp") + std::to_string(*n - 1), true};
    }
    return {name, name.rfind("/dev/", 0) == 0};
}

}  // namespace kelvo
