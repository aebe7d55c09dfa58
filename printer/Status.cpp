// Status: the real-time answers (DLE EOT, DLE ENQ), automatic status back (GS a) and the
// requests read in order with the rest (GS r, GS I), all from the printer's flags; and the
// drawer pulses (ESC p) it counts.

#include "printer/Identity.h"
#include "printer/VirtualPrinter.h"
#include "protocol/Bytes.h"

namespace kelvo::printer {

using Id = CommandId;

uint8_t VirtualPrinter::StatusByte(int n) const {
    const StatusFlags& f = flags_;
    switch (n) {
        case 1:
            return 0x12 | (f.drawerOpen ? 0x04 : 0) |
                   (!f.online || f.coverOpen || f.paperOut || f.error ? 0x08 : 0);
        case 2:
            return 0x12 | (f.coverOpen ? 0x04 : 0) | (f.paperOut ? 0x20 : 0) | (f.error ? 0x40 : 0);
        case 3:
            if (!f.error)
                return 0x12;
            return 0x12 | (f.errorCause == ErrorCause::Cutter            ? 0x08
                           : f.errorCause == ErrorCause::AutoRecoverable ? 0x40
                                                                         : 0x20);
        case 4:
            return 0x12 | (f.paperNearEnd ? 0x0C : 0) | (f.paperOut ? 0x60 : 0);
        default:
            return 0;
    }
}

bool VirtualPrinter::Offline() const {
    return (StatusByte(1) & 0x08) != 0;
}

std::string VirtualPrinter::AsbStatus() const {
    const StatusFlags& f = flags_;
    std::string status(4, '\0');
    // Bit 4 of the first byte is set and of the others clear, so that the host can find the
    // first of the four among its answers.
    status[0] = static_cast<char>(0x10 | (f.drawerOpen ? 0x04 : 0) | (Offline() ? 0x08 : 0) |
                                  (f.coverOpen ? 0x20 : 0));
    status[1] = static_cast<char>(StatusByte(3) & 0x68);
    status[2] = static_cast<char>((f.paperNearEnd ? 0x03 : 0) | (f.paperOut ? 0x0C : 0));
    return status;
}

std::string VirtualPrinter::SetFlags(const StatusFlags& flags) {
    const std::string before = AsbStatus();
    flags_ = flags;
    if (asbMask_ == 0)
        return {};
    const std::string after = AsbStatus();
    // Per watched state, the bits that report it; the cover goes with online and offline.
    const uint8_t drawer = 0x04, online = 0x28;
    auto differs = [&](size_t i, uint8_t bits) { return ((before[i] ^ after[i]) & bits) != 0; };
    const bool changed =
        ((asbMask_ & 0x01) && differs(0, drawer)) || ((asbMask_ & 0x02) && differs(0, online)) ||
        ((asbMask_ & 0x04) && differs(1, 0xFF)) || ((asbMask_ & 0x08) && differs(2, 0xFF));
    return changed ? after : std::string();
}

std::string VirtualPrinter::RealTime(std::string_view received) {
    std::string answer = Answer(received, realTimeHeld_);
    NoteAnswer(answer);
    return answer;
}

std::string VirtualPrinter::RealTimeAside(std::string_view received, std::string& cut) {
    return Answer(received, cut);
}

std::string VirtualPrinter::Answer(std::string_view received, std::string& cut) {
    // A printer looks at each byte as it arrives, before it knows what the byte is part of, so
    // that these bytes inside a picture's data are taken as a request too; so are they here.
    std::string answer;
    for (size_t i = 0; i < received.size(); ++i) {
        if (cut.empty()) {
            // Most bytes start nothing: skip to the next DLE.
            i = received.find('\x10', i);
            if (i == std::string_view::npos)
                break;
        }
        const char c = received[i];
        const auto b = static_cast<uint8_t>(c);
        if (cut.size() < 2) {
            if (b == 0x10)
                cut.assign(1, c);
            else if (cut.size() == 1 && (b == 0x04 || b == 0x05))
                cut += c;
            else
                cut.clear();
            continue;
        }
        const bool status = cut[1] == 0x04;
        cut.clear();
        if (status) {
            const char request[] = {'\x10', '\x04', c};
            if (const std::string* own = persona_.Find({request, sizeof request}))
                answer += *own;
            else if (const uint8_t byte = StatusByte(b))
                answer += static_cast<char>(byte);
        } else if ((b == 1 || b == 2) && flags_.error && flags_.errorCause == ErrorCause::Cutter) {
            // DLE ENQ 1 and 2 recover from an error that allows it: the cutter's.
            StatusFlags recovered = flags_;
            recovered.error = false;
            answer += SetFlags(recovered);
        }
        if (b == 0x10)
            cut.assign(1, c);
    }
    return answer;
}

bool VirtualPrinter::StatusCommand(CommandId id, std::string_view c, std::string& answer) {
    const uint8_t a = c.size() > 2 ? At(c, 2) : 0;
    const std::string* own = persona_.Find(c);
    switch (id) {
        case Id::RealTimeStatus:
            if (own != nullptr && !realTimeDone_)
                answer += *own;
            else if (const uint8_t status = StatusByte(a); status && !realTimeDone_)
                answer += static_cast<char>(status);
            break;
        case Id::AutoStatus:
            // As printers do, the status goes out at once when it is turned on, then on each
            // change.
            asbMask_ = a & 0x0F;
            if (asbMask_ != 0)
                answer += own != nullptr ? *own : AsbStatus();
            break;
        case Id::PrinterId:
            answer += own != nullptr ? *own : IdentityAnswer(a, identity_);
            break;
        case Id::SensorStatus:
            // Paper sensors: bits 0-1 near end, bits 2-3 out; drawer: bit 0 connector pin 3 high.
            if (own != nullptr)
                answer += *own;
            else if (Digit(a) == 1)
                answer += static_cast<char>((flags_.paperNearEnd ? 0x03 : 0) |
                                            (flags_.paperOut ? 0x0C : 0));
            else if (Digit(a) == 2)
                answer += static_cast<char>(flags_.drawerOpen ? 0x01 : 0);
            break;
        case Id::DrawerPulse:
            ++counters_.drawerPulses;
            break;
        default:
            return false;
    }
    return true;
}

}  // namespace kelvo::printer
