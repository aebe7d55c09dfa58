// Any bytes a user loads or captures are decoded for showing: the entries must tile the input.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/Decoder.h"

namespace {

void Check(std::string_view input, kelvo::DecoderState state, size_t maxCommands) {
    const auto out = kelvo::DecodeCommands(input, state, maxCommands);
    if (out.size() > maxCommands)
        std::abort();
    size_t end = 0;
    for (const kelvo::DecodedCommand& c : out) {
        if (c.offset != end || c.length == 0 || c.length > input.size() - end)
            std::abort();
        end += c.length;
        if (kelvo::FormatCommand(c).find_first_of("\r\n") != std::string::npos)
            std::abort();  // one line each
    }
    if (out.size() < maxCommands && end != input.size())
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    Check(input, {true, 0}, SIZE_MAX);
    Check(input, {false, size > 0 ? data[0] : uint8_t{16}}, SIZE_MAX);
    Check(input, {}, size > 0 ? data[size - 1] % 8 : 0);
    return 0;
}
