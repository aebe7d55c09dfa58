#pragma once

// A printer's persona: what it answered to each status and identity request (DLE EOT n, GS r n,
// GS I n, and GS a n's automatic status), read from a tap's capture, for a virtual printer to
// answer in its place.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/TapCapture.h"

namespace kelvo {

struct Persona {
    // By the request's bytes (10 04 01, 1D 49 43, 1D 72 31, 1D 61 FF): what the printer sent back
    // the first time it was asked.
    std::map<std::string, std::string, std::less<>> answers;

    // The answer to `request`, or nullptr when the capture did not ask it.
    const std::string* Find(std::string_view request) const {
        const auto found = answers.find(request);
        return found == answers.end() ? nullptr : &found->second;
    }
};

// The requests of each session paired with what came back, in order: a DLE EOT, GS r or
// GS I 1..3 answer is one byte, a GS I text "_" to its NUL, an automatic status four bytes that
// start with bit 4 set and bits 0, 1, 7 clear. Bytes nobody asked for are left out.
Persona PersonaOf(const std::vector<CapturedBytes>& captured);

// The persona of a tap's capture file; nothing and why for a file that is none.
std::optional<Persona> PersonaOfCapture(std::string_view file, std::string* why);

}  // namespace kelvo
