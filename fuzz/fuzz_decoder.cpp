// Any bytes a user loads or captures are decoded for showing: the entries must tile the input.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

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

// Fed in pieces, the stream reads what the whole input reads.
void CheckStream(std::string_view input, size_t piece) {
    kelvo::DecoderState state;
    const auto whole = kelvo::DecodeCommands(input, state);
    kelvo::CommandStream stream;
    size_t next = 0;
    auto same = [&](const std::vector<kelvo::DecodedCommand>& settled) {
        for (const kelvo::DecodedCommand& c : settled) {
            if (next >= whole.size() || c.offset != whole[next].offset ||
                kelvo::FormatCommand(c) != kelvo::FormatCommand(whole[next]))
                std::abort();
            ++next;
        }
    };
    for (size_t at = 0; at < input.size(); at += piece)
        same(stream.Feed(input.substr(at, piece)));
    same(stream.End());
    if (next != whole.size())
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    Check(input, {true, 0}, SIZE_MAX);
    Check(input, {false, size > 0 ? data[0] : uint8_t{16}}, SIZE_MAX);
    Check(input, {}, size > 0 ? data[size - 1] % 8 : 0);
    CheckStream(input, size > 1 ? data[1] % 16 + 1 : 1);
    return 0;
}
