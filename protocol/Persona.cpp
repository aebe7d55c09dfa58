#include "protocol/Persona.h"

#include <deque>
#include <utility>

#include "protocol/Decoder.h"

namespace kelvo {

namespace {

// One session's requests still owed their answers.
struct Owed {
    DecoderState state;
    std::string pending;            // the start of a command the next bytes finish
    std::deque<std::string> asked;  // one-byte and text answers, in order
    std::string automatic;          // GS a n that turned it on, its status not yet seen
    bool automaticOn = false;
    std::string answer;  // being collected for asked.front() or for `automatic`
};

bool IsAutomaticStatus(uint8_t b) {
    return (b & 0x93) == 0x10;
}

}  // namespace

Persona PersonaOf(const std::vector<CapturedBytes>& captured) {
    Persona persona;
    std::map<uint64_t, Owed> sessions;
    auto answered = [&](std::string request, std::string answer) {
        persona.answers.emplace(std::move(request), std::move(answer));
    };
    for (const CapturedBytes& c : captured) {
        Owed& o = sessions[c.session];
        if (c.fromPos) {
            std::string bytes = std::exchange(o.pending, {}) + c.bytes;
            for (const DecodedCommand& d : DecodeCommands(bytes, o.state)) {
                if (d.truncated) {
                    o.pending = bytes.substr(d.offset);
                    break;
                }
                std::string request = bytes.substr(d.offset, d.length);
                if (d.id == CommandId::RealTimeStatus || d.id == CommandId::SensorStatus ||
                    d.id == CommandId::PrinterId) {
                    o.asked.push_back(std::move(request));
                } else if (d.id == CommandId::AutoStatus) {
                    o.automaticOn = request.back() != 0;
                    o.automatic = o.automaticOn ? request : std::string();
                }
            }
            continue;
        }
        for (const char ch : c.bytes) {
            const auto b = static_cast<uint8_t>(ch);
            const bool text = !o.asked.empty() && !o.answer.empty() && o.answer[0] == '_';
            if (text) {
                o.answer += ch;
                if (b == 0) {
                    answered(o.asked.front(), std::exchange(o.answer, {}));
                    o.asked.pop_front();
                }
            } else if (!o.answer.empty() || (o.automaticOn && IsAutomaticStatus(b))) {
                o.answer += ch;
                if (o.answer.size() == 4 && !o.automatic.empty())
                    answered(std::exchange(o.automatic, {}), o.answer);
                if (o.answer.size() == 4)
                    o.answer.clear();
            } else if (!o.asked.empty()) {
                const std::string& request = o.asked.front();
                if (b == '_' && request[1] == 0x49 && static_cast<uint8_t>(request[2]) >= 65) {
                    o.answer.assign(1, ch);
                    continue;
                }
                answered(request, std::string(1, ch));
                o.asked.pop_front();
            }
        }
    }
    return persona;
}

std::optional<Persona> PersonaOfCapture(std::string_view file, std::string* why) {
    const auto captured = ReadTapCapture(file, why);
    if (!captured)
        return std::nullopt;
    return PersonaOf(*captured);
}

}  // namespace kelvo
